// Temporary: the number test alone, until the decoder lands.
#include "decode.h"

static bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool number_is_valid(const char *text)
{
    const char *p = text;
    if (*p == '-')
        p++;
    if (*p == '0')
        p++;
    else if (is_digit(*p))
        while (is_digit(*p))
            p++;
    else
        return false;
    if (*p == '.') {
        p++;
        if (!is_digit(*p))
            return false;
        while (is_digit(*p))
            p++;
    }
    if (*p == 'e' || *p == 'E') {
        p++;
        if (*p == '+' || *p == '-')
            p++;
        if (!is_digit(*p))
            return false;
        while (is_digit(*p))
            p++;
    }
    return *p == '\0';
}
