// One syslog message under a module's own identity. The log is opened for
// the message and closed after it, so the host's own identity is back at
// once; the callers are the modules' loggers, each with its identity.
#ifndef VESNAR_MODULE_LOG_H
#define VESNAR_MODULE_LOG_H

#include <stdarg.h>
#include <syslog.h>

__attribute__((format(printf, 3, 0))) inline void log_under_identity(const char *identity, int priority,
                                                                      const char *format, va_list args)
{
    openlog(identity, LOG_CONS | LOG_PID, LOG_AUTH);
    vsyslog(priority, format, args);
    closelog();
}

#endif
