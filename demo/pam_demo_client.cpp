// The demo's PAM application: one PAM call for a service as /etc/pam.d
// configures it, printing what the user would see and the result by name.
#include "pam_app.h"

#include <stdio.h>
#include <string.h>

#include <string>

namespace {

// The command line; a null item is not set.
struct options {
    const char *service = nullptr, *user = nullptr;
    const char *rhost = nullptr, *tty = nullptr, *ruser = nullptr;
    const char *password = "";
    std::string call = "authenticate";
    int flags = 0;
};

bool parse(int argc, char **argv, options &o)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--silent") {
            o.flags |= PAM_SILENT;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char *v = argv[++i];
        if (a == "--service") o.service = v;
        else if (a == "--user") o.user = v;
        else if (a == "--rhost") o.rhost = v;
        else if (a == "--tty") o.tty = v;
        else if (a == "--ruser") o.ruser = v;
        else if (a == "--password") o.password = v;
        else if (a == "--call") o.call = v;
        else return false;
    }
    return o.service && o.user &&
           (o.call == "authenticate" || o.call == "setcred" || o.call == "open_session");
}

int call(pam_app &app, const options &o)
{
    if (o.call == "setcred")
        return app.setcred(o.flags | PAM_ESTABLISH_CRED);
    if (o.call == "open_session")
        return app.open_session(o.flags);
    return app.authenticate(o.flags);
}

}  // namespace

int main(int argc, char **argv)
{
    options o;
    if (!parse(argc, argv, o)) {
        fprintf(stderr, "usage: %s --service S --user U [--rhost H] [--tty T] [--ruser R]\n"
                        "          [--password P] [--silent] [--call authenticate|setcred|open_session]\n",
                argv[0]);
        return 2;
    }
    pam_app app(o.service);
    app.fallback.text = o.password;
    int rc = app.start(o.user);
    if (rc != PAM_SUCCESS) {
        printf("    pam_start: %s\n", pam_result_name(rc).c_str());
        return 1;
    }
    if (o.rhost) app.set_item(PAM_RHOST, o.rhost);
    if (o.tty) app.set_item(PAM_TTY, o.tty);
    if (o.ruser) app.set_item(PAM_RUSER, o.ruser);
    rc = call(app, o);
    for (auto &m : app.messages) {
        bool prompt = m.style == PAM_PROMPT_ECHO_OFF || m.style == PAM_PROMPT_ECHO_ON;
        printf("    | %s%s\n", m.text.c_str(), prompt ? " (answered)" : "");
    }
    printf("    pam_%s -> %s\n", o.call.c_str(), pam_result_name(rc).c_str());
    return 0;
}
