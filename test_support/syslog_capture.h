// The test executables define the syslog functions themselves and export
// them, so a module loaded into the test binds to these and every message
// it writes is recorded here instead of reaching a system logger.
#ifndef VESNAR_SYSLOG_CAPTURE_H
#define VESNAR_SYSLOG_CAPTURE_H
#include <string>
#include <vector>

struct log_event {
    enum kind_t { open, message, close } kind;
    std::string ident;   // identity in force (for message: of the open log)
    int option = 0;
    int facility = 0;
    int priority = 0;    // message only
    std::string text;    // message only
    bool log_open = false;  // message only: was openlog in force
};

std::vector<log_event> &log_events();
void clear_log();
// Texts of the messages written under this identity, in order.
std::vector<std::string> log_messages(const std::string &ident);

#endif
