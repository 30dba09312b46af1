// JSON number text: the grammar, reading and writing.  Internal to the
// library; written the same way whatever the host's locale is.
#ifndef VESNAR_JSON_NUMBER_H
#define VESNAR_JSON_NUMBER_H

#include "text.h"

inline bool number_digit(char c)
{
    return static_cast<unsigned char>(c - '0') < 10;
}

// The end of the JSON number that starts at p, or null when none does: an
// optional "-", then "0" or a digit run that does not start with "0", then
// optionally "." and digits, then optionally "e" or "E", a sign and digits.
// A leading "0" ends the integer part, so "01" is the number 0 followed by
// an unread "1", which whatever encloses it rejects.  Inline: the decoder
// calls it once per number.
inline const char *number_end(const char *p)
{
    if (*p == '-')
        p++;
    if (*p == '0') {
        p++;
    } else if (number_digit(*p)) {
        do
            p++;
        while (number_digit(*p));
    } else {
        return nullptr;
    }
    if (*p == '.') {
        p++;
        if (!number_digit(*p))
            return nullptr;
        do
            p++;
        while (number_digit(*p));
    }
    if (*p == 'e' || *p == 'E') {
        p++;
        if (*p == '+' || *p == '-')
            p++;
        if (!number_digit(*p))
            return nullptr;
        do
            p++;
        while (number_digit(*p));
    }
    return p;
}

// True when the whole of text is exactly one JSON number: the writer checks
// its own output with this.
bool number_is_valid(const char *text);

// Reads the JSON number that starts at first into *out, exactly as strtod
// in the "C" locale would, and returns its end; null when no JSON number
// starts there.  text_end is the end of the text, which the reader may look
// at up to but never past.
const char *number_read(const char *first, const char *text_end, double *out);

// Appends the number's text ("%.16g" in the "C" locale), or null.
void emit_number(string_builder *sb, double x);

#endif
