// Every syslog line written inside a test's sandbox: the test process
// listens on the sandbox's own /dev/log, so the modules' messages and the
// test's own syslog() lines arrive there exactly as a system logger would
// get them.
#ifndef VESNAR_SYSLOG_CAPTURE_H
#define VESNAR_SYSLOG_CAPTURE_H
#include <string>
#include <vector>

// One datagram, "<pri>Mmm dd hh:mm:ss ident[pid]: text", split into its parts.
struct log_event {
    std::string ident;
    int pid = 0;
    int facility = 0;  // as in <syslog.h>: LOG_AUTH, LOG_CRON, ...
    int priority = 0;  // the severity: LOG_ERR, ...
    std::string text;
    std::string raw;   // the whole datagram
    double at = 0;     // monotonic seconds when it was taken from the socket
};

// Starts listening, once (every test process does as it starts); every
// call below does so too.
void start_log_capture();
// Every line that reached /dev/log so far (or since clear_log).
std::vector<log_event> log_events();
void clear_log();
// Texts of the lines written under this module identity, in order; each
// must come from this process at auth.err, as every module message does.
std::vector<std::string> log_messages(const std::string &ident);

#endif
