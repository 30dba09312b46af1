// The host's own SIGALRM handling, as the pam_brud tests play it: a handler
// that counts its calls and notes when it last ran.
#ifndef VESNAR_HOST_ALARM_H
#define VESNAR_HOST_ALARM_H

#include <signal.h>

#include <chrono>

using test_clock = std::chrono::steady_clock;

inline double seconds_since(test_clock::time_point start)
{
    return std::chrono::duration<double>(test_clock::now() - start).count();
}

extern volatile sig_atomic_t host_alarms;
extern test_clock::time_point host_alarm_at;  // when the handler last ran

// The host's action: SA_RESTART and SIGUSR1 in its mask, so that it can be
// told from the module's.
void install_host_handler();
bool host_handler_in_force();
void expect_host_handler_in_force();
// Waits up to `limit` seconds for the handler to run.
bool host_alarm_fires_within(double limit);

#endif
