// JSON number text: the grammar, reading it into a double and writing a
// double back.
#include "number.h"
#include "c_locale.h"
#include "number_table.h"

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

bool number_is_valid(const char *text)
{
    const char *end = number_scan<false>(text, nullptr);
    return end && *end == '\0';
}

/* ---- reading ---- */

namespace {

struct wide_product {
    uint64_t high, low;
};

wide_product multiply(uint64_t a, uint64_t b)
{
    unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return {static_cast<uint64_t>(r >> 64), static_cast<uint64_t>(r)};
}

// Eisel and Lemire's method: the double nearest to w * 10^q (w nonzero, at
// most 19 digits) from a 128-bit approximation of 5^q.  False in the rare
// case that the approximation cannot settle the rounding.
bool nearest_double(uint64_t w, int64_t q, bool negative, double *out)
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
        wide_product product = multiply(w, pow5[0]);
        constexpr uint64_t precision_mask = UINT64_MAX >> (mantissa_bits + 3);
        if ((product.high & precision_mask) == precision_mask) {
            wide_product second = multiply(w, pow5[1]);
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

}  // namespace

// The numbers that number_scan's shortcut leaves: the nearest double from
// 128-bit arithmetic while the digits fit in mantissa, strtod otherwise
// (more than 19 digits, an exponent beyond 10^9, or a rare tie that the
// approximation cannot settle).
double number_value(uint64_t mantissa, int64_t exponent, bool negative, bool digits_fit, const char *text)
{
    double value;
    if (digits_fit && nearest_double(mantissa, exponent, negative, &value))
        return value;
    return strtod_l(text, nullptr, json_c_locale());
}

/* ---- writing ---- */

// Numbers are written as printf's "%.16g" writes them in the "C" locale:
// sixteen significant digits, fixed or exponent notation, trailing zeros
// dropped.  The common cases are formatted here with exact integer
// arithmetic; the rest go to snprintf under the "C" locale, so the host
// process's locale never turns the decimal point into a comma.

namespace {

constexpr int number_buffer_size = 64;
constexpr int precision = 16;
constexpr uint64_t ten_to_15 = 1000000000000000ull;
constexpr uint64_t ten_to_16 = 10000000000000000ull;

using u128 = unsigned __int128;

struct power_of_ten_table {
    u128 value[23];
    constexpr power_of_ten_table() : value()
    {
        u128 p = 1;
        for (int i = 0; i < 23; i++, p *= 10)
            value[i] = p;
    }
};
constexpr power_of_ten_table powers_of_ten;

constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

void write_pair(char *out, uint32_t v)  // v < 100
{
    memcpy(out, digit_pairs + 2 * v, 2);
}

uint64_t pair_bytes(uint32_t v)  // v < 100
{
    uint16_t pair;
    memcpy(&pair, digit_pairs + 2 * v, 2);
    return pair;
}

// Eight digits of v < 10^8, leading zeros included, as the bytes of one
// word in memory order: built in a register and stored at once, so that no
// load has to wait for several small stores.
uint64_t eight_digits(uint32_t v)
{
    uint32_t high = v / 10000, low = v % 10000;
    uint64_t a = pair_bytes(high / 100), b = pair_bytes(high % 100);
    uint64_t c = pair_bytes(low / 100), d = pair_bytes(low % 100);
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
        return a | b << 16 | c << 32 | d << 48;
    return a << 48 | b << 32 | c << 16 | d;
}

void write_8_digits(char *out, uint32_t v)
{
    uint64_t word = eight_digits(v);
    memcpy(out, &word, 8);
}

// The digits of v < 10^8 without leading zeros; returns their count.
int write_short_digits(char *out, uint32_t v)
{
    int n = v < 10 ? 1 : v < 100 ? 2 : v < 1000 ? 3 : v < 10000 ? 4
          : v < 100000 ? 5 : v < 1000000 ? 6 : v < 10000000 ? 7 : 8;
    char *p = out + n;
    while (v >= 100) {
        p -= 2;
        write_pair(p, v % 100);
        v /= 100;
    }
    if (v >= 10)
        write_pair(p - 2, v);
    else
        p[-1] = static_cast<char>('0' + v);
    return n;
}

// An integral magnitude below 10^16: "%.16g" prints all its digits.
int format_integer(char *out, bool negative, uint64_t magnitude)
{
    char *p = out;
    if (negative)
        *p++ = '-';
    if (magnitude < 100000000) {
        p += write_short_digits(p, static_cast<uint32_t>(magnitude));
    } else {
        p += write_short_digits(p, static_cast<uint32_t>(magnitude / 100000000));
        write_8_digits(p, static_cast<uint32_t>(magnitude % 100000000));
        p += 8;
    }
    *p = '\0';
    return static_cast<int>(p - out);
}

// Number of digits left of sixteen (the first never '0') once trailing
// zeros are dropped; first and second hold them as eight_digits gives them.
int significant_length(uint64_t first, uint64_t second)
{
    if constexpr (__BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__) {
        char d[precision];
        memcpy(d, &first, 8);
        memcpy(d + 8, &second, 8);
        int kept = precision;
        while (kept > 1 && d[kept - 1] == '0')
            kept--;
        return kept;
    }
    constexpr uint64_t zeros = 0x3030303030303030ull;
    first ^= zeros;   // a byte is non-zero where the digit is not '0', and
    second ^= zeros;  // the last digit is the word's highest byte
    if (second)
        return 8 + (63 - __builtin_clzll(second)) / 8 + 1;
    return (63 - __builtin_clzll(first)) / 8 + 1;
}

// Stores the sixteen digit bytes of chars from position `from` onwards at
// out, sixteen bytes in all.
void store_digits(char *out, u128 chars, int from)
{
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
        chars >>= 8 * from;
    else
        chars <<= 8 * from;
    memcpy(out, &chars, sizeof chars);
}

// Writes sixteen significant digits (10^15 <= digits < 10^16) with decimal
// exponent exp10 the way "%g" does: fixed notation for -4 <= exp10 < 16,
// otherwise d.ddde+XX; trailing zeros and a bare decimal point dropped.
// out has number_buffer_size bytes: the digits are stored sixteen at a
// time, and whatever lands past the end of the text is no part of it.
int format_significand(char *out, bool negative, uint64_t digits, int exp10)
{
    uint64_t first = eight_digits(static_cast<uint32_t>(digits / 100000000));
    uint64_t second = eight_digits(static_cast<uint32_t>(digits % 100000000));
    int kept = significant_length(first, second);
    u128 chars;
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
        chars = first | static_cast<u128>(second) << 64;
    else
        chars = static_cast<u128>(first) << 64 | second;

    char *p = out;
    if (negative)
        *p++ = '-';
    if (exp10 >= 0 && exp10 < precision) {
        int whole = exp10 + 1;
        store_digits(p, chars, 0);
        if (kept > whole) {
            p[whole] = '.';
            store_digits(p + whole + 1, chars, whole);
            p += kept + 1;
        } else {
            p += whole;
        }
    } else if (exp10 < 0 && exp10 >= -4) {
        memcpy(p, "0.000", 5);
        p += 1 - exp10;
        store_digits(p, chars, 0);
        p += kept;
    } else {
        store_digits(p, chars, 0);
        p[1] = '.';
        store_digits(p + 2, chars, 1);
        p += kept > 1 ? kept + 1 : 1;
        *p++ = 'e';
        *p++ = exp10 < 0 ? '-' : '+';
        unsigned e = static_cast<unsigned>(exp10 < 0 ? -exp10 : exp10);
        if (e < 10)
            *p++ = '0';
        p += write_short_digits(p, e);
    }
    *p = '\0';
    return static_cast<int>(p - out);
}

// Powers of ten from 10^-8 to 10^38 for the first guess of the decimal
// exponent; those below 1 are inexact, which the exact step corrects.
constexpr double pow10_guess[] = {
    1e-8, 1e-7, 1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 1e-1, 1e0, 1e1, 1e2, 1e3,
    1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
    1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22, 1e23, 1e24, 1e25, 1e26, 1e27,
    1e28, 1e29, 1e30, 1e31, 1e32, 1e33, 1e34, 1e35, 1e36, 1e37, 1e38,
};
constexpr int pow10_guess_offset = 8;

// x * 10^q = quotient + fraction, exactly, for |q| <= 22; fraction_vs_half
// tells whether the fraction is below (<0), at (0) or above (>0) one half.
void scale_exactly(uint64_t m, int e, int q, u128 *quotient, int *fraction_vs_half)
{
    if (q >= 0) {
        u128 n = static_cast<u128>(m) * powers_of_ten.value[q];
        if (e >= 0) {
            *quotient = n << e;
            *fraction_vs_half = -1;
            return;
        }
        int shift = -e;
        *quotient = n >> shift;
        u128 rest = n & ((static_cast<u128>(1) << shift) - 1);
        u128 half = static_cast<u128>(1) << (shift - 1);
        *fraction_vs_half = rest < half ? -1 : rest > half ? 1 : 0;
        return;
    }
    u128 n = static_cast<u128>(m) << e;  // x >= 10^16 here, an integer
    u128 divisor = powers_of_ten.value[-q];
    *quotient = n / divisor;
    u128 twice_rest = (n % divisor) * 2;
    *fraction_vs_half = twice_rest < divisor ? -1 : twice_rest > divisor ? 1 : 0;
}

// Rounds x = m * 2^e (m < 2^53) to sixteen significant digits, ties to
// even as printf rounds, with exact 128-bit arithmetic.  Covers about
// 10^-7 <= x < 10^37 and returns false outside that range.
bool round_to_precision(double x, uint64_t m, int e, uint64_t *digits, int *exp10)
{
    int log2_floor = e + 63 - __builtin_clzll(m);
    int exponent = (log2_floor * 78913) >> 18;  // floor(log2_floor * log10(2))
    if (exponent < -7 || exponent > 36)
        return false;
    if (x >= pow10_guess[exponent + 1 + pow10_guess_offset])
        exponent++;
    for (int attempt = 0; attempt < 2; attempt++) {
        int q = precision - 1 - exponent;
        if (q < -22 || q > 22)
            return false;
        u128 quotient;
        int fraction_vs_half;
        scale_exactly(m, e, q, &quotient, &fraction_vs_half);
        if (quotient >= ten_to_16) {
            exponent++;  // the guess was one too low
            continue;
        }
        if (quotient < ten_to_15) {
            exponent--;  // one too high
            continue;
        }
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

// Sixteen digits round the two largest doubles of each sign up to
// 1.797693134862316e+308, which lies beyond the double range and would be
// read back as an infinity; they get the seventeen digits that read back
// as themselves.  This is the largest double whose sixteen-digit text is
// still in range.
constexpr double largest_safe_at_16_digits = 1.7976931348623153e308;

// Subnormals and the magnitudes that round_to_precision does not cover.
int format_with_printf(char *out, double x)
{
    c_locale_scope c_numbers;
    int digits = fabs(x) > largest_safe_at_16_digits ? precision + 1 : precision;
    return snprintf(out, number_buffer_size, "%.*g", digits, x);
}

int format_checked_with_printf(char *out, double x)
{
    int length = format_with_printf(out, x);
    return number_is_valid(out) ? length : 0;
}

// Writes the finite x into out (number_buffer_size bytes) exactly as
// snprintf with "%.16g" does in the "C" locale, but for the largest doubles
// (above); returns the length, or 0 when that text is no JSON number.  Only
// snprintf's text needs the number test: the digit writers above write
// nothing else.
int format_number(char *out, double x)
{
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
        return format_checked_with_printf(out, x);  // subnormal
    uint64_t m = (bits & ((1ull << 52) - 1)) | (1ull << 52);
    uint64_t digits;
    int exp10;
    if (!round_to_precision(magnitude, m, biased - 1075, &digits, &exp10))
        return format_checked_with_printf(out, x);
    return format_significand(out, negative, digits, exp10);
}

}  // namespace

// The text is formatted straight into the builder's spare room and kept
// only when it is a JSON number.  NaN and the infinities have no JSON text
// and are written as null.
void emit_number(string_builder *sb, double x)
{
    sb_reserve(sb, number_buffer_size);
    char *text = sb->cur;
    if (isfinite(x)) {
        int length = format_number(text, x);
        if (length > 0) {
            sb->cur += length;
            return;
        }
    }
    memcpy(text, "null", 4);
    sb->cur += 4;
}
