// Tree encoder: the compact and the indented JSON text of a json_node tree.
//
// Both layouts walk the tree without recursion, so a hand-built tree of any
// depth is written in constant C stack.  The walk keeps the containers it is
// inside on a small heap stack instead of climbing through `parent`: the
// text depends only on tags, `head`, `next` and keys, as it would with a
// recursive writer, even when a caller's `parent` links are wrong.
#include "c_locale.h"
#include "decode.h"
#include "json.h"
#include "text.h"

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* ---- numbers ---- */

// Numbers are written as printf's "%.16g" writes them in the "C" locale:
// sixteen significant digits, fixed or exponent notation, trailing zeros
// dropped.  The common cases are formatted here with exact integer
// arithmetic; the rest go to snprintf under the "C" locale, so the host
// process's locale never turns the decimal point into a comma.

static constexpr int number_buffer_size = 64;
static constexpr int precision = 16;
static constexpr uint64_t ten_to_15 = 1000000000000000ull;
static constexpr uint64_t ten_to_16 = 10000000000000000ull;

using u128 = unsigned __int128;

struct pow10_table {
    u128 value[23];
    constexpr pow10_table() : value()
    {
        u128 p = 1;
        for (int i = 0; i < 23; i++, p *= 10)
            value[i] = p;
    }
};
static constexpr pow10_table pow10;

static constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the decimal digits of v so that they end just before end; returns
// where they begin.
static char *write_digits_backwards(char *end, uint64_t v)
{
    while (v >= 100) {
        unsigned pair = static_cast<unsigned>(v % 100) * 2;
        v /= 100;
        *--end = digit_pairs[pair + 1];
        *--end = digit_pairs[pair];
    }
    if (v >= 10) {
        unsigned pair = static_cast<unsigned>(v) * 2;
        *--end = digit_pairs[pair + 1];
        *--end = digit_pairs[pair];
    } else {
        *--end = static_cast<char>('0' + v);
    }
    return end;
}

// An integral magnitude below 10^16: "%.16g" prints all its digits.
static int format_integer(char *out, bool negative, uint64_t magnitude)
{
    char digits[20];
    char *end = digits + sizeof digits;
    char *begin = write_digits_backwards(end, magnitude);
    char *p = out;
    if (negative)
        *p++ = '-';
    memcpy(p, begin, static_cast<size_t>(end - begin));
    p += end - begin;
    *p = '\0';
    return static_cast<int>(p - out);
}

// Writes sixteen significant digits (10^15 <= digits < 10^16) with decimal
// exponent exp10 the way "%g" does: fixed notation for -4 <= exp10 < 16,
// otherwise d.ddde+XX; trailing zeros and a bare decimal point dropped.
static int format_significand(char *out, bool negative, uint64_t digits, int exp10)
{
    char d[precision];
    write_digits_backwards(d + precision, digits);
    int kept = precision;
    while (kept > 1 && d[kept - 1] == '0')
        kept--;

    char *p = out;
    if (negative)
        *p++ = '-';
    if (exp10 >= -4 && exp10 < precision) {
        if (exp10 >= 0) {
            int whole = exp10 + 1;
            memcpy(p, d, static_cast<size_t>(whole));
            p += whole;
            if (kept > whole) {
                *p++ = '.';
                memcpy(p, d + whole, static_cast<size_t>(kept - whole));
                p += kept - whole;
            }
        } else {
            *p++ = '0';
            *p++ = '.';
            for (int i = -1; i > exp10; i--)
                *p++ = '0';
            memcpy(p, d, static_cast<size_t>(kept));
            p += kept;
        }
    } else {
        *p++ = d[0];
        if (kept > 1) {
            *p++ = '.';
            memcpy(p, d + 1, static_cast<size_t>(kept - 1));
            p += kept - 1;
        }
        *p++ = 'e';
        *p++ = exp10 < 0 ? '-' : '+';
        unsigned e = static_cast<unsigned>(exp10 < 0 ? -exp10 : exp10);
        if (e < 10)
            *p++ = '0';
        char exponent[4];
        char *end = exponent + sizeof exponent;
        char *begin = write_digits_backwards(end, e);
        memcpy(p, begin, static_cast<size_t>(end - begin));
        p += end - begin;
    }
    *p = '\0';
    return static_cast<int>(p - out);
}

// Rounds m * 2^e (m < 2^53) to sixteen significant digits, ties to even as
// printf rounds, with exact 128-bit arithmetic.  Covers 10^-7 <= x < 10^37;
// returns false outside that range.
static bool round_to_precision(uint64_t m, int e, uint64_t *digits, int *exp10)
{
    int log2_floor = e + 63 - __builtin_clzll(m);
    // floor(log2_floor * log10(2)): the decimal exponent or one below it.
    int estimate = (log2_floor * 78913) >> 18;
    if (estimate < -7 || estimate > 36)
        return false;
    for (int exponent = estimate; exponent <= estimate + 1; exponent++) {
        // scaled = x * 10^(15 - exponent) = quotient + fraction, exactly.
        int q = precision - 1 - exponent;
        u128 quotient;
        int fraction_vs_half;  // <0, 0, >0: fraction below, at, above 1/2
        if (q >= 0) {
            u128 n = static_cast<u128>(m) * pow10.value[q];
            if (e >= 0) {
                quotient = n << e;
                fraction_vs_half = -1;
            } else {
                int shift = -e;
                quotient = n >> shift;
                u128 rest = n & ((static_cast<u128>(1) << shift) - 1);
                u128 half = static_cast<u128>(1) << (shift - 1);
                fraction_vs_half = rest < half ? -1 : rest > half ? 1 : 0;
            }
        } else {
            u128 n = static_cast<u128>(m) << e;  // x >= 10^16: an integer, e > 0
            u128 divisor = pow10.value[-q];
            quotient = n / divisor;
            u128 twice_rest = (n % divisor) * 2;
            fraction_vs_half = twice_rest < divisor ? -1 : twice_rest > divisor ? 1 : 0;
        }
        if (quotient >= ten_to_16)
            continue;  // the estimate was one too low
        if (quotient < ten_to_15)
            return false;
        uint64_t rounded = static_cast<uint64_t>(quotient);
        if (fraction_vs_half > 0 || (fraction_vs_half == 0 && (rounded & 1)))
            rounded++;
        if (rounded == ten_to_16) {
            rounded = ten_to_15;
            exponent++;
        }
        *digits = rounded;
        *exp10 = exponent;
        return true;
    }
    return false;
}

static int format_with_printf(char *out, double x)
{
    c_locale_scope c_numbers;
    return snprintf(out, number_buffer_size, "%.16g", x);
}

// Writes x into out (number_buffer_size bytes) exactly as snprintf with
// "%.16g" does in the "C" locale; returns the length.
static int format_number(char *out, double x)
{
    if (!isfinite(x))
        return format_with_printf(out, x);
    bool negative = signbit(x);
    double magnitude = fabs(x);
    if (magnitude < 1e16) {
        uint64_t whole = static_cast<uint64_t>(magnitude);
        if (static_cast<double>(whole) == magnitude)
            return format_integer(out, negative, whole);
    }
    uint64_t bits;
    memcpy(&bits, &magnitude, sizeof bits);
    int biased = static_cast<int>(bits >> 52);
    if (biased == 0)
        return format_with_printf(out, x);  // subnormal
    uint64_t m = (bits & ((1ull << 52) - 1)) | (1ull << 52);
    uint64_t digits;
    int exp10;
    if (!round_to_precision(m, biased - 1075, &digits, &exp10))
        return format_with_printf(out, x);
    return format_significand(out, negative, digits, exp10);
}

// Appends the number, or null when its text is no JSON number (NaN and the
// infinities).
static void emit_number(string_builder *sb, double x)
{
    char text[number_buffer_size];
    int length = format_number(text, x);
    if (number_is_valid(text))
        sb_put(sb, text, length);
    else
        sb_put(sb, "null", 4);
}

/* ---- scalars ---- */

// The value byte as stored: a hand-made node may hold any byte there, and
// reading it as a bool would be undefined.
static bool bool_is_set(const json_node *node)
{
    unsigned char byte;
    memcpy(&byte, &node->bool_, 1);
    return byte != 0;
}

// Scalars are written alike in both layouts; a tag outside the six kinds
// writes nothing.
static void emit_scalar(string_builder *sb, const json_node *node)
{
    switch (node->tag) {
    case TAG_NULL:
        sb_put(sb, "null", 4);
        break;
    case TAG_BOOL:
        if (bool_is_set(node))
            sb_put(sb, "true", 4);
        else
            sb_put(sb, "false", 5);
        break;
    case TAG_STRING:
        emit_string(sb, node->string_);
        break;
    case TAG_NUMBER:
        emit_number(sb, node->number_);
        break;
    default:
        break;
    }
}

static bool is_container(const json_node *node)
{
    return node->tag == TAG_ARRAY || node->tag == TAG_OBJECT;
}

static char opener(const json_node *container)
{
    return container->tag == TAG_ARRAY ? '[' : '{';
}

static char closer(const json_node *container)
{
    return container->tag == TAG_ARRAY ? ']' : '}';
}

/* ---- the containers being written ---- */

// Grows on the heap only past the first 64 levels.
struct container_stack {
    const json_node **items;
    size_t size;
    size_t capacity;
    const json_node *first_items[64];
};

static void stack_init(container_stack *stack)
{
    stack->items = stack->first_items;
    stack->size = 0;
    stack->capacity = sizeof stack->first_items / sizeof stack->first_items[0];
}

static void stack_push(container_stack *stack, const json_node *container)
{
    if (stack->size == stack->capacity) {
        size_t capacity = stack->capacity * 2;
        auto **items = static_cast<const json_node **>(malloc(capacity * sizeof(json_node *)));
        if (!items)
            json_out_of_memory();
        memcpy(items, stack->items, stack->size * sizeof(json_node *));
        if (stack->items != stack->first_items)
            free(stack->items);
        stack->items = items;
        stack->capacity = capacity;
    }
    stack->items[stack->size++] = container;
}

static const json_node *stack_top(const container_stack *stack)
{
    return stack->items[stack->size - 1];
}

static void stack_free(container_stack *stack)
{
    if (stack->items != stack->first_items)
        free(stack->items);
}

/* ---- compact layout ---- */

static void emit_compact_key(string_builder *sb, const json_node *container, const json_node *child)
{
    if (container->tag == TAG_OBJECT) {
        emit_string(sb, child->key);
        sb_putc(sb, ':');
    }
}

// Opens a container; returns its first child, or null when it was empty
// and has been written whole.
static const json_node *emit_open(string_builder *sb, container_stack *stack, const json_node *container)
{
    sb_putc(sb, opener(container));
    const json_node *first = container->children.head;
    if (!first) {
        sb_putc(sb, closer(container));
        return nullptr;
    }
    stack_push(stack, container);
    emit_compact_key(sb, container, first);
    return first;
}

// After node has been written whole: writes the separators and closing
// brackets up to the next node to write, and returns it; null when the
// outermost container is closed.
static const json_node *emit_after(string_builder *sb, container_stack *stack, const json_node *node)
{
    while (stack->size > 0) {
        const json_node *container = stack_top(stack);
        if (node->next) {
            sb_putc(sb, ',');
            emit_compact_key(sb, container, node->next);
            return node->next;
        }
        sb_putc(sb, closer(container));
        stack->size--;
        node = container;
    }
    return nullptr;
}

// The compact text: no blanks, no line breaks.
static void emit_value(string_builder *sb, const json_node *root)
{
    container_stack stack;
    stack_init(&stack);
    const json_node *node = root;
    while (node) {
        if (is_container(node)) {
            if (const json_node *first = emit_open(sb, &stack, node)) {
                node = first;
                continue;
            }
        } else {
            emit_scalar(sb, node);
        }
        node = emit_after(sb, &stack, node);
    }
    stack_free(&stack);
}

/* ---- indented layout ---- */

struct indentation {
    const char *space;
    size_t space_length;
    char run[256];        // the space string repeated, for one copy per line
    size_t run_length;    // a multiple of space_length
};

static void indentation_init(indentation *indent, const char *space)
{
    indent->space = space;
    indent->space_length = strlen(space);
    indent->run_length = 0;
    if (indent->space_length == 0 || indent->space_length > sizeof indent->run)
        return;
    while (indent->run_length + indent->space_length <= sizeof indent->run) {
        memcpy(indent->run + indent->run_length, space, indent->space_length);
        indent->run_length += indent->space_length;
    }
}

// Appends the space string depth times.
static void emit_indent(string_builder *sb, const indentation *indent, size_t depth)
{
    if (indent->run_length == 0) {
        for (size_t i = 0; i < depth && indent->space_length > 0; i++)
            sb_put(sb, indent->space, static_cast<int>(indent->space_length));
        return;
    }
    size_t total = depth * indent->space_length;
    while (total > 0) {
        size_t piece = total < indent->run_length ? total : indent->run_length;
        sb_put(sb, indent->run, static_cast<int>(piece));
        total -= piece;
    }
}

// Starts a child's line: indentation, then the key and ": " in an object.
static void emit_line_start(string_builder *sb, const indentation *indent, size_t depth,
                            const json_node *container, const json_node *child)
{
    emit_indent(sb, indent, depth);
    if (container->tag == TAG_OBJECT) {
        emit_string(sb, child->key);
        sb_put(sb, ": ", 2);
    }
}

static const json_node *emit_open_indented(string_builder *sb, container_stack *stack,
                                           const indentation *indent, const json_node *container)
{
    const json_node *first = container->children.head;
    sb_putc(sb, opener(container));
    if (!first) {
        sb_putc(sb, closer(container));  // an empty container stays on its line
        return nullptr;
    }
    sb_putc(sb, '\n');
    stack_push(stack, container);
    emit_line_start(sb, indent, stack->size, container, first);
    return first;
}

static const json_node *emit_after_indented(string_builder *sb, container_stack *stack,
                                            const indentation *indent, const json_node *node)
{
    while (stack->size > 0) {
        const json_node *container = stack_top(stack);
        if (node->next) {
            sb_put(sb, ",\n", 2);
            emit_line_start(sb, indent, stack->size, container, node->next);
            return node->next;
        }
        sb_putc(sb, '\n');
        stack->size--;
        emit_indent(sb, indent, stack->size);
        sb_putc(sb, closer(container));
        node = container;
    }
    return nullptr;
}

// One element or member per line, each level indented by one more copy of
// the space string; no line feed after the root.
static void emit_value_indented(string_builder *sb, const json_node *root, const char *space)
{
    indentation indent;
    indentation_init(&indent, space);
    container_stack stack;
    stack_init(&stack);
    const json_node *node = root;
    while (node) {
        if (is_container(node)) {
            if (const json_node *first = emit_open_indented(sb, &stack, &indent, node)) {
                node = first;
                continue;
            }
        } else {
            emit_scalar(sb, node);
        }
        node = emit_after_indented(sb, &stack, &indent, node);
    }
    stack_free(&stack);
}

/* ---- entry points ---- */

char *json_stringify(const json_node *node, const char *space)
{
    string_builder sb;
    sb_init(&sb);
    if (space)
        emit_value_indented(&sb, node, space);
    else
        emit_value(&sb, node);
    return sb_finish(&sb);
}

char *json_encode(const json_node *node)
{
    return json_stringify(node, nullptr);
}
