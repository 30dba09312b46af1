#include "module_log.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "deadline.h"
#include "descriptor.h"
#include "log_text.h"

namespace {

constexpr char LOG_SOCKET[] = "/dev/log";
// Room for the longest message the modules write: a path of 4096 bytes or a
// reply of 1024, with its fixed text and the header.
constexpr size_t LINE_SIZE = 8192;
// The longest a message may wait for room in a full logger queue.
constexpr long FULL_QUEUE_WAIT_NS = 50 * 1000 * 1000;

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

}  // namespace

void log_under_identity(const char *identity, int priority, const char *format, va_list args)
{
    int saved_errno = errno;
    char line[LINE_SIZE];
    int header = format_header(line, identity, priority);
    if (header > 0 && size_t(header) < LINE_SIZE) {
        size_t room = LINE_SIZE - size_t(header);
        vsnprintf(line + header, room, format, args);
        size_t size = size_t(header) + escape_controls(line + header, room);
        int fd = connect_logger(SOCK_DGRAM);
        if (fd < 0 && errno == EPROTOTYPE) {
            fd = connect_logger(SOCK_STREAM);
            size++;  // the NUL that ends a record on a stream
        }
        unique_fd logger(fd);
        // One datagram, or one stream record whole with its NUL; a full
        // queue is waited for at most FULL_QUEUE_WAIT_NS in all.
        if (logger.get() >= 0)
            send_all(logger.get(), line, size, deadline(0, FULL_QUEUE_WAIT_NS));
    }
    errno = saved_errno;
}
