// The byte-at-a-time line reader that pam_brud and pam_tamlo both carry.
#ifndef VESNAR_READLINE_H
#define VESNAR_READLINE_H

#include <stdio.h>

#include "export.h"

extern "C" {
// Reads one line of `stream` into buf (which holds limit + 1 bytes), without
// its CR or LF; bytes past `limit` are dropped. Always returns 1.
VESNAR_EXPORT int readline(char *buf, FILE *stream, int limit);
}

#endif
