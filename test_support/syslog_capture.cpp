#include "syslog_capture.h"

#include <errno.h>
#include <poll.h>
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
#include <thread>

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

// Takes every datagram waiting; the caller holds the lock, so a line sent
// before a reader looks is always among what it sees.
void drain(capture &c)
{
    char buf[16384];
    for (;;) {
        ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0)
            return;
        c.events.push_back(parse(buf, size_t(n)));
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        c.events.back().at = double(now.tv_sec) + double(now.tv_nsec) / 1e9;
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
    // Keeps the queue short between two looks, so that a burst of messages
    // from many threads is not dropped by senders that never wait.
    std::thread([&c] {
        for (;;) {
            struct pollfd ready = {c.fd, POLLIN, 0};
            if (poll(&ready, 1, -1) < 0 && errno != EINTR)
                return;
            std::lock_guard<std::mutex> hold_events(c.lock);
            drain(c);
        }
    }).detach();
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
