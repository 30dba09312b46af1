// A PAM module for the host-state tests' controls, never shipped: it
// borrows the process's state the way a careless module does. Its
// authentication puts in its own SIGALRM action and alarm around a short
// wait and "gives back" what it found; its session logs through openlog.
#include <security/pam_modules.h>

#include <signal.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

namespace {
void on_alarm(int) {}
}  // namespace

extern "C" __attribute__((visibility("default"))) int pam_sm_authenticate(pam_handle_t *, int, int,
                                                                          const char **)
{
    struct sigaction mine, found;
    memset(&mine, 0, sizeof mine);
    mine.sa_handler = on_alarm;
    sigfillset(&mine.sa_mask);
    sigaction(SIGALRM, &mine, &found);
    unsigned left = alarm(1);
    struct timespec wait = {0, 20 * 1000 * 1000};
    nanosleep(&wait, nullptr);
    alarm(0);
    sigaction(SIGALRM, &found, nullptr);
    if (left)
        alarm(left);
    return PAM_IGNORE;
}

extern "C" __attribute__((visibility("default"))) int pam_sm_open_session(pam_handle_t *, int, int,
                                                                          const char **)
{
    openlog("PAM-brud", LOG_CONS | LOG_PID, LOG_AUTH);
    syslog(LOG_ERR, "borrowed the log");
    closelog();
    return PAM_IGNORE;
}
