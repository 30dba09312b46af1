#include "module_log.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "descriptor.h"

namespace {

constexpr char LOG_SOCKET[] = "/dev/log";
// Room for the longest message the modules write: a path of 4096 bytes or a
// reply of 1024, with its fixed text and the header.
constexpr size_t LINE_SIZE = 8192;
// The longest a message may wait for room in a full logger queue.
constexpr int FULL_QUEUE_WAIT_MS = 50;

constexpr const char *MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// "<35>Dec  9 15:16:26 PAM-brud[123]: ": the local time in the C locale, as
// glibc's syslog() writes it, whatever the host's locale is.
int format_header(char *line, const char *identity, int priority)
{
    int pri = LOG_AUTH | LOG_PRI(priority);
    time_t now = time(nullptr);
    struct tm tm;
    if (!localtime_r(&now, &tm))
        return snprintf(line, LINE_SIZE, "<%d>%s[%d]: ", pri, identity, int(getpid()));
    return snprintf(line, LINE_SIZE, "<%d>%s %2d %02d:%02d:%02d %s[%d]: ", pri, MONTHS[tm.tm_mon],
                    tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, identity, int(getpid()));
}

// A connected socket to the logger, datagram first; a logger that listens
// on a stream socket takes the same line with a NUL after it.
int connect_logger(int type)
{
    unique_fd fd(socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0)
        return -1;
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, LOG_SOCKET, sizeof LOG_SOCKET);
    if (connect(fd.get(), reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0)
        return -1;
    return fd.release();
}

// One try, and one more after a short wait when the logger's queue is full.
void send_line(int fd, const char *line, size_t size)
{
    if (send(fd, line, size, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0 || errno != EAGAIN)
        return;
    struct pollfd ready = {fd, POLLOUT, 0};
    if (poll(&ready, 1, FULL_QUEUE_WAIT_MS) > 0)
        send(fd, line, size, MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace

void log_under_identity(const char *identity, int priority, const char *format, va_list args)
{
    int saved_errno = errno;
    char line[LINE_SIZE];
    int header = format_header(line, identity, priority);
    if (header > 0 && size_t(header) < LINE_SIZE) {
        vsnprintf(line + header, LINE_SIZE - size_t(header), format, args);
        size_t size = strlen(line);
        int fd = connect_logger(SOCK_DGRAM);
        if (fd < 0 && errno == EPROTOTYPE) {
            fd = connect_logger(SOCK_STREAM);
            size++;  // the NUL that ends a line on a stream
        }
        unique_fd logger(fd);
        if (logger.get() >= 0)
            send_line(logger.get(), line, size);
    }
    errno = saved_errno;
}
