// Heap copy, string builder, UTF-8 codec and string-literal encoding.
#include "text.h"
#include "byte_blocks.h"
#include "json.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void json_out_of_memory()
{
    fwrite("Out of memory.\n", 1, 15, stderr);
    exit(1);
}

char *json_strdup(const char *s)
{
    size_t len = strlen(s);
    char *copy = static_cast<char *>(malloc(len + 1));
    if (!copy)
        json_out_of_memory();
    memcpy(copy, s, len + 1);
    return copy;
}

/* ---- string builder ---- */

void sb_init(string_builder *sb)
{
    char *block = static_cast<char *>(malloc(17));
    if (!block)
        json_out_of_memory();
    sb->start = sb->cur = block;
    sb->end = block + 16;
}

size_t sb_grown_capacity(size_t capacity, size_t used, size_t need)
{
    // Past half the address space no doubling can hold the bytes, and the
    // sums below would wrap.
    constexpr size_t largest = SIZE_MAX / 2;
    if (used > largest || need > largest - used)
        return 0;
    size_t wanted = used + need;
    do {
        capacity *= 2;
    } while (capacity < wanted);
    return capacity;
}

void sb_grow(string_builder *sb, size_t need)
{
    size_t used = static_cast<size_t>(sb->cur - sb->start);
    size_t capacity = sb_grown_capacity(static_cast<size_t>(sb->end - sb->start), used, need);
    if (capacity == 0)
        json_out_of_memory();
    char *block = static_cast<char *>(realloc(sb->start, capacity + 1));
    if (!block)
        json_out_of_memory();
    sb->start = block;
    sb->cur = block + used;
    sb->end = block + capacity;
}

void sb_put(string_builder *sb, const char *bytes, size_t count)
{
    sb_reserve(sb, count);
    memcpy(sb->cur, bytes, count);
    sb->cur += count;
}

void sb_puts(string_builder *sb, const char *s)
{
    sb_put(sb, s, strlen(s));
}

char *sb_finish(string_builder *sb)
{
    *sb->cur = '\0';  // the block always has one spare byte for this
    return sb->start;
}

void sb_free(string_builder *sb)
{
    free(sb->start);
}

/* ---- UTF-8 codec ---- */

int utf8_validate_cz(const char *s)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    unsigned char lead = p[0];
    if (lead < 0x80)
        return 1;
    if (lead < 0xC2)
        return 0;  // continuation byte, or overlong 0xC0/0xC1
    if (lead < 0xE0)
        return utf8_is_continuation(s[1]) ? 2 : 0;
    // The second byte's range is what rules out overlongs, surrogates and
    // code points above U+10FFFF.
    unsigned char lo = 0x80, hi = 0xBF;
    if (lead < 0xF0) {
        if (lead == 0xE0)
            lo = 0xA0;
        else if (lead == 0xED)
            hi = 0x9F;
        if (p[1] < lo || p[1] > hi)
            return 0;
        return utf8_is_continuation(s[2]) ? 3 : 0;
    }
    if (lead > 0xF4)
        return 0;
    if (lead == 0xF0)
        lo = 0x90;
    else if (lead == 0xF4)
        hi = 0x8F;
    if (p[1] < lo || p[1] > hi)
        return 0;
    if (!utf8_is_continuation(s[2]))
        return 0;
    return utf8_is_continuation(s[3]) ? 4 : 0;
}

bool utf8_validate(const char *s)
{
    while (*s) {
        int n = utf8_validate_cz(s);
        if (n == 0)
            return false;
        s += n;
    }
    return true;
}

int utf8_read_char(const char *s, uint32_t *out)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    unsigned char lead = p[0];
    int len;
    uint32_t cp;
    if (lead < 0x80) {
        *out = lead;
        return 1;
    } else if (lead <= 0xDF) {
        len = 2;
        cp = lead & 0x1F;
    } else if (lead <= 0xEF) {
        len = 3;
        cp = lead & 0x0F;
    } else {
        len = 4;
        cp = lead & 0x07;
    }
    for (int i = 1; i < len; i++)
        cp = (cp << 6) | (p[i] & 0x3F);
    *out = cp;
    return len;
}

int utf8_write_char(uint32_t cp, char *out)
{
    unsigned char *p = reinterpret_cast<unsigned char *>(out);
    if (cp <= 0x7F) {
        p[0] = static_cast<unsigned char>(cp);
        return 1;
    }
    if (cp <= 0x7FF) {
        p[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
        p[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp <= 0xFFFF) {
        p[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
        p[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        p[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 3;
    }
    p[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
    p[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    p[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    p[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 4;
}

bool from_surrogate_pair(uint16_t hi, uint16_t lo, uint32_t *out)
{
    if (hi < 0xD800 || hi > 0xDBFF || lo < 0xDC00 || lo > 0xDFFF)
        return false;
    *out = 0x10000 + ((static_cast<uint32_t>(hi) & 0x3FF) << 10) + (lo & 0x3FF);
    return true;
}

int write_hex16(char *out, uint16_t value)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    out[0] = digits[(value >> 12) & 0xF];
    out[1] = digits[(value >> 8) & 0xF];
    out[2] = digits[(value >> 4) & 0xF];
    out[3] = digits[value & 0xF];
    return 4;
}

/* ---- string literals ---- */

namespace {

// No character takes more than six output bytes; keeping 14 free covers the
// next character and the closing quotation mark.
constexpr size_t emit_reserve = 14;

// Short escape letter for each byte that has one, 0 otherwise.
constexpr char short_escape(unsigned char c)
{
    switch (c) {
    case '"': return '"';
    case '\\': return '\\';
    case '\b': return 'b';
    case '\f': return 'f';
    case '\n': return 'n';
    case '\r': return 'r';
    case '\t': return 't';
    default: return 0;
    }
}

// Strings up to this many bytes are copied a byte at a time, which finds
// their end without a separate pass for the length.
constexpr size_t short_string = 16;

// Writes the escape or replacement for the byte at s that is neither plain
// nor the start of a valid multi-byte character; returns the new end.
char *write_special(char *w, unsigned char c)
{
    if (char letter = short_escape(c)) {
        *w++ = '\\';
        *w++ = letter;
    } else if (c < 0x20) {
        *w++ = '\\';
        *w++ = 'u';
        w += write_hex16(w, c);
    } else {
        // One replacement per byte that starts no valid character.
        *w++ = '\xEF';
        *w++ = '\xBF';
        *w++ = '\xBD';
    }
    return w;
}

// The n bytes (2 to 4) of one valid character, none past it: the text may
// end right after it.
char *copy_character(char *w, const char *s, int n)
{
    w[0] = s[0];
    w[1] = s[1];
    if (n > 2)
        w[2] = s[2];
    if (n > 3)
        w[3] = s[3];
    return w + n;
}

// Writes the remaining bytes (their count known) from s, of which the
// `run` bytes just before s were plain and lie just before the output:
// plain runs a block at a time, a last part block overlapping those bytes,
// then the byte that ends each run.  Room for the rest of the text as it
// is, a block and the reserve is kept free throughout, so a plain run or a
// valid character never checks it.
void emit_rest(string_builder *sb, const char *s, size_t remaining, size_t run)
{
    sb_reserve(sb, remaining + block_size + emit_reserve);
    char *w = sb->cur;
    while (remaining > 0) {
        size_t plain = block_size;
        while (remaining >= block_size && plain == block_size) {
            plain = copy_plain_block(w, s);
            w += plain;
            s += plain;
            remaining -= plain;
            run += plain;
        }
        if (remaining > 0 && remaining < block_size && run >= block_size - remaining) {
            // The block that ends the text, its first bytes copied again.
            size_t back = block_size - remaining;
            plain = copy_plain_block(w - back, s - back) - back;
            w += plain;
            s += plain;
            remaining -= plain;
            run += plain;
        }
        while (remaining > 0 && byte_is_plain(*s)) {
            *w++ = *s++;
            remaining--;
            run++;
        }
        if (remaining == 0)
            break;
        run = 0;
        // Valid multi-byte characters, one after the other as in most
        // non-Latin text.
        while (remaining > 0 && static_cast<unsigned char>(*s) >= 0x80) {
            int n = utf8_length(s);
            if (n == 0)
                break;
            w = copy_character(w, s, n);
            s += n;
            remaining -= static_cast<size_t>(n);
        }
        if (remaining == 0 || byte_is_plain(*s))
            continue;
        w = write_special(w, static_cast<unsigned char>(*s));
        s++;
        remaining--;
        if (static_cast<size_t>(sb->end - w) < remaining + block_size + emit_reserve) {
            sb->cur = w;
            sb_grow(sb, remaining + block_size + emit_reserve);
            w = sb->cur;
        }
    }
    sb->cur = w;
}

}  // namespace

void emit_string(string_builder *sb, const char *s)
{
    sb_reserve(sb, short_string + emit_reserve);
    char *w = sb->cur;
    *w++ = '"';
    size_t i = 0;
    while (i < short_string && byte_is_plain(s[i])) {
        w[i] = s[i];
        i++;
    }
    w += i;
    if (s[i] != '\0') {
        sb->cur = w;
        emit_rest(sb, s + i, strlen(s + i), i);
        w = sb->cur;
    }
    *w++ = '"';
    sb->cur = w;
}

char *json_encode_string(const char *str)
{
    string_builder sb;
    sb_init(&sb);
    emit_string(&sb, str);
    return sb_finish(&sb);
}
