// pam_brud's exported helpers: the feature switch, the character test and
// the client side of the brute-force daemon's protocol.
#ifndef VESNAR_BRUD_H
#define VESNAR_BRUD_H

#include <stdint.h>

#define BRUD_API __attribute__((visibility("default")))

// Action index of a report.
enum { BRUD_ACTION_AUTHENTICATE = 0, BRUD_ACTION_SETCRED = 1 };

// Results of tell_brud.
enum {
    BRUD_FAILED = -1,     // no verdict (set-up, write or read failed), "-1" or "4.."
    BRUD_UNKNOWN = 0,     // any other verdict, the empty one included
    BRUD_ALLOWED = 1,     // "2.."
    BRUD_BLOCKED = 2,     // "55.."
    BRUD_BLOCKED_58 = 3,  // "58.."
    BRUD_DEFERRED = 4     // "50.."
};

// The key buffer that get_brud_key fills: a key of at most 255 bytes and its NUL.
enum { BRUD_KEY_SIZE = 256 };

extern "C" {
BRUD_API int brud_enabled(void);
BRUD_API int contains_invalid_chars(const char *s);

BRUD_API int get_brud_key(char *key);
BRUD_API int connect_brud(void);
BRUD_API int tell_brud(int fd, int action, const char *user, const char *rhost,
                       const char *ruser, int64_t login_time, const char *service,
                       const char *tty, const char *hash);
BRUD_API void disconnect_brud(int fd);

BRUD_API extern const char *pam_brud_version;
}

#endif
