// pam_brud's timeouts. The SIGALRM action and the real-time timer belong to
// the whole process; while the module waits on the daemon they are its own,
// and on every way out the host's are put back as they were.
#include "alarm.h"

#include <stdint.h>
#include <string.h>

namespace {

// The handler only notes that the alarm went off: syslog is not safe in
// signal context, so the caller logs the note once the wait has ended.
volatile sig_atomic_t alarm_fired = 0;

void handle_sigalrm(int) { alarm_fired = 1; }

bool sigalrm_pending()
{
    sigset_t pending;
    return sigpending(&pending) == 0 && sigismember(&pending, SIGALRM) == 1;
}

struct itimerval timer_of(unsigned seconds)
{
    struct itimerval timer = {};
    timer.it_value.tv_sec = seconds;
    return timer;
}

// Arms the module's timeout, taking the host's timer in its place.
void set_alarm(alarm_state *st, unsigned seconds)
{
    struct itimerval ours = timer_of(seconds);
    alarm_fired = 0;
    st->host_signal_pending = sigalrm_pending();
    // The clock is read before the timer, as reset_alarm reads it before
    // re-arming: the two system calls' own time then cancels out.
    clock_gettime(CLOCK_MONOTONIC, &st->saved_at);
    setitimer(ITIMER_REAL, &ours, &st->prev);
}

// A SIGALRM of the module's that could not reach a thread (the host blocks
// it) is taken back, so the host never receives it; one that was pending
// before the module armed its timer is the host's and stays.
void take_back_module_signal(const alarm_state *st)
{
    if (st->host_signal_pending || !sigalrm_pending())
        return;
    sigset_t only_alarm;
    sigemptyset(&only_alarm);
    sigaddset(&only_alarm, SIGALRM);
    struct timespec no_wait = {};
    sigtimedwait(&only_alarm, nullptr, &no_wait);
}

// Cancels the module's timeout.
void cancel_alarm(const alarm_state *st)
{
    struct itimerval none = {};
    setitimer(ITIMER_REAL, &none, nullptr);
    take_back_module_signal(st);
}

// Gives the host's timer back with what it has left, its period unchanged.
// One that came due meanwhile goes off at once: "a second later", again at
// every call, would put it off without end.
void reset_alarm(const alarm_state *st)
{
    if (st->prev.it_value.tv_sec == 0 && st->prev.it_value.tv_usec == 0)
        return;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t spent_ns = (int64_t(now.tv_sec) - st->saved_at.tv_sec) * 1000000000 +
                       (int64_t(now.tv_nsec) - st->saved_at.tv_nsec);
    // The kernel reports the host's timer cut to the microsecond: on
    // average half a microsecond more was left.
    int64_t had_ns = (int64_t(st->prev.it_value.tv_sec) * 1000000 + st->prev.it_value.tv_usec) * 1000 + 500;
    int64_t left_us = (had_ns - spent_ns + 500) / 1000;
    if (left_us <= 0)
        left_us = 1;
    struct itimerval host = st->prev;
    host.it_value.tv_sec = time_t(left_us / 1000000);
    host.it_value.tv_usec = suseconds_t(left_us % 1000000);
    setitimer(ITIMER_REAL, &host, nullptr);
}

}  // namespace

// The module's action: no SA_RESTART, so an alarm ends a blocking call with
// EINTR; every signal blocked while the handler runs.
bool borrowed_alarm::install()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handle_sigalrm;
    sigfillset(&action.sa_mask);
    action.sa_flags = 0;
    installed_ = sigaction(SIGALRM, &action, &host_action_) == 0;
    return installed_;
}

void borrowed_alarm::arm(unsigned seconds)
{
    cancelled_ = false;
    if (!armed_) {
        set_alarm(&state_, seconds);
        armed_ = true;
        return;
    }
    // The new timeout replaces the old one. The host's timer is not re-armed
    // here: an overdue host alarm would fire into the module's handler and be
    // lost, so its time carries in state_ to the restore.
    struct itimerval ours = timer_of(seconds);
    setitimer(ITIMER_REAL, &ours, nullptr);
    take_back_module_signal(&state_);
}

void borrowed_alarm::cancel()
{
    if (armed_ && !cancelled_)
        cancel_alarm(&state_);
    cancelled_ = true;
}

void borrowed_alarm::restore()
{
    cancel();
    if (installed_)
        sigaction(SIGALRM, &host_action_, nullptr);
    if (armed_)
        reset_alarm(&state_);
    armed_ = installed_ = cancelled_ = false;
}

bool borrowed_alarm::went_off() { return alarm_fired != 0; }

void borrowed_alarm::note_timeout() { alarm_fired = 1; }

bool borrowed_alarm::take_timeout()
{
    if (!alarm_fired)
        return false;
    alarm_fired = 0;
    return true;
}
