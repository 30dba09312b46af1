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

inline bool utf8_is_continuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// utf8_validate_cz with the two most common shapes checked in line: two
// bytes, and three bytes with a lead byte that puts no extra bound on the
// second (not E0, which would be overlong below A0, nor ED, a surrogate
// above 9F).
inline int utf8_length(const char *p)
{
    unsigned char lead = static_cast<unsigned char>(*p);
    if (lead >= 0xC2 && lead <= 0xDF && utf8_is_continuation(p[1]))
        return 2;
    if (lead >= 0xE1 && lead <= 0xEF && lead != 0xED && utf8_is_continuation(p[1]) &&
        utf8_is_continuation(p[2]))
        return 3;
    return utf8_validate_cz(p);
}
bool utf8_validate(const char *s);
int utf8_read_char(const char *s, uint32_t *out);
int utf8_write_char(uint32_t cp, char *out);
bool from_surrogate_pair(uint16_t hi, uint16_t lo, uint32_t *out);
int write_hex16(char *out, uint16_t value);

void emit_string(string_builder *sb, const char *s);

#endif
