// Heap copy, string builder, UTF-8 codec and string-literal encoding.
#include "text.h"
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

// True for every 8-byte word that holds no byte below 0x20, no quotation
// mark, no backslash and nothing at or above 0x80: such a word is copied as is.
bool word_is_plain(uint64_t w)
{
    constexpr uint64_t ones = 0x0101010101010101ull;
    constexpr uint64_t highs = 0x8080808080808080ull;
    uint64_t below_space = (w - ones * 0x20) & ~w;
    uint64_t quote = w ^ (ones * '"');
    uint64_t backslash = w ^ (ones * '\\');
    uint64_t has_quote = (quote - ones) & ~quote;
    uint64_t has_backslash = (backslash - ones) & ~backslash;
    return ((below_space | has_quote | has_backslash | w) & highs) == 0;
}

bool byte_is_plain(unsigned char c)
{
    return c >= 0x20 && c < 0x80 && c != '"' && c != '\\';
}

// Length of the run of bytes at s (within n) that are copied unchanged:
// ASCII that needs no escape and well-formed multi-byte characters.
size_t plain_run(const char *s, size_t n)
{
    size_t i = 0;
    for (;;) {
        while (i + 8 <= n) {
            uint64_t w;
            memcpy(&w, s + i, 8);
            if (!word_is_plain(w))
                break;
            i += 8;
        }
        if (i >= n)
            return i;
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (byte_is_plain(c)) {
            i++;
        } else if (c >= 0x80) {
            int len = utf8_length(s + i);
            if (len == 0)
                return i;
            i += static_cast<size_t>(len);
        } else {
            return i;
        }
    }
}

}  // namespace

void emit_string(string_builder *sb, const char *s)
{
    size_t remaining = strlen(s);
    sb_reserve(sb, emit_reserve);
    *sb->cur++ = '"';
    while (remaining > 0) {
        size_t run = plain_run(s, remaining);
        if (run > 0) {
            sb_reserve(sb, run + emit_reserve);
            memcpy(sb->cur, s, run);
            sb->cur += run;
            s += run;
            remaining -= run;
            if (remaining == 0)
                break;
        }
        unsigned char c = static_cast<unsigned char>(*s);
        char *w = sb->cur;
        int consumed = 1;
        if (char letter = short_escape(c)) {
            *w++ = '\\';
            *w++ = letter;
        } else if (c < 0x20) {
            *w++ = '\\';
            *w++ = 'u';
            w += write_hex16(w, c);
        } else if (int n = utf8_validate_cz(s)) {
            memcpy(w, s, static_cast<size_t>(n));
            w += n;
            consumed = n;
        } else {
            // One replacement per byte that starts no valid character.
            *w++ = '\xEF';
            *w++ = '\xBF';
            *w++ = '\xBD';
        }
        s += consumed;
        remaining -= static_cast<size_t>(consumed);
        sb->cur = w;
        sb_reserve(sb, emit_reserve);
    }
    *sb->cur++ = '"';
}

char *json_encode_string(const char *str)
{
    string_builder sb;
    sb_init(&sb);
    emit_string(&sb, str);
    return sb_finish(&sb);
}
