// pam_brud: reports authentication attempts and credential establishment to
// the local brute-force daemon and turns its verdict into a PAM result.
//
// It checks no password itself. An attempt is reported with a salted hash of
// the token; only a refusing verdict refuses, and an unreachable or undecided
// daemon leaves the decision to the rest of the stack. The daemon protocol
// lives in daemon_client.cpp.
#define PAM_SM_AUTH
#include <security/pam_ext.h>
#include <security/pam_modules.h>

#include <crypt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "brud.h"
#include "secret.h"

extern "C" {
VESNAR_EXPORT const char *pam_brud_version = "quorix_version_4.1";
}

namespace {

// Either file switches the feature on; only its existence counts.
constexpr auto &FLAG_FILES = BRUD_FLAG_FILES;

// Services whose credential establishment is never reported.
constexpr const char *UNREPORTED_SETCRED_SERVICES[] = {"crond", "atd"};

// The salt changes with the hour: the window number is the count of whole
// hours since 2000-01-01 00:00:00 UTC, so it is never negative after 2000.
constexpr int64_t SALT_WINDOW_SECONDS = 3600;
constexpr int64_t SALT_EPOCH_OFFSET = 946684800;  // 2000-01-01 00:00:00 UTC
constexpr int64_t SALT_DIVISOR = 3600;
// Host part of the salt when there is neither a remote host nor a terminal.
constexpr char SALT_NO_HOST[] = "nohost";
constexpr char SALT_PREFIX[] = "$6$";  // SHA-512
constexpr size_t SALT_SIZE = 16;       // 15 characters and the NUL

// The items of one call; every string belongs to libpam.
struct event_items {
    const char *user = nullptr;
    const char *rhost = nullptr;
    const char *tty = nullptr;
    const char *ruser = nullptr;
    const char *service = nullptr;
};

int get_string_from_pam(pam_handle_t *pamh, int item, const char **out)
{
    const void *value = nullptr;
    int rc = pam_get_item(pamh, item, &value);
    if (rc != PAM_SUCCESS)
        return rc;
    if (!value)
        return PAM_AUTH_ERR;
    *out = static_cast<const char *>(value);
    return PAM_SUCCESS;
}

int pam_get_rhost(pam_handle_t *pamh, const char **out) { return get_string_from_pam(pamh, PAM_RHOST, out); }
int pam_get_tty(pam_handle_t *pamh, const char **out) { return get_string_from_pam(pamh, PAM_TTY, out); }
int get_ruser(pam_handle_t *pamh, const char **out) { return get_string_from_pam(pamh, PAM_RUSER, out); }
int get_service(pam_handle_t *pamh, const char **out) { return get_string_from_pam(pamh, PAM_SERVICE, out); }

// An optional item that cannot be had, or that holds a blank, CR or LF, is absent.
const char *optional_item(pam_handle_t *pamh, int (*getter)(pam_handle_t *, const char **))
{
    const char *value = nullptr;
    if (getter(pamh, &value) != PAM_SUCCESS || contains_invalid_chars(value))
        return nullptr;
    return value;
}

// The user name is required, and refused when it holds a blank, CR or LF.
bool get_user_name(pam_handle_t *pamh, event_items *items)
{
    const char *user = nullptr;
    if (pam_get_user(pamh, &user, nullptr) != PAM_SUCCESS || !user || contains_invalid_chars(user))
        return false;
    items->user = user;
    return true;
}

void gather_optional_items(pam_handle_t *pamh, event_items *items)
{
    items->rhost = optional_item(pamh, pam_get_rhost);
    items->tty = optional_item(pamh, pam_get_tty);
    items->ruser = optional_item(pamh, get_ruser);
    items->service = optional_item(pamh, get_service);
}

// ---- Token hash -------------------------------------------------------------

int64_t salt_window_number(int64_t now)
{
    return (now - now % SALT_WINDOW_SECONDS - SALT_EPOCH_OFFSET) / SALT_DIVISOR;
}

void build_salt(char *salt, int64_t now, const event_items &items)
{
    const char *user_part = items.ruser ? items.ruser : items.user;
    const char *host_part = items.rhost ? items.rhost : items.tty ? items.tty : SALT_NO_HOST;
    memset(salt, 0, SALT_SIZE);
    // Cut at 15 characters by design: the salt holds at most 12 after "$6$".
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
    snprintf(salt, SALT_SIZE, "%s%lld%s%s", SALT_PREFIX, (long long)salt_window_number(now),
             user_part, host_part);
#pragma GCC diagnostic pop
}

// A salt that crypt refuses (an IPv6 ':', a blank, a non-ASCII byte) gets
// every character outside crypt's alphabet replaced with '.'.
void mend_salt(char *salt)
{
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789./";
    for (char *p = salt + sizeof SALT_PREFIX - 1; *p; p++)
        if (!strchr(alphabet, *p))
            *p = '.';
}

// crypt's storage for one call. It holds the hash and state derived from
// the token, so it is wiped before it is released.
struct crypt_storage {
    struct crypt_data *data = static_cast<struct crypt_data *>(calloc(1, sizeof(struct crypt_data)));

    void release()
    {
        wipe_and_free(data, sizeof *data);
        data = nullptr;
    }
    ~crypt_storage() { release(); }
};

// A refusal comes back as null or as a failure token beginning with '*'.
const char *crypt_once(const char *token, const char *salt, struct crypt_data *data)
{
    const char *hash = crypt_rn(token, salt, data, sizeof *data);
    return hash && hash[0] != '*' ? hash : nullptr;
}

bool token_usable(int rc, const char *token)
{
    return rc == PAM_SUCCESS && token && token[0] && !strchr(token, '\n');
}

// The token's hash, in storage's keeping; null when the token is unusable
// or crypt refuses even the mended salt.
const char *hash_token(pam_handle_t *pamh, crypt_storage &storage, int64_t now,
                       const event_items &items)
{
    const char *token = nullptr;
    int rc = pam_get_authtok(pamh, PAM_AUTHTOK, &token, nullptr);
    if (!token_usable(rc, token) || !storage.data)
        return nullptr;
    char salt[SALT_SIZE];
    build_salt(salt, now, items);
    if (const char *hash = crypt_once(token, salt, storage.data))
        return hash;
    mend_salt(salt);
    return crypt_once(token, salt, storage.data);
}

// ---- Verdicts ---------------------------------------------------------------

int authenticate_result(int told)
{
    switch (told) {
    case BRUD_ALLOWED:
        return PAM_SUCCESS;
    case BRUD_FAILED:
    case BRUD_UNKNOWN:
    case BRUD_DEFERRED:
        return PAM_IGNORE;
    default:
        return PAM_AUTH_ERR;
    }
}

bool setcred_unreported(const char *service)
{
    if (!service)
        return false;
    for (const char *name : UNREPORTED_SETCRED_SERVICES)
        if (strcmp(service, name) == 0)
            return true;
    return false;
}

}  // namespace

// ---- Exported -----------------------------------------------------------------

extern "C" {

VESNAR_EXPORT int brud_enabled(void)
{
    struct stat st;
    for (const char *path : FLAG_FILES)
        if (stat(path, &st) == 0)
            return 1;
    return 0;
}

VESNAR_EXPORT int contains_invalid_chars(const char *s)
{
    return s && strpbrk(s, " \r\n") ? 1 : 0;
}

VESNAR_EXPORT int pam_sm_authenticate(pam_handle_t *pamh, int, int, const char **)
{
    int64_t now = time(nullptr);
    if (!brud_enabled())
        return PAM_SUCCESS;

    // Connected before the user is asked anything: an unreachable daemon
    // costs the user nothing.
    int fd = connect_brud();
    if (fd < 0)
        return PAM_IGNORE;

    event_items items;
    if (!get_user_name(pamh, &items)) {
        disconnect_brud(fd);
        return PAM_SERVICE_ERR;
    }
    gather_optional_items(pamh, &items);

    crypt_storage storage;
    const char *hash = hash_token(pamh, storage, now, items);
    int told = tell_brud(fd, BRUD_ACTION_AUTHENTICATE, items.user, items.rhost, items.ruser,
                         now, items.service, items.tty, hash);
    storage.release();
    disconnect_brud(fd);
    return authenticate_result(told);
}

VESNAR_EXPORT int pam_sm_setcred(pam_handle_t *pamh, int flags, int, const char **)
{
    if (flags != 0 && !(flags & PAM_ESTABLISH_CRED))
        return PAM_SUCCESS;
    if (!brud_enabled())
        return PAM_SUCCESS;

    // Everything is tested before a connection is opened.
    event_items items;
    if (!get_user_name(pamh, &items))
        return PAM_SERVICE_ERR;
    gather_optional_items(pamh, &items);
    if (setcred_unreported(items.service))
        return PAM_SUCCESS;

    int fd = connect_brud();
    if (fd < 0)
        return PAM_IGNORE;
    tell_brud(fd, BRUD_ACTION_SETCRED, items.user, items.rhost, items.ruser, time(nullptr),
              items.service, items.tty, nullptr);
    disconnect_brud(fd);
    return PAM_SUCCESS;
}

}  // extern "C"
