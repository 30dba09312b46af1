#include "syslog_capture.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <mutex>

namespace {

struct capture {
    std::mutex lock;
    int fd = -1;
    std::vector<log_event> events;
};

capture &state()
{
    static capture c;
    return c;
}

log_event parse(const char *bytes, size_t size)
{
    log_event e;
    e.raw.assign(bytes, size);
    const std::string &d = e.raw;
    size_t close = d.find('>');
    if (d.empty() || d[0] != '<' || close == std::string::npos)
        return e;
    int pri = atoi(d.c_str() + 1);
    e.facility = pri & LOG_FACMASK;
    e.priority = LOG_PRI(pri);
    size_t head = close + 1 + 16;  // "Mmm dd hh:mm:ss "
    size_t colon = d.find(": ", head);
    if (head > d.size() || colon == std::string::npos)
        return e;
    std::string tag = d.substr(head, colon - head);
    size_t bracket = tag.find('[');
    e.ident = tag.substr(0, bracket);
    if (bracket != std::string::npos)
        e.pid = atoi(tag.c_str() + bracket + 1);
    e.text = d.substr(colon + 2);
    if (!e.text.empty() && e.text.back() == '\0')  // a stream logger's line end
        e.text.pop_back();
    return e;
}

double monotonic_seconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// When the kernel queued the datagram, on the monotonic clock: its receive
// stamp is wall-clock time, taken back from now by the time since.
double arrival(struct msghdr *msg)
{
    for (struct cmsghdr *c = CMSG_FIRSTHDR(msg); c; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS)
            continue;
        struct timespec stamp, wall;
        memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        clock_gettime(CLOCK_REALTIME, &wall);
        return monotonic_seconds() - (double(wall.tv_sec - stamp.tv_sec) + double(wall.tv_nsec - stamp.tv_nsec) / 1e9);
    }
    return monotonic_seconds();
}

// Takes every datagram waiting. No thread reads in between (a test's death
// tests fork), so the sandbox's queue is long enough to hold a test's lines.
void drain(capture &c)
{
    char buf[16384];
    char control[CMSG_SPACE(sizeof(struct timespec))];
    for (;;) {
        struct iovec data = {buf, sizeof buf};
        struct msghdr msg = {};
        msg.msg_iov = &data;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n = recvmsg(c.fd, &msg, MSG_DONTWAIT);
        if (n < 0)
            return;
        c.events.push_back(parse(buf, size_t(n)));
        c.events.back().at = arrival(&msg);
    }
}

}  // namespace

void start_log_capture()
{
    capture &c = state();
    std::lock_guard<std::mutex> hold(c.lock);
    if (c.fd >= 0)
        return;
    c.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    if (c.fd < 0 || bind(c.fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 ||
        chmod("/dev/log", 0666) != 0) {
        perror("syslog capture: /dev/log");
        abort();
    }
    int on = 1;
    setsockopt(c.fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

std::vector<log_event> log_events()
{
    start_log_capture();
    capture &c = state();
    std::lock_guard<std::mutex> hold(c.lock);
    drain(c);
    return c.events;
}

void clear_log()
{
    start_log_capture();
    capture &c = state();
    std::lock_guard<std::mutex> hold(c.lock);
    drain(c);
    c.events.clear();
}

std::vector<std::string> log_messages(const std::string &ident)
{
    std::vector<std::string> out;
    for (auto &e : log_events()) {
        if (e.ident != ident)
            continue;
        EXPECT_EQ(e.facility, LOG_AUTH) << e.raw;
        EXPECT_EQ(e.priority, LOG_ERR) << e.raw;
        EXPECT_EQ(e.pid, getpid()) << e.raw;
        out.push_back(e.text);
    }
    return out;
}
