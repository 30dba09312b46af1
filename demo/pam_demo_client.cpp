// A small PAM application for the demo: runs one PAM call for a service and
// prints what a user would see and the result by name.
#include <security/pam_appl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

struct options {
    const char *service = nullptr;
    const char *user = nullptr;
    const char *rhost = nullptr;
    const char *tty = nullptr;
    const char *ruser = nullptr;
    const char *password = "";
    const char *call = "authenticate";
    int flags = 0;
};

static const char *result_name(int code)
{
    switch (code) {
    case PAM_SUCCESS: return "PAM_SUCCESS";
    case PAM_SERVICE_ERR: return "PAM_SERVICE_ERR";
    case PAM_SYSTEM_ERR: return "PAM_SYSTEM_ERR";
    case PAM_PERM_DENIED: return "PAM_PERM_DENIED";
    case PAM_AUTH_ERR: return "PAM_AUTH_ERR";
    case PAM_USER_UNKNOWN: return "PAM_USER_UNKNOWN";
    case PAM_CONV_ERR: return "PAM_CONV_ERR";
    case PAM_IGNORE: return "PAM_IGNORE";
    case PAM_ABORT: return "PAM_ABORT";
    default: return "another PAM result";
    }
}

static int converse(int n, const pam_message **msg, pam_response **resp, void *data)
{
    const char *password = static_cast<const char *>(data);
    auto *out = static_cast<pam_response *>(calloc(n, sizeof(pam_response)));
    if (!out)
        return PAM_BUF_ERR;
    for (int i = 0; i < n; i++) {
        switch (msg[i]->msg_style) {
        case PAM_PROMPT_ECHO_OFF:
        case PAM_PROMPT_ECHO_ON:
            printf("    | %s (answered)\n", msg[i]->msg);
            out[i].resp = strdup(password);
            break;
        default:
            printf("    | %s\n", msg[i]->msg);
        }
    }
    *resp = out;
    return PAM_SUCCESS;
}

static bool parse(int argc, char **argv, options &o)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--silent") { o.flags |= PAM_SILENT; continue; }
        if (!v)
            return false;
        if (a == "--service") o.service = v;
        else if (a == "--user") o.user = v;
        else if (a == "--rhost") o.rhost = v;
        else if (a == "--tty") o.tty = v;
        else if (a == "--ruser") o.ruser = v;
        else if (a == "--password") o.password = v;
        else if (a == "--call") o.call = v;
        else return false;
        i++;
    }
    return o.service && o.user;
}

int main(int argc, char **argv)
{
    options o;
    if (!parse(argc, argv, o)) {
        fprintf(stderr, "usage: %s --service S --user U [--rhost H] [--tty T] [--ruser R]\n"
                        "          [--password P] [--silent] [--call authenticate|setcred|open_session]\n", argv[0]);
        return 2;
    }
    pam_conv conv = {converse, const_cast<char *>(o.password)};
    pam_handle_t *pamh = nullptr;
    int rc = pam_start(o.service, o.user, &conv, &pamh);
    if (rc != PAM_SUCCESS) {
        printf("    pam_start: %s\n", result_name(rc));
        return 1;
    }
    if (o.rhost) pam_set_item(pamh, PAM_RHOST, o.rhost);
    if (o.tty) pam_set_item(pamh, PAM_TTY, o.tty);
    if (o.ruser) pam_set_item(pamh, PAM_RUSER, o.ruser);
    std::string call = o.call;
    if (call == "authenticate") rc = pam_authenticate(pamh, o.flags);
    else if (call == "setcred") rc = pam_setcred(pamh, o.flags | PAM_ESTABLISH_CRED);
    else if (call == "open_session") rc = pam_open_session(pamh, o.flags);
    else { fprintf(stderr, "unknown call %s\n", o.call); return 2; }
    printf("    pam_%s -> %s\n", o.call, result_name(rc));
    pam_end(pamh, rc);
    return 0;
}
