// pam_tamlo: authenticates session users of the hosting platform.  The
// password has the form tamlo_<session user>_<token>; it is accepted when the
// token equals the key that the platform keeps for the account and that
// session user.  The other entry points give fixed answers.
#include <security/pam_modules.h>

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#define TAMLO_EXPORT extern "C" __attribute__((visibility("default")))

extern "C" {
__attribute__((visibility("default"))) const char *pam_tamlo_version = "tamlo_version_1.1";
}

static const char tamlo_key_dir[] = "/var/vesnar/tamlo/keys";

enum {
    tamlo_min_password = 9,
    tamlo_max_password = 272,
    tamlo_session_user_max = 10,
    tamlo_key_max = 255,
    tamlo_path_max = 4096,
    tamlo_conv_attempts = 3,
};

// Working storage of one validation.  Every buffer holds part of the
// password or of the key, so all of it is wiped before the call returns.
struct tamlo_buffers {
    char session_user[tamlo_session_user_max + 1];
    char key[tamlo_key_max + 1];
    char path[tamlo_path_max];
};

__attribute__((format(printf, 2, 3)))
static void syslog_error(int priority, const char *format, ...)
{
    va_list ap;

    openlog("PAM-tamlo", LOG_CONS | LOG_PID, LOG_AUTH);
    va_start(ap, format);
    vsyslog(priority, format, ap);
    va_end(ap);
    closelog();
}

static void wipe_and_free(char *secret)
{
    if (secret == NULL)
        return;
    explicit_bzero(secret, strlen(secret));
    free(secret);
}

// Names may hold ASCII letters, digits and "_" only; clearing bit 0x20 folds
// lower case onto upper case.  Returns 1 when the name fails.
TAMLO_EXPORT int has_invalid_username_chars(const char *s)
{
    if (s == NULL)
        return 1;
    size_t len = strlen(s);
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)s[i];
        if (c >= '0' && c <= '9')
            continue;
        if (c == '_')
            continue;
        unsigned char upper = c & ~0x20;
        if (upper >= 'A' && upper <= 'Z')
            continue;
        return 1;
    }
    return 0;
}

// Constant-time equality of a (the supplied token) and b (the stored key):
// the number of steps depends on a and n only.  The counters are volatile so
// that the optimiser can neither drop nor shorten the steps.
TAMLO_EXPORT bool strn_iseq(const char *a, const char *b, size_t n)
{
    if (a == NULL || b == NULL)
        return false;
    if (n == 0)
        return true;

    volatile size_t i = 0;  // position in a
    volatile size_t j = 0;  // position in b, never past its terminator
    volatile size_t k = 0;  // steps taken after b's end
    int d = 0;
    for (;;) {
        d |= (int)(signed char)(a[i] ^ b[j]);
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

// Reads the key file into buf->key (zero-filled, so always terminated).
// Returns the number of bytes read, or -1 when the file cannot be opened.
static int read_key_file(struct tamlo_buffers *buf)
{
    // Close-on-exec, so a helper that the host starts never inherits it;
    // unbuffered, so no stdio buffer on the heap is left holding the key.
    FILE *f = fopen(buf->path, "re");
    if (f == NULL)
        return -1;
    setvbuf(f, NULL, _IONBF, 0);
    size_t got = fread(buf->key, 1, tamlo_key_max, f);
    fclose(f);
    return (int)got;
}

static int check_tamlo_password(const char *user, char *password, struct tamlo_buffers *buf)
{
    if (has_invalid_username_chars(user)) {
        syslog_error(LOG_ERR, "user has invalid characters.");
        return 0;
    }

    // A missing password is measured as empty.
    size_t len = password ? strnlen(password, tamlo_max_password + 1) : 0;
    if (len < tamlo_min_password) {
        syslog_error(LOG_ERR, "Password shorter than expected. The format of the password requires "
                     "at least 9 characters, but only %d were seen.", (int)len);
        return 0;
    }
    if (len > tamlo_max_password) {
        syslog_error(LOG_ERR, "Password longer than expected. The format of the password supports "
                     "at most %d characters, but more than this were given.", tamlo_max_password);
        return 0;
    }

    char *rest = password;
    const char *prefix = strsep(&rest, "_");
    if (rest == NULL) {
        syslog_error(LOG_ERR, "Expected tamlo_ in password missing.");
        return 0;
    }
    if (strcmp(prefix, "tamlo") != 0) {
        syslog_error(LOG_ERR, "Password does not start with tamlo_.");
        return 0;
    }
    const char *session_user = strsep(&rest, "_");
    if (rest == NULL) {
        syslog_error(LOG_ERR, "Expected tamlo_ user in password missing.");
        return 0;
    }
    const char *token = rest;

    // Only the first ten characters name the key file; the rest is ignored.
    memcpy(buf->session_user, session_user, strnlen(session_user, tamlo_session_user_max));
    if (has_invalid_username_chars(buf->session_user)) {
        syslog_error(LOG_ERR, "tamlo_ user has invalid characters.");
        return 0;
    }

    // A path too long for the buffer is cut short; its file name is then far
    // beyond NAME_MAX, so the open below fails rather than naming another file.
    snprintf(buf->path, tamlo_path_max - 1, "%s/%s:tamlo_%s", tamlo_key_dir, user, buf->session_user);
    int got = read_key_file(buf);
    if (got < 0) {
        syslog_error(LOG_ERR, "failed opening: %s for password", buf->path);
        return 0;
    }
    // A key that ends at its first byte is no key: it would let an empty
    // token in.
    if (got == 0 || buf->key[0] == '\0') {
        syslog_error(LOG_ERR, "No password file found for user: %s, tamlo_user: %s", user,
                     buf->session_user);
        return 0;
    }

    if (!strn_iseq(token, buf->key, tamlo_key_max)) {
        syslog_error(LOG_ERR, "failed tamlo auth for user: %s with tamlouser: %s", user,
                     buf->session_user);
        return 0;
    }
    return 1;
}

TAMLO_EXPORT int validate_tamlo_user_pass(const char *user, char *password)
{
    struct tamlo_buffers buf;
    memset(&buf, 0, sizeof buf);
    int valid = check_tamlo_password(user, password, &buf);
    explicit_bzero(&buf, sizeof buf);
    return valid;
}

// Asks for the password, retrying only when the conversation itself fails.
// On success *password is the response text (possibly null), owned by the
// caller; otherwise the last conversation result is returned.
static int ask_password(const struct pam_conv *conv, int flags, char **password)
{
    struct pam_message msg;
    msg.msg_style = PAM_PROMPT_ECHO_OFF;
    msg.msg = (flags & PAM_SILENT) ? "" : "Password:";
    const struct pam_message *msgs[1] = {&msg};

    int status = PAM_CONV_ERR;
    for (int attempt = 0; attempt < tamlo_conv_attempts; attempt++) {
        struct pam_response *resp = NULL;
        status = conv->conv(1, msgs, &resp, conv->appdata_ptr);
        if (resp != NULL) {
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

// PAM entry points.

TAMLO_EXPORT int pam_sm_authenticate(pam_handle_t *pamh, int flags, int argc, const char **argv)
{
    (void)argc;
    (void)argv;

    const char *user = NULL;
    if (pam_get_user(pamh, &user, NULL) != PAM_SUCCESS || user == NULL)
        return PAM_SERVICE_ERR;

    const void *item = NULL;
    if (pam_get_item(pamh, PAM_CONV, &item) != PAM_SUCCESS)
        return PAM_SYSTEM_ERR;
    const struct pam_conv *conv = (const struct pam_conv *)item;
    if (conv == NULL || conv->conv == NULL)
        return PAM_CONV_ERR;

    char *password = NULL;
    int status = ask_password(conv, flags, &password);
    if (status != PAM_SUCCESS)
        return status == PAM_CONV_ERR ? PAM_CONV_ERR : PAM_AUTH_ERR;
    if (password == NULL)
        return PAM_AUTH_ERR;

    // Validation cuts the password at its separators; wipe all of it.
    size_t len = strlen(password);
    int valid = validate_tamlo_user_pass(user, password);
    explicit_bzero(password, len);
    free(password);
    return valid ? PAM_SUCCESS : PAM_AUTH_ERR;
}

TAMLO_EXPORT int pam_sm_setcred(pam_handle_t *pamh, int flags, int argc, const char **argv)
{
    (void)pamh, (void)flags, (void)argc, (void)argv;
    return PAM_SUCCESS;
}

TAMLO_EXPORT int pam_sm_acct_mgmt(pam_handle_t *pamh, int flags, int argc, const char **argv)
{
    (void)pamh, (void)flags, (void)argc, (void)argv;
    return PAM_SUCCESS;
}

TAMLO_EXPORT int pam_sm_open_session(pam_handle_t *pamh, int flags, int argc, const char **argv)
{
    (void)pamh, (void)flags, (void)argc, (void)argv;
    return PAM_SUCCESS;
}

TAMLO_EXPORT int pam_sm_close_session(pam_handle_t *pamh, int flags, int argc, const char **argv)
{
    (void)pamh, (void)flags, (void)argc, (void)argv;
    return PAM_SUCCESS;
}

TAMLO_EXPORT int pam_sm_chauthtok(pam_handle_t *pamh, int flags, int argc, const char **argv)
{
    (void)pamh, (void)flags, (void)argc, (void)argv;
    return PAM_SERVICE_ERR;
}
