// Text primitives of the JSON library: heap copy, growable buffer, UTF-8
// codec and string-literal encoding.  Internal to the library.
#ifndef VESNAR_JSON_TEXT_H
#define VESNAR_JSON_TEXT_H

#include <stddef.h>
#include <stdint.h>

struct string_builder {
    char *cur;    // where the next byte goes
    char *end;    // end of the usable capacity
    char *start;  // heap block, one byte larger than the capacity
};

[[noreturn]] void json_out_of_memory();
char *json_strdup(const char *s);

// Sizes are size_t throughout: a text of 4 GiB or more is written whole.
void sb_init(string_builder *sb);
void sb_grow(string_builder *sb, size_t need);
void sb_put(string_builder *sb, const char *bytes, size_t count);
void sb_puts(string_builder *sb, const char *s);
char *sb_finish(string_builder *sb);
void sb_free(string_builder *sb);

// The capacity that sb_grow sets for need more bytes after used ones:
// doubled at least once, then until it holds them; 0 when no size_t does.
size_t sb_grown_capacity(size_t capacity, size_t used, size_t need);

// Makes room for n more bytes at cur.
inline void sb_reserve(string_builder *sb, size_t n)
{
    if (static_cast<size_t>(sb->end - sb->cur) < n)
        sb_grow(sb, n);
}

inline void sb_putc(string_builder *sb, char c)
{
    if (sb->cur == sb->end)
        sb_grow(sb, 1);
    *sb->cur++ = c;
}

int utf8_validate_cz(const char *s);
bool utf8_validate(const char *s);
int utf8_read_char(const char *s, uint32_t *out);
int utf8_write_char(uint32_t cp, char *out);
bool from_surrogate_pair(uint16_t hi, uint16_t lo, uint32_t *out);
int write_hex16(char *out, uint16_t value);

void emit_string(string_builder *sb, const char *s);

#endif
