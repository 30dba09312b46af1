// pam_tamlo's exported helpers: the session-user password check and the
// pieces it is made of. The line reader is declared in readline.h.
#ifndef VESNAR_TAMLO_H
#define VESNAR_TAMLO_H

#include <stddef.h>

#include "export.h"

extern "C" {
// 1 when password is tamlo_<session user>_<token> and the token equals the
// key kept for user and that session user; 0, with one message logged,
// otherwise. The password is cut at its separators.
VESNAR_EXPORT int validate_tamlo_user_pass(const char *user, char *password);

// 1 when s holds anything but ASCII letters, digits and "_" (or is null).
VESNAR_EXPORT int has_invalid_username_chars(const char *s);

// Whether a (the supplied token) and b (the stored key) agree in their first
// n characters, in a time that depends on a and n only.
VESNAR_EXPORT bool strn_iseq(const char *a, const char *b, size_t n);

VESNAR_EXPORT extern const char *pam_tamlo_version;
}

#endif
