// Preloaded into the demo's PAM application: there is no system logger in
// the demo's private namespace, so syslog lines go to a file instead.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

static char current_ident[64] = "";

static void append(int priority, const char *format, va_list ap)
{
    const char *path = getenv("DEMO_SYSLOG_FILE");
    if (!path)
        return;
    FILE *f = fopen(path, "ae");
    if (!f)
        return;
    const char *level = (priority & LOG_PRIMASK) == LOG_ERR ? "err" : "info";
    char text[2048];
    vsnprintf(text, sizeof text, format, ap);
    size_t len = strlen(text);
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r'))
        text[--len] = '\0';  // a logger keeps one line per message
    fprintf(f, "auth.%s %s[%d]: %s\n", level, current_ident, (int)getpid(), text);
    fclose(f);
}

// The fortified names that _FORTIFY_SOURCE builds call; <syslog.h>
// declares them only when it is on.
extern "C" void __vsyslog_chk(int priority, int flag, const char *format, va_list ap);
extern "C" void __syslog_chk(int priority, int flag, const char *format, ...);

extern "C" {
// glibc's fortified entry points, which callers built with _FORTIFY_SOURCE
// reach instead of syslog and vsyslog.
void __vsyslog_chk(int priority, int flag, const char *format, va_list ap);
void __syslog_chk(int priority, int flag, const char *format, ...);

void openlog(const char *ident, int, int) { snprintf(current_ident, sizeof current_ident, "%s", ident ? ident : ""); }
void closelog(void) { current_ident[0] = '\0'; }
void vsyslog(int priority, const char *format, va_list ap) { append(priority, format, ap); }
void __vsyslog_chk(int priority, int, const char *format, va_list ap) { append(priority, format, ap); }
void syslog(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    append(priority, format, ap);
    va_end(ap);
}
void __syslog_chk(int priority, int, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    append(priority, format, ap);
    va_end(ap);
}
}
