// JSON number text: the grammar, reading and writing.  Internal to the
// library; read and written the same way whatever the host's locale is.
#ifndef VESNAR_JSON_NUMBER_H
#define VESNAR_JSON_NUMBER_H

#include "text.h"

#include <stdint.h>

inline bool number_digit(char c)
{
    return static_cast<unsigned char>(c - '0') < 10;
}

// The end of the run of digits at p: four bytes a step, which spares
// validation three in four of a byte loop's counter updates.  The NUL ends
// any run.
inline const char *skip_digits(const char *p)
{
    for (;;) {
        if (!number_digit(p[0]))
            return p;
        if (!number_digit(p[1]))
            return p + 1;
        if (!number_digit(p[2]))
            return p + 2;
        if (!number_digit(p[3]))
            return p + 3;
        p += 4;
    }
}

// True when the whole of text is exactly one JSON number: the writer checks
// its own output with this.
bool number_is_valid(const char *text);

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

// Powers of ten that a double holds exactly.
inline constexpr double exact_pow10[] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22,
};
inline constexpr int max_exact_pow10 = 22;
// Up to 15 digits every integer is exact in a double, with room to spare.
inline constexpr int max_exact_digits = 15;

// Clinger's fast path: digits and power of ten both exact in a double, so
// one correctly rounded operation gives the correctly rounded value.
inline bool exact_value(const number_digits &n, double *out)
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

// Exactly what strtod gives in the "C" locale for the number's text, whose
// digits did not take the shortcut of exact_value.
double number_value(uint64_t mantissa, int64_t exponent, bool negative, bool digits_fit, const char *text);

// Steps over the JSON number that starts at first and returns its end, or
// null when none does: an optional "-", then "0" or a digit run that does
// not start with "0", then optionally "." and digits, then optionally "e"
// or "E", a sign and digits.  A leading "0" ends the integer part, so "01"
// is the number 0 followed by an unread "1", which whatever encloses it
// rejects.  With Read, the digits are collected on the way and *out gets
// exactly what strtod gives in the "C" locale.  In line: the decoder calls
// it once per number.
template <bool Read>
__attribute__((always_inline)) inline const char *number_scan(const char *first, double *out)
{
    const char *p = first;
    number_digits n;
    if (*p == '-') {
        n.negative = true;
        p++;
    }
    if (*p == '0') {
        p++;
    } else if (!number_digit(*p)) {
        return nullptr;
    } else if (!Read) {
        p = skip_digits(p);
    } else {
        do {
            n.add(*p);
            p++;
        } while (number_digit(*p));
    }
    if (*p == '.') {
        p++;
        if (!number_digit(*p))
            return nullptr;
        if (!Read)
            p = skip_digits(p);
        else
            do {
                n.add(*p);
                n.exponent--;
                p++;
            } while (number_digit(*p));
    }
    if (*p == 'e' || *p == 'E') {
        p++;
        bool negative_exponent = false;
        if (*p == '+' || *p == '-')
            negative_exponent = *p++ == '-';
        if (!number_digit(*p))
            return nullptr;
        int64_t e = 0;
        do {
            if (Read) {
                if (e < 1000000000)
                    e = e * 10 + (*p - '0');
                else
                    n.huge_exponent = true;  // far beyond any double
            }
            p++;
        } while (number_digit(*p));
        n.exponent += negative_exponent ? -e : e;
    }
    if (!Read)
        return p;
    // Nearest double, infinity beyond the range, zero or a subnormal below
    // it, -0 kept; found by the quickest of three ways that agree, the most
    // common (short numbers) in line.
    if (n.count == 0)
        *out = n.negative ? -0.0 : 0.0;
    else if (!n.huge_exponent && exact_value(n, out))
        *out = n.negative ? -*out : *out;
    else
        *out = number_value(n.mantissa, n.exponent, n.negative, !n.huge_exponent && n.count <= 19, first);
    return p;
}

// Appends the number's text ("%.16g" in the "C" locale), or null.
void emit_number(string_builder *sb, double x);

#endif
