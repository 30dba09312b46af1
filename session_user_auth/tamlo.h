// pam_tamlo's exported helpers: the session-user password check and the
// pieces it is made of. The line reader is declared in readline.h.
#ifndef VESNAR_TAMLO_H
#define VESNAR_TAMLO_H

#include <stddef.h>

#include "export.h"

// A session user's key: TAMLO_KEY_PATH_FORMAT filled with the keys
// directory, the PAM user and the session user's first
// TAMLO_SESSION_USER_MAX characters.
constexpr char TAMLO_KEY_DIR[] = "/var/vesnar/tamlo/keys";
constexpr char TAMLO_KEY_PATH_FORMAT[] = "%s/%s:tamlo_%s";
constexpr size_t TAMLO_SESSION_USER_MAX = 10;

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
