// vesnar-pam-check: whether each module will work in this host, and why
// not. The pieces of the program: the result lines, the log sink that takes
// the modules' messages instead of syslog, and the checks.
#ifndef VESNAR_CHECK_H
#define VESNAR_CHECK_H

#include <stddef.h>
#include <stdio.h>

enum check_level { CHECK_OK, CHECK_WARN, CHECK_FAIL };

// ---- Result lines (check_report.cpp) ---------------------------------------

// One line "<level> <module> <check>: <detail>"; the texts are copied.
__attribute__((format(printf, 4, 5))) void report_line(check_level level, const char *module,
                                                       const char *check, const char *format, ...);
bool report_failed();
// Every line so far, as text (control characters escaped) or as one JSON
// document; then the lines are forgotten.
void print_report(FILE *out, bool json);

// ---- The modules' messages (check_log.cpp) ----------------------------------

// A message the module code wrote, with the errno it was written under.
struct captured_message {
    char text[1536];
    int error;
    bool has_fields;  // its format carries a text of its own (a reply, a path)
    double at_ms;
};

// Milliseconds on the monotonic clock.
double now_ms();
void forget_captured();
size_t captured_count();
const captured_message *captured(size_t i);

// How many stages connect_brud passed, and when each ended.
size_t stages_passed();
double stage_at(size_t i);

// ---- The checks ------------------------------------------------------------

// host_checks.cpp
void check_brud();
void check_tamlo(const char *account, const char *session_user);
void check_suqvo();
void check_selinux(const char *account, const char *session_user);
// pam_tamlo's key file for an account and session user.
void tamlo_key_path(const char *account, const char *session_user, char *path, size_t size);

// pam_stack.cpp: each service's auth stack as libpam runs it; all of
// /etc/pam.d when count is 0.
void check_stacks(char *const *services, int count);

#endif
