#include "syslog_capture.h"

#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

namespace {
struct log_state {
    bool open = false;
    std::string ident;
    int option = 0;
    int facility = LOG_USER;
    std::vector<log_event> events;
};

log_state &state()
{
    static log_state s;
    return s;
}

void record(int priority, const char *format, va_list ap)
{
    char text[4096];
    vsnprintf(text, sizeof text, format, ap);
    log_state &s = state();
    log_event e{log_event::message, s.ident, s.option, s.facility, priority, text, s.open};
    s.events.push_back(e);
}
}  // namespace

std::vector<log_event> &log_events() { return state().events; }
void clear_log() { state().events.clear(); }

std::vector<std::string> log_messages(const std::string &ident)
{
    std::vector<std::string> out;
    for (auto &e : state().events)
        if (e.kind == log_event::message && e.ident == ident)
            out.push_back(e.text);
    return out;
}

// The fortified names that _FORTIFY_SOURCE builds call; <syslog.h>
// declares them only when it is on.
extern "C" void __vsyslog_chk(int priority, int flag, const char *format, va_list ap);
extern "C" void __syslog_chk(int priority, int flag, const char *format, ...);

extern "C" {
__attribute__((visibility("default"))) void openlog(const char *ident, int option, int facility)
{
    log_state &s = state();
    s.open = true;
    s.ident = ident ? ident : "";
    s.option = option;
    s.facility = facility;
    s.events.push_back({log_event::open, s.ident, option, facility, 0, "", true});
}

__attribute__((visibility("default"))) void closelog(void)
{
    log_state &s = state();
    s.events.push_back({log_event::close, s.ident, s.option, s.facility, 0, "", s.open});
    s.open = false;
    s.ident.clear();
}

__attribute__((visibility("default"))) void vsyslog(int priority, const char *format, va_list ap)
{
    record(priority, format, ap);
}

__attribute__((visibility("default"))) void syslog(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    record(priority, format, ap);
    va_end(ap);
}

__attribute__((visibility("default"))) void __vsyslog_chk(int priority, int, const char *format, va_list ap)
{
    record(priority, format, ap);
}

__attribute__((visibility("default"))) void __syslog_chk(int priority, int, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    record(priority, format, ap);
    va_end(ap);
}
}
