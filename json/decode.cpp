// Strict JSON decoder: recursive descent over a NUL-terminated text.
//
// Every reader takes the caller's cursor, works on a private copy and writes
// it back only on success.  Its output slot is optional: readers instantiated
// with Build = false only recognise, so validation allocates nothing and
// converts no number.  Every rejection is the same plain false/null, and a
// failed reader has freed whatever it built.
//
// Arrays and objects nest at most JSON_MAX_DEPTH deep, one small stack frame
// per level.  Numbers convert without the process's locale, to exactly what
// strtod gives in the C locale.
#include "decode.h"
#include "c_locale.h"
#include "json.h"
#include "node.h"
#include "number_table.h"
#include "text.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

/* ---- byte classes ---- */

// Classes of a byte inside a string literal.
enum : unsigned char { PLAIN = 0, QUOTE, BACKSLASH, CONTROL, MULTIBYTE };

static constexpr unsigned char string_class_of(unsigned c)
{
    if (c < 0x20)
        return CONTROL;  // the terminating NUL included
    if (c == '"')
        return QUOTE;
    if (c == '\\')
        return BACKSLASH;
    return c < 0x80 ? PLAIN : MULTIBYTE;
}

struct byte_table {
    unsigned char v[256];
    template <typename F>
    constexpr explicit byte_table(F f) : v()
    {
        for (unsigned c = 0; c < 256; c++)
            v[c] = f(c);
    }
    constexpr unsigned char operator[](char c) const { return v[static_cast<unsigned char>(c)]; }
};

static constexpr byte_table string_class(string_class_of);

static constexpr byte_table space_class([](unsigned c) -> unsigned char {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
});

// Value of a hexadecimal digit, 0xFF for any other byte.
static constexpr byte_table hex_value([](unsigned c) -> unsigned char {
    if (c >= '0' && c <= '9')
        return static_cast<unsigned char>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<unsigned char>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return static_cast<unsigned char>(c - 'A' + 10);
    return 0xFF;
});

static bool is_digit(char c)
{
    return static_cast<unsigned char>(c - '0') < 10;
}

/* ---- white space and literals ---- */

static const char *skip_ws(const char *p)
{
    while (space_class[*p])
        p++;
    return p;
}

static void skip_space(const char **cursor)
{
    *cursor = skip_ws(*cursor);
}

// Matches the bytes of word and nothing beyond them.
static bool expect_literal(const char **cursor, const char *word)
{
    const char *p = *cursor;
    for (; *word; word++, p++)
        if (*p != *word)
            return false;
    *cursor = p;
    return true;
}

/* ---- numbers ---- */

// Powers of ten that a double holds exactly.
static constexpr double exact_pow10[] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22,
};
static constexpr int max_exact_pow10 = 22;
// Up to 15 digits every integer is exact in a double, with room to spare.
static constexpr int max_exact_digits = 15;

// Digits of a number as read: the significant digits (leading zeros are not
// counted) as an integer while there are few enough, and the power of ten
// that scales them.
struct number_digits {
    uint64_t mantissa = 0;  // exact while count <= 19
    int count = 0;          // stops at 20: more digits take strtod
    int64_t exponent = 0;   // cannot overflow: one step per digit of the text
    bool negative = false;
    bool huge_exponent = false;

    void add(char c)
    {
        unsigned d = static_cast<unsigned>(c - '0');
        if (count == 0 && d == 0)
            return;
        if (count < 19)
            mantissa = mantissa * 10 + d;
        if (count < 20)
            count++;
    }
};

// Clinger's fast path: digits and power of ten both exact in a double, so
// one correctly rounded operation gives the correctly rounded value.
static bool exact_value(const number_digits &n, double *out)
{
    if (n.count > max_exact_digits)
        return false;
    int64_t e = n.exponent;
    double m = static_cast<double>(n.mantissa);
    if (e >= 0 && e <= max_exact_pow10)
        *out = m * exact_pow10[e];
    else if (e < 0 && e >= -max_exact_pow10)
        *out = m / exact_pow10[-e];
    else if (e > max_exact_pow10 && e <= max_exact_pow10 + max_exact_digits - n.count)
        // Shift digits into the integer first; it stays below 10^15.
        *out = m * exact_pow10[e - max_exact_pow10] * exact_pow10[max_exact_pow10];
    else
        return false;
    return true;
}

struct u128 {
    uint64_t high, low;
};

static u128 multiply(uint64_t a, uint64_t b)
{
    unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return {static_cast<uint64_t>(r >> 64), static_cast<uint64_t>(r)};
}

// Eisel and Lemire's method: the double nearest to w * 10^q (w nonzero, at
// most 19 digits) from a 128-bit approximation of 5^q.  False in the rare
// case that the approximation cannot settle the rounding.
static bool nearest_double(uint64_t w, int64_t q, bool negative, double *out)
{
    constexpr int mantissa_bits = 52;
    constexpr int infinite_power = 0x7FF;
    uint64_t mantissa = 0;
    int64_t power2 = 0;
    if (q > pow5_largest) {
        power2 = infinite_power;
    } else if (q >= pow5_smallest) {
        int lz = __builtin_clzll(w);
        w <<= lz;
        const uint64_t *pow5 = &pow5_128[2 * (q - pow5_smallest)];
        u128 product = multiply(w, pow5[0]);
        constexpr uint64_t precision_mask = UINT64_MAX >> (mantissa_bits + 3);
        if ((product.high & precision_mask) == precision_mask) {
            u128 second = multiply(w, pow5[1]);
            product.low += second.high;
            if (second.high > product.low)
                product.high++;
            // 5^q is exact in the table only for q in [-27, 55].
            if (product.low == UINT64_MAX && (q < -27 || q > 55))
                return false;
        }
        int upper_bit = static_cast<int>(product.high >> 63);
        int shift = upper_bit + 64 - mantissa_bits - 3;
        mantissa = product.high >> shift;
        // floor(log2(10^q)) + 63, plus the bias of the exponent field.
        power2 = ((152170 + 65536) * q >> 16) + 63 + upper_bit - lz + 1023;
        if (power2 <= 0) {  // subnormal, or zero
            if (-power2 + 1 >= 64) {
                mantissa = 0;
                power2 = 0;
            } else {
                mantissa >>= -power2 + 1;
                mantissa += mantissa & 1;
                mantissa >>= 1;
                // Rounding may have carried into the smallest normal number.
                power2 = mantissa < (uint64_t(1) << mantissa_bits) ? 0 : 1;
            }
        } else {
            // Exactly halfway between two doubles: round to even.
            if (product.low <= 1 && q >= -4 && q <= 23 && (mantissa & 3) == 1 &&
                (mantissa << shift) == product.high)
                mantissa &= ~uint64_t(1);
            mantissa += mantissa & 1;
            mantissa >>= 1;
            if (mantissa >= (uint64_t(2) << mantissa_bits)) {
                mantissa = uint64_t(1) << mantissa_bits;
                power2++;
            }
            mantissa &= ~(uint64_t(1) << mantissa_bits);
            if (power2 >= infinite_power) {
                power2 = infinite_power;
                mantissa = 0;
            }
        }
    }
    uint64_t bits = mantissa | static_cast<uint64_t>(power2) << mantissa_bits |
                    static_cast<uint64_t>(negative) << 63;
    memcpy(out, &bits, sizeof bits);
    return true;
}

// Exactly what the C locale's strtod gives for the number's text (nearest
// double, infinity beyond the range, zero or a subnormal below it, -0 kept),
// found by the quickest of three ways that agree.
static double convert_number(const number_digits &n, const char *text)
{
    if (n.count == 0)
        return n.negative ? -0.0 : 0.0;
    double value;
    if (!n.huge_exponent && n.count <= 19) {
        if (exact_value(n, &value))
            return n.negative ? -value : value;
        if (nearest_double(n.mantissa, n.exponent, n.negative, &value))
            return value;
    }
    return strtod_l(text, nullptr, json_c_locale());
}

template <bool Build>
static bool parse_number(const char **cursor, double *out)
{
    const char *p = *cursor;
    number_digits n;
    if (*p == '-') {
        n.negative = true;
        p++;
    }
    if (*p == '0') {
        p++;
    } else if (is_digit(*p)) {
        do {
            if (Build)
                n.add(*p);
            p++;
        } while (is_digit(*p));
    } else {
        return false;
    }
    if (*p == '.') {
        p++;
        if (!is_digit(*p))
            return false;
        do {
            if (Build) {
                n.add(*p);
                n.exponent--;
            }
            p++;
        } while (is_digit(*p));
    }
    if (*p == 'e' || *p == 'E') {
        p++;
        bool negative_exponent = false;
        if (*p == '+' || *p == '-')
            negative_exponent = *p++ == '-';
        if (!is_digit(*p))
            return false;
        int64_t e = 0;
        do {
            if (Build) {
                if (e < 1000000000)
                    e = e * 10 + (*p - '0');
                else
                    n.huge_exponent = true;  // far beyond any double
            }
            p++;
        } while (is_digit(*p));
        if (Build)
            n.exponent += negative_exponent ? -e : e;
    }
    if (Build)
        *out = convert_number(n, *cursor);
    *cursor = p;
    return true;
}

bool number_is_valid(const char *text)
{
    const char *p = text;
    return parse_number<false>(&p, nullptr) && *p == '\0';
}

/* ---- strings ---- */

static bool parse_hex16(const char **cursor, uint16_t *out)
{
    const char *p = *cursor;
    unsigned value = 0;
    for (int i = 0; i < 4; i++, p++) {
        unsigned char d = hex_value[*p];  // the NUL is no digit: stops here
        if (d == 0xFF)
            return false;
        value = value << 4 | d;
    }
    if (out)
        *out = static_cast<uint16_t>(value);
    *cursor = p;
    return true;
}

// Reads the hexadecimal part of a \u escape (after the "u"), a surrogate pair
// included, into a code point that is neither 0 nor a surrogate.
static bool parse_unicode_escape(const char **cursor, uint32_t *out)
{
    const char *p = *cursor;
    uint16_t unit;
    if (!parse_hex16(&p, &unit) || unit == 0)
        return false;
    uint32_t cp = unit;
    if (unit >= 0xD800 && unit <= 0xDFFF) {
        uint16_t low;
        if (p[0] != '\\' || p[1] != 'u')
            return false;
        p += 2;
        if (!parse_hex16(&p, &low) || !from_surrogate_pair(unit, low, &cp))
            return false;
    }
    if (out)
        *out = cp;
    *cursor = p;
    return true;
}

// Checks one escape (after the backslash).
static bool skip_escape(const char **cursor)
{
    const char *p = *cursor;
    switch (*p++) {
    case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
        break;
    case 'u':
        if (!parse_unicode_escape(&p, nullptr))
            return false;
        break;
    default:
        return false;
    }
    *cursor = p;
    return true;
}

static bool is_continuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// utf8_validate_cz with the two most common shapes checked in line: two
// bytes, and three bytes with a lead byte that puts no extra bound on the
// second (not E0, which would be overlong below A0, nor ED, a surrogate
// above 9F).
static int utf8_length(const char *p)
{
    unsigned char lead = static_cast<unsigned char>(*p);
    if (lead >= 0xC2 && lead <= 0xDF && is_continuation(p[1]))
        return 2;
    if (lead >= 0xE1 && lead <= 0xEF && lead != 0xED && is_continuation(p[1]) && is_continuation(p[2]))
        return 3;
    return utf8_validate_cz(p);
}

// Steps over a run of plain ASCII string characters.
static const char *skip_plain(const char *p)
{
    for (;;) {
        if (string_class[p[0]] != PLAIN)
            return p;
        if (string_class[p[1]] != PLAIN)
            return p + 1;
        if (string_class[p[2]] != PLAIN)
            return p + 2;
        if (string_class[p[3]] != PLAIN)
            return p + 3;
        p += 4;
    }
}

// Recognises a string literal; on success *escaped tells whether its body
// holds any escape, so that a builder can copy an unescaped body in one go.
static bool scan_string(const char **cursor, bool *escaped)
{
    const char *p = *cursor;
    if (*p != '"')
        return false;
    p++;
    bool any_escape = false;
    for (;;) {
        p = skip_plain(p);
        switch (string_class[*p]) {
        case QUOTE:
            *escaped = any_escape;
            *cursor = p + 1;
            return true;
        case BACKSLASH:
            p++;
            if (!skip_escape(&p))
                return false;
            any_escape = true;
            break;
        case MULTIBYTE: {
            int n = utf8_length(p);
            if (n == 0)
                return false;
            p += n;
            break;
        }
        default:  // a control byte, or the end of the text
            return false;
        }
    }
}

static char escaped_byte(char letter)
{
    switch (letter) {
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default: return letter;  // quotation mark, backslash, solidus
    }
}

// Decodes a body that scan_string accepted; returns the end of the output.
static char *unescape(char *out, const char *p, const char *end)
{
    while (p < end) {
        const char *bs = static_cast<const char *>(memchr(p, '\\', static_cast<size_t>(end - p)));
        if (!bs)
            bs = end;
        memcpy(out, p, static_cast<size_t>(bs - p));
        out += bs - p;
        p = bs;
        if (p == end)
            break;
        p++;
        if (*p == 'u') {
            p++;
            uint32_t cp = 0;
            parse_unicode_escape(&p, &cp);  // cannot fail: already checked
            out += utf8_write_char(cp, out);
        } else {
            *out++ = escaped_byte(*p++);
        }
    }
    return out;
}

// With an output slot, the decoded text goes into a buffer sized from the
// literal (no escape ever decodes longer than it is written), allocated once.
static bool parse_string(const char **cursor, char **out)
{
    const char *begin = *cursor;
    const char *p = begin;
    bool escaped;
    if (!scan_string(&p, &escaped))
        return false;
    if (out) {
        const char *body = begin + 1, *body_end = p - 1;
        size_t length = static_cast<size_t>(body_end - body);
        char *text = static_cast<char *>(malloc(length + 1));
        if (!text)
            json_out_of_memory();
        char *text_end = text + length;
        if (escaped)
            text_end = unescape(text, body, body_end);
        else
            memcpy(text, body, length);
        *text_end = '\0';
        *out = text;
    }
    *cursor = p;
    return true;
}

/* ---- values ---- */

// What a container hands to the reader of one of its values: a private
// cursor, advanced only on success; the nesting depth of the value; and the
// slot for the value's node, written only on success and only when building.
// One record instead of three arguments keeps each level's frame small.
struct value_slot {
    const char *cursor;
    json_node *node;
    int depth;  // containers that enclose the value
};

template <bool Build>
static bool parse_value(value_slot *v);

template <bool Build>
__attribute__((noinline)) static bool parse_array(value_slot *v)
{
    const char *p = v->cursor;
    if (*p != '[' || v->depth >= JSON_MAX_DEPTH)
        return false;
    json_node *array = Build ? json_mkarray() : nullptr;
    value_slot element = {skip_ws(p + 1), nullptr, v->depth + 1};
    if (*element.cursor != ']') {
        for (;;) {
            if (!parse_value<Build>(&element))
                goto fail;
            if (Build)
                json_append_element(array, element.node);
            element.cursor = skip_ws(element.cursor);
            if (*element.cursor == ']')
                break;
            if (*element.cursor != ',')
                goto fail;
            element.cursor = skip_ws(element.cursor + 1);
        }
    }
    v->cursor = element.cursor + 1;
    if (Build)
        v->node = array;
    return true;
fail:
    if (Build)
        json_delete(array);
    return false;
}

template <bool Build>
__attribute__((noinline)) static bool parse_object(value_slot *v)
{
    const char *p = v->cursor;
    if (*p != '{' || v->depth >= JSON_MAX_DEPTH)
        return false;
    json_node *object = Build ? json_mkobject() : nullptr;
    value_slot member = {skip_ws(p + 1), nullptr, v->depth + 1};
    if (*member.cursor != '}') {
        for (;;) {
            char *key = nullptr;
            if (!parse_string(&member.cursor, Build ? &key : nullptr))
                goto fail;
            p = skip_ws(member.cursor);
            if (*p != ':')
                goto fail_key;
            member.cursor = skip_ws(p + 1);
            if (!parse_value<Build>(&member))
                goto fail_key;
            if (Build)
                append_member(object, key, member.node);
            member.cursor = skip_ws(member.cursor);
            if (*member.cursor == '}')
                break;
            if (*member.cursor != ',')
                goto fail;
            member.cursor = skip_ws(member.cursor + 1);
            continue;
        fail_key:
            if (Build)
                free(key);
            goto fail;
        }
    }
    v->cursor = member.cursor + 1;
    if (Build)
        v->node = object;
    return true;
fail:
    if (Build)
        json_delete(object);
    return false;
}

// Everything but the containers, kept out of line so that the recursion
// through arrays and objects has small frames.
template <bool Build>
__attribute__((noinline)) static bool parse_scalar(const char **cursor, json_node **out)
{
    const char *p = *cursor;
    json_node *node = nullptr;
    switch (*p) {
    case '"': {
        char *text;
        if (!parse_string(&p, Build ? &text : nullptr))
            return false;
        if (Build)
            node = mkstring(text);
        break;
    }
    case 't':
    case 'f': {
        bool truth = *p == 't';
        if (!expect_literal(&p, truth ? "true" : "false"))
            return false;
        if (Build)
            node = json_mkbool(truth);
        break;
    }
    case 'n':
        if (!expect_literal(&p, "null"))
            return false;
        if (Build)
            node = json_mknull();
        break;
    default: {
        double x;
        if (!parse_number<Build>(&p, Build ? &x : nullptr))
            return false;
        if (Build)
            node = json_mknumber(x);
        break;
    }
    }
    if (Build)
        *out = node;
    *cursor = p;
    return true;
}

template <bool Build>
static bool parse_value(value_slot *v)
{
    switch (*v->cursor) {
    case '[':
        return parse_array<Build>(v);
    case '{':
        return parse_object<Build>(v);
    default:
        return parse_scalar<Build>(&v->cursor, Build ? &v->node : nullptr);
    }
}

/* ---- entry points ---- */

json_node *json_decode(const char *text)
{
    value_slot root = {text, nullptr, 0};
    skip_space(&root.cursor);
    if (!parse_value<true>(&root))
        return nullptr;
    skip_space(&root.cursor);
    if (*root.cursor != '\0') {
        json_delete(root.node);
        return nullptr;
    }
    return root.node;
}

bool json_validate(const char *text)
{
    value_slot root = {text, nullptr, 0};
    skip_space(&root.cursor);
    if (!parse_value<false>(&root))
        return false;
    skip_space(&root.cursor);
    return *root.cursor == '\0';
}
