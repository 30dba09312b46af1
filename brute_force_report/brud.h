// pam_brud's exported helpers: the feature switch, the character test and
// the client side of the brute-force daemon's protocol.
#ifndef VESNAR_BRUD_H
#define VESNAR_BRUD_H

#include <stdint.h>

#include "export.h"

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

// The platform's files: either flag file switches the feature on (only its
// existence counts); the key file's first line logs the module in to the
// daemon, which listens on the socket.
constexpr const char *BRUD_FLAG_FILES[] = {"/var/vesnar/brudd/enabled", "/var/vesnar/quorix_enable"};
constexpr char BRUD_KEY_PATH[] = "/var/vesnar/quorixd/keys/pam";
constexpr char BRUD_SOCKET_PATH[] = "/var/run/quorixd.sock";

// Called as each stage of connect_brud succeeds: "connect", "welcome",
// "login". The module's own is empty; vesnar-pam-check times the stages.
void brud_stage_passed(const char *stage);

extern "C" {
VESNAR_EXPORT int brud_enabled(void);
VESNAR_EXPORT int contains_invalid_chars(const char *s);

VESNAR_EXPORT int get_brud_key(char *key);
VESNAR_EXPORT int connect_brud(void);
VESNAR_EXPORT int tell_brud(int fd, int action, const char *user, const char *rhost,
                       const char *ruser, int64_t login_time, const char *service,
                       const char *tty, const char *hash);
VESNAR_EXPORT void disconnect_brud(int fd);

VESNAR_EXPORT extern const char *pam_brud_version;
}

#endif
