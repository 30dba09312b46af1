// The process's SIGALRM action and real-time timer, borrowed by pam_brud for
// the waits of one exchange with the daemon and given back exactly.
#ifndef VESNAR_ALARM_H
#define VESNAR_ALARM_H

#include <signal.h>
#include <sys/time.h>
#include <time.h>

// The host's timer as the module found it: read to the microsecond, the
// time it then spent with the module measured on the monotonic clock.
struct alarm_state {
    struct itimerval prev;     // it_value zero: no host alarm was pending
    struct timespec saved_at;  // CLOCK_MONOTONIC when prev was read
    bool host_signal_pending;  // a SIGALRM was already pending: the host's
};

// install() puts in the module's action, arm() starts each stage's timeout,
// restore() (or the destructor) gives both back: the module's timer is
// cancelled and its undelivered SIGALRM taken back, then the host's action
// is reinstalled, and only then is the host's timer re-armed with what it
// has left, so that an overdue host alarm meets its own handler at once.
class borrowed_alarm {
public:
    borrowed_alarm() = default;
    borrowed_alarm(const borrowed_alarm &) = delete;
    borrowed_alarm &operator=(const borrowed_alarm &) = delete;
    ~borrowed_alarm() { restore(); }

    // False when sigaction fails; nothing has changed then.
    bool install();
    // The first stage takes the host's timer; later ones carry it untouched.
    void arm(unsigned seconds);
    // Ends the module's timeout without giving anything back yet, so that a
    // timeout can be logged while the host's alarm cannot end the process.
    void cancel();
    void restore();

    // Whether a timeout has ended, or should end, the stage's wait: the
    // module's alarm went off, or a wait was noted as timed out.
    static bool went_off();
    // A wait that the socket's own timeout ended is a timeout too.
    static void note_timeout();
    // True once for each timeout, so that it is logged once.
    static bool take_timeout();

private:
    struct sigaction host_action_;
    alarm_state state_{};
    bool installed_ = false;
    bool armed_ = false;
    bool cancelled_ = false;
};

#endif
