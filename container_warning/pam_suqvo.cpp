// pam_suqvo: warns a user whose session opens inside a platform container.
//
// The platform's container library decides whether the calling process runs
// inside a container; when it does, the user sees a boxed banner through the
// PAM conversation. The module never decides anything for the stack: every
// entry point returns PAM_IGNORE, whatever happened. On a container host
// (the marker file exists) it does nothing at all.
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>

#include <security/pam_ext.h>
#include <security/pam_modules.h>

#include <string_view>

#include "qvo.h"

#define SUQVO_EXPORT extern "C" __attribute__((visibility("default")))

static const char container_marker[] = "/etc/zelvaronix-container";
static const char log_ident[] = "pam_suqvo";

static constexpr const char *banner[] = {
    "***************************************************************************",
    "*                                                                         *",
    "*             !!!!  WARNING: YOU ARE INSIDE QVO !!!!                      *",
    "*IF YOU RESTART ANY SERVICES STABILITY OF YOUR SYSTEM WILL BE COMPROMIZED *",
    "*        CHANGE YOUR USER'S GROUP TO wheel to safely use SU/SUDO          *",
    "*                             MORE INFO:                                  *",
    "*      https://docs.vesnar.example/pam/suqvo                              *",
    "*                                                                         *",
    "***************************************************************************",
};

// The box only lines up on the user's terminal if every line has the same
// width; a miscounted edit of a line must not build.
static constexpr bool banner_is_boxed()
{
    for (std::string_view line : banner)
        if (line.size() != 75 || line.front() != '*' || line.back() != '*')
            return false;
    return true;
}
static_assert(banner_is_boxed(), "every banner line is 75 characters between '*' borders");

// Writes to the log that init_qvotoken opened; it never opens or closes it.
__attribute__((format(printf, 2, 3)))
static void _log(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vsyslog(priority, format, ap);
    va_end(ap);
}

// Only existence counts, whatever the file type; the content is never read.
static bool on_container_host()
{
    struct stat st;
    return stat(container_marker, &st) == 0;
}

// Each line is its own message. The line is an argument, never the format:
// a "%" in it must reach the user as it is. A line the conversation cannot
// deliver does not stop the rest.
static void show_banner(pam_handle_t *pamh)
{
    for (const char *line : banner)
        (void)pam_prompt(pamh, PAM_ERROR_MSG, nullptr, "%s", line);
}

// Opens the log under the module's identity and asks the platform library
// for a token. The log stays open until destroy_qvotoken.
SUQVO_EXPORT void *init_qvotoken(void)
{
    openlog(log_ident, LOG_CONS | LOG_PID, LOG_AUTH);
    void *token = init_qvo(malloc, free);
    if (!token)
        _log(LOG_ERR, "Unable to initialize check QVO %d", errno);
    return token;
}

// Releases a token (null is allowed) and closes the log in every case.
SUQVO_EXPORT void destroy_qvotoken(void *token)
{
    if (token)
        destroy_qvo(token);
    closelog();
}

SUQVO_EXPORT int pam_sm_open_session(pam_handle_t *pamh, int flags, int argc, const char **argv)
{
    (void)flags;
    (void)argc;
    (void)argv;

    if (on_container_host())
        return PAM_IGNORE;

    void *token = init_qvotoken();
    if (token && is_in_qvo(token) != 0)
        show_banner(pamh);
    destroy_qvotoken(token);
    return PAM_IGNORE;
}

SUQVO_EXPORT int pam_sm_close_session(pam_handle_t *pamh, int flags, int argc, const char **argv)
{
    (void)pamh;
    (void)flags;
    (void)argc;
    (void)argv;
    return PAM_IGNORE;
}
