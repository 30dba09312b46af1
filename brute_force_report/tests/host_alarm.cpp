#include "host_alarm.h"

#include "brud_harness.h"

#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

volatile sig_atomic_t host_alarms = 0;
test_clock::time_point host_alarm_at;

namespace {

void host_handler(int)
{
    host_alarm_at = test_clock::now();  // steady_clock reads clock_gettime: signal-safe
    host_alarms = host_alarms + 1;
}

}  // namespace

void install_host_handler()
{
    struct sigaction act;
    memset(&act, 0, sizeof act);
    act.sa_handler = host_handler;
    sigemptyset(&act.sa_mask);
    sigaddset(&act.sa_mask, SIGUSR1);
    act.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &act, nullptr);
}

bool host_handler_in_force()
{
    struct sigaction now;
    sigaction(SIGALRM, nullptr, &now);
    return now.sa_handler == host_handler && (now.sa_flags & SA_RESTART) &&
           sigismember(&now.sa_mask, SIGUSR1) && !sigismember(&now.sa_mask, SIGTERM);
}

void expect_host_handler_in_force() { EXPECT_TRUE(host_handler_in_force()); }

bool host_alarm_fires_within(double limit)
{
    auto start = test_clock::now();
    while (!host_alarms && seconds_since(start) < limit)
        usleep(10000);
    return host_alarms > 0;
}
