// pam_suqvo: warns a user whose session opens inside a platform container.
//
// The platform's container library decides whether the calling process runs
// inside a container; when it does, the user sees a boxed banner through the
// PAM conversation. The module never decides anything for the stack: every
// entry point returns PAM_IGNORE, whatever happened. On a container host
// (the marker file exists) it does nothing at all.
#include <security/pam_ext.h>
#include <security/pam_modules.h>

#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>

#include <string_view>

#include "module_log.h"
#include "qvo.h"
#include "suqvo.h"

namespace {

constexpr auto &CONTAINER_MARKER = SUQVO_CONTAINER_MARKER;
constexpr char LOG_IDENTITY[] = "pam_suqvo";

constexpr const char *BANNER[] = {
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
constexpr bool banner_is_boxed()
{
    for (std::string_view line : BANNER)
        if (line.size() != 75 || line.front() != '*' || line.back() != '*')
            return false;
    return true;
}
static_assert(banner_is_boxed(), "every banner line is 75 characters between '*' borders");

__attribute__((format(printf, 2, 3))) void _log(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    log_under_identity(LOG_IDENTITY, priority, format, ap);
    va_end(ap);
}

// Only existence counts, whatever the file type; the content is never read.
bool on_container_host()
{
    struct stat st;
    return stat(CONTAINER_MARKER, &st) == 0;
}

// Each line is its own message. The line is an argument, never the format:
// a "%" in it must reach the user as it is. A line the conversation cannot
// deliver does not stop the rest.
void show_banner(pam_handle_t *pamh)
{
    for (const char *line : BANNER)
        (void)pam_prompt(pamh, PAM_ERROR_MSG, nullptr, "%s", line);
}

}  // namespace

// ---- Exported ---------------------------------------------------------------

extern "C" {

VESNAR_EXPORT void *init_qvotoken(void)
{
    void *token = init_qvo(malloc, free);
    if (!token)
        _log(LOG_ERR, "Unable to initialize check QVO %d", errno);
    return token;
}

VESNAR_EXPORT void destroy_qvotoken(void *token)
{
    if (token)
        destroy_qvo(token);
}

VESNAR_EXPORT int pam_sm_open_session(pam_handle_t *pamh, int, int, const char **)
{
    if (on_container_host())
        return PAM_IGNORE;

    void *token = init_qvotoken();
    if (token && is_in_qvo(token) != 0)
        show_banner(pamh);
    destroy_qvotoken(token);
    return PAM_IGNORE;
}

VESNAR_EXPORT int pam_sm_close_session(pam_handle_t *, int, int, const char **) { return PAM_IGNORE; }

}  // extern "C"
