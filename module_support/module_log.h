// One syslog message under a module's own identity, written straight to the
// system logger's socket. The host's openlog() identity, options and facility
// are never touched: glibc keeps one identity per process, and a module that
// borrowed it would leave the host's later lines under the wrong name.
#ifndef VESNAR_MODULE_LOG_H
#define VESNAR_MODULE_LOG_H

#include <stdarg.h>
#include <syslog.h>

// Sends "<pri>Mmm dd hh:mm:ss identity[pid]: text" (facility auth) to
// /dev/log as glibc frames it, one datagram (or one record on a stream
// logger). Control characters in the text are written "#ooo" and a line
// end at its very end is dropped, so that nothing a daemon or a client sent
// can start a line of its own. It never blocks for long and never fails
// visibly: a logger that is missing or stuck loses the message. errno is
// left as it was, so that callers may log between a failure and its report.
__attribute__((format(printf, 3, 0))) void log_under_identity(const char *identity, int priority,
                                                              const char *format, va_list args);

#endif
