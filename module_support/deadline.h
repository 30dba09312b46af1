// Waits that end at a deadline on the monotonic clock, taken when the wait's
// budget starts. A signal of the host's that interrupts a wait only means
// waiting again for the time left; nothing of the process is borrowed.
#ifndef VESNAR_DEADLINE_H
#define VESNAR_DEADLINE_H

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

class deadline {
public:
    explicit deadline(time_t seconds, long nanoseconds = 0)
    {
        clock_gettime(CLOCK_MONOTONIC, &at_);
        at_.tv_sec += seconds;
        at_.tv_nsec += nanoseconds;
        if (at_.tv_nsec >= NS_PER_SECOND) {
            at_.tv_sec++;
            at_.tv_nsec -= NS_PER_SECOND;
        }
    }

    // The time left in *left; false once there is none.
    bool time_left(struct timespec *left) const
    {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        left->tv_sec = at_.tv_sec - now.tv_sec;
        left->tv_nsec = at_.tv_nsec - now.tv_nsec;
        if (left->tv_nsec < 0) {
            left->tv_sec--;
            left->tv_nsec += NS_PER_SECOND;
        }
        return left->tv_sec > 0 || (left->tv_sec == 0 && left->tv_nsec > 0);
    }

    static constexpr long NS_PER_SECOND = 1000 * 1000 * 1000;

private:
    struct timespec at_;
};

// Waits until fd is ready for `events`, for the time left. A call that
// fails with ETIMEDOUT ran out of time.
inline bool wait_ready(int fd, short events, const deadline &by)
{
    for (;;) {
        struct timespec left;
        if (!by.time_left(&left)) {
            errno = ETIMEDOUT;
            return false;
        }
        struct pollfd ready = {fd, events, 0};
        int n = ppoll(&ready, 1, &left, nullptr);
        if (n > 0)
            return true;  // ready, or an error that the call itself reports
        if (n < 0 && errno != EINTR)
            return false;
    }
}

// Sends all `size` bytes on a non-blocking socket, however many sends it
// takes, waiting for room until the deadline; -1 when they could not all go.
// MSG_NOSIGNAL: a peer that has gone away must not kill the host.
inline ssize_t send_all(int fd, const char *bytes, size_t size, const deadline &by)
{
    size_t sent = 0;
    while (sent < size) {
        ssize_t n = send(fd, bytes + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return -1;
        if (!wait_ready(fd, POLLOUT, by))
            return -1;
    }
    return ssize_t(sent);
}

#endif
