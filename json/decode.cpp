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
// strtod gives in the C locale (number.cpp).
#include "json.h"
#include "node.h"
#include "number.h"
#include "text.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

/* ---- byte classes ---- */

// Classes of a byte inside a string literal.
enum : unsigned char { PLAIN = 0, QUOTE, BACKSLASH, CONTROL, MULTIBYTE };

constexpr unsigned char string_class_of(unsigned c)
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

constexpr byte_table string_class(string_class_of);

constexpr byte_table space_class([](unsigned c) -> unsigned char {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
});

// Value of a hexadecimal digit, 0xFF for any other byte.
constexpr byte_table hex_value([](unsigned c) -> unsigned char {
    if (c >= '0' && c <= '9')
        return static_cast<unsigned char>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<unsigned char>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return static_cast<unsigned char>(c - 'A' + 10);
    return 0xFF;
});

/* ---- white space and literals ---- */

const char *skip_ws(const char *p)
{
    while (space_class[*p])
        p++;
    return p;
}

void skip_space(const char **cursor)
{
    *cursor = skip_ws(*cursor);
}

// Matches the bytes of word and nothing beyond them.
bool expect_literal(const char **cursor, const char *word)
{
    const char *p = *cursor;
    for (; *word; word++, p++)
        if (*p != *word)
            return false;
    *cursor = p;
    return true;
}

/* ---- numbers ---- */

// Only a building reader converts, collecting the digits as it steps over
// them; validation only steps over them.
template <bool Build>
bool parse_number(const char **cursor, double *out)
{
    const char *end = number_scan<Build>(*cursor, out);
    if (!end)
        return false;
    *cursor = end;
    return true;
}

/* ---- strings ---- */

bool parse_hex16(const char **cursor, uint16_t *out)
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
bool parse_unicode_escape(const char **cursor, uint32_t *out)
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
bool skip_escape(const char **cursor)
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

// Steps over a run of plain ASCII string characters.
const char *skip_plain(const char *p)
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
bool scan_string(const char **cursor, bool *escaped)
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

char escaped_byte(char letter)
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
char *unescape(char *out, const char *p, const char *end)
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
bool parse_string(const char **cursor, char **out)
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
bool parse_value(value_slot *v);

template <bool Build>
__attribute__((noinline)) bool parse_array(value_slot *v)
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
__attribute__((noinline)) bool parse_object(value_slot *v)
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
__attribute__((noinline)) bool parse_scalar(const char **cursor, json_node **out)
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
bool parse_value(value_slot *v)
{
    switch (*v->cursor) {
    case '[':
        return parse_array<Build>(v);
    case '{':
        return parse_object<Build>(v);
    default:
        // Recognising a number takes no more code than the call would: in
        // line, which spares number-heavy texts a call per value.
        if (!Build && (number_digit(*v->cursor) || *v->cursor == '-')) {
            const char *after = number_scan<false>(v->cursor, nullptr);
            if (!after)
                return false;
            v->cursor = after;
            return true;
        }
        return parse_scalar<Build>(&v->cursor, Build ? &v->node : nullptr);
    }
}

}  // namespace

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
