// pam_tamlo: authenticates session users of the hosting platform. The
// password has the form tamlo_<session user>_<token>; it is accepted when the
// token equals the key that the platform keeps for the account and that
// session user. The other entry points give fixed answers.
#include <security/pam_modules.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "descriptor.h"
#include "key_file.h"
#include "module_log.h"
#include "secret.h"
#include "tamlo.h"

extern "C" {
VESNAR_EXPORT const char *pam_tamlo_version = "tamlo_version_1.1";
}

namespace {

constexpr auto &KEY_DIR = TAMLO_KEY_DIR;
constexpr size_t MIN_PASSWORD = 9;
constexpr size_t MAX_PASSWORD = 272;
constexpr size_t SESSION_USER_MAX = TAMLO_SESSION_USER_MAX;
constexpr size_t KEY_MAX = 255;
constexpr size_t PATH_SIZE = 4096;
constexpr int CONV_ATTEMPTS = 3;

// Working storage of one validation. Every buffer holds part of the
// password or of the key, so all of it is wiped before the call returns.
struct tamlo_buffers {
    char session_user[SESSION_USER_MAX + 1];
    char key[KEY_MAX + 1];
    char path[PATH_SIZE];
};

__attribute__((format(printf, 2, 3))) void syslog_error(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    log_under_identity("PAM-tamlo", priority, format, ap);
    va_end(ap);
}

// Reads the key file of `user` into buf->key (zero-filled, so always
// terminated). Returns the number of bytes read, or -1 (logged) when the
// file cannot be opened, is not a regular file, or others may have written
// it. Read straight into the buffer that is wiped, so no other copy of the
// key is left behind.
int read_key_file(const char *user, tamlo_buffers *buf)
{
    unique_fd file(open_key_file(buf->path));
    if (file.get() < 0) {
        syslog_error(LOG_ERR, "failed opening: %s for password", buf->path);
        return -1;
    }
    key_file_report report;
    unsigned weak = inspect_key_file(file.get(), buf->path, user,
                                     TAMLO_KEY_REFUSED | TAMLO_KEY_WARNED, &report);
    if (weak & TAMLO_KEY_REFUSED) {
        syslog_error(LOG_ERR, "refusing key file %s: %s", buf->path, report.reasons);
        return -1;
    }
    if (weak & TAMLO_KEY_WARNED)
        syslog_error(LOG_ERR, "weak key file %s: %s", buf->path, report.reasons);
    return int(read_key_bytes(file.get(), buf->key, KEY_MAX));
}

int check_tamlo_password(const char *user, char *password, tamlo_buffers *buf)
{
    if (has_invalid_username_chars(user)) {
        syslog_error(LOG_ERR, "user has invalid characters.");
        return 0;
    }

    // A missing password is measured as empty.
    size_t len = password ? strnlen(password, MAX_PASSWORD + 1) : 0;
    if (len < MIN_PASSWORD) {
        syslog_error(LOG_ERR, "Password shorter than expected. The format of the password requires "
                     "at least 9 characters, but only %d were seen.", int(len));
        return 0;
    }
    if (len > MAX_PASSWORD) {
        syslog_error(LOG_ERR, "Password longer than expected. The format of the password supports "
                     "at most %d characters, but more than this were given.", int(MAX_PASSWORD));
        return 0;
    }

    char *rest = password;
    const char *prefix = strsep(&rest, "_");
    if (!rest) {
        syslog_error(LOG_ERR, "Expected tamlo_ in password missing.");
        return 0;
    }
    if (strcmp(prefix, "tamlo") != 0) {
        syslog_error(LOG_ERR, "Password does not start with tamlo_.");
        return 0;
    }
    const char *session_user = strsep(&rest, "_");
    if (!rest) {
        syslog_error(LOG_ERR, "Expected tamlo_ user in password missing.");
        return 0;
    }
    const char *token = rest;

    // Only the first ten characters name the key file; the rest is ignored.
    memcpy(buf->session_user, session_user, strnlen(session_user, SESSION_USER_MAX));
    if (has_invalid_username_chars(buf->session_user)) {
        syslog_error(LOG_ERR, "tamlo_ user has invalid characters.");
        return 0;
    }

    // A path too long for the buffer is cut short; its file name is then far
    // beyond NAME_MAX, so the open below fails rather than naming another file.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
    snprintf(buf->path, PATH_SIZE - 1, TAMLO_KEY_PATH_FORMAT, KEY_DIR, user, buf->session_user);
#pragma GCC diagnostic pop
    int got = read_key_file(user, buf);
    if (got < 0)
        return 0;
    // A key that ends at its first byte is no key: it would let an empty
    // token in.
    if (got == 0 || buf->key[0] == '\0') {
        syslog_error(LOG_ERR, "No password file found for user: %s, tamlo_user: %s", user,
                     buf->session_user);
        return 0;
    }

    if (!strn_iseq(token, buf->key, KEY_MAX)) {
        syslog_error(LOG_ERR, "failed tamlo auth for user: %s with tamlouser: %s", user,
                     buf->session_user);
        return 0;
    }
    return 1;
}

// Asks for the password, retrying only when the conversation itself fails.
// On success *password is the response text (possibly null), owned by the
// caller; otherwise the last conversation result is returned.
int ask_password(const pam_conv *conv, int flags, char **password)
{
    pam_message msg;
    msg.msg_style = PAM_PROMPT_ECHO_OFF;
    msg.msg = (flags & PAM_SILENT) ? "" : "Password:";
    const pam_message *msgs[1] = {&msg};

    int status = PAM_CONV_ERR;
    for (int attempt = 0; attempt < CONV_ATTEMPTS; attempt++) {
        pam_response *resp = nullptr;
        status = conv->conv(1, msgs, &resp, conv->appdata_ptr);
        if (resp) {
            if (status == PAM_SUCCESS)
                *password = resp->resp;
            else
                wipe_and_free(resp->resp);
            free(resp);
        }
        if (status == PAM_SUCCESS)
            break;
    }
    return status;
}

}  // namespace

// ---- Exported ---------------------------------------------------------------

extern "C" {

// Names may hold ASCII letters, digits and "_" only; clearing bit 0x20 folds
// lower case onto upper case.
VESNAR_EXPORT int has_invalid_username_chars(const char *s)
{
    if (!s)
        return 1;
    size_t len = strlen(s);
    for (size_t i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        unsigned char upper = c & ~0x20;
        if ((c >= '0' && c <= '9') || c == '_' || (upper >= 'A' && upper <= 'Z'))
            continue;
        return 1;
    }
    return 0;
}

// The number of steps depends on a and n only, never on b or on where the
// first difference lies. The counters are volatile so that the optimiser can
// neither drop nor shorten the steps.
VESNAR_EXPORT bool strn_iseq(const char *a, const char *b, size_t n)
{
    if (!a || !b)
        return false;
    if (n == 0)
        return true;

    volatile size_t i = 0;  // position in a
    volatile size_t j = 0;  // position in b, never past its terminator
    volatile size_t k = 0;  // steps taken after b's end
    int d = 0;
    for (;;) {
        d |= int(static_cast<signed char>(a[i] ^ b[j]));
        if (a[i] == '\0')
            break;
        size_t b_ended = (b[j] == '\0');
        k = k + b_ended;
        j = j + (1 - b_ended);
        i = i + 1;
        if (i >= n || j + k >= n)
            break;
    }
    return d == 0;
}

VESNAR_EXPORT int validate_tamlo_user_pass(const char *user, char *password)
{
    tamlo_buffers buf;
    wipe_on_exit wipe_buf(&buf, sizeof buf);
    memset(&buf, 0, sizeof buf);
    return check_tamlo_password(user, password, &buf);
}

VESNAR_EXPORT int pam_sm_authenticate(pam_handle_t *pamh, int flags, int, const char **)
{
    const char *user = nullptr;
    if (pam_get_user(pamh, &user, nullptr) != PAM_SUCCESS || !user)
        return PAM_SERVICE_ERR;

    const void *item = nullptr;
    if (pam_get_item(pamh, PAM_CONV, &item) != PAM_SUCCESS)
        return PAM_SYSTEM_ERR;
    const pam_conv *conv = static_cast<const pam_conv *>(item);
    if (!conv || !conv->conv)
        return PAM_CONV_ERR;

    char *password = nullptr;
    int status = ask_password(conv, flags, &password);
    if (status != PAM_SUCCESS)
        return status == PAM_CONV_ERR ? PAM_CONV_ERR : PAM_AUTH_ERR;
    if (!password)
        return PAM_AUTH_ERR;

    // Validation cuts the password at its separators: wipe its whole length.
    size_t len = strlen(password);
    int valid = validate_tamlo_user_pass(user, password);
    wipe_and_free(password, len);
    return valid ? PAM_SUCCESS : PAM_AUTH_ERR;
}

VESNAR_EXPORT int pam_sm_setcred(pam_handle_t *, int, int, const char **) { return PAM_SUCCESS; }
VESNAR_EXPORT int pam_sm_acct_mgmt(pam_handle_t *, int, int, const char **) { return PAM_SUCCESS; }
VESNAR_EXPORT int pam_sm_open_session(pam_handle_t *, int, int, const char **) { return PAM_SUCCESS; }
VESNAR_EXPORT int pam_sm_close_session(pam_handle_t *, int, int, const char **) { return PAM_SUCCESS; }
VESNAR_EXPORT int pam_sm_chauthtok(pam_handle_t *, int, int, const char **) { return PAM_SERVICE_ERR; }

}  // extern "C"
