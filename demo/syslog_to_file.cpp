// The demo's system logger: listens on the sandbox's private /dev/log and
// appends each line to a file, "auth.err PAM-brud[123]: text", the way a
// logger would keep it. Started by the scenes, stopped by its PID.
//
//   syslog_to_file FILE
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// "<35>Dec  9 15:16:26 PAM-brud[123]: text" without its priority and time.
void append(const char *path, char *datagram)
{
    char *end = strchr(datagram, '>');
    if (datagram[0] != '<' || !end || strlen(end + 1) < 16)
        return;
    int pri = atoi(datagram + 1);
    char *line = end + 1 + 16;
    size_t len = strlen(line);
    while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r'))
        line[--len] = '\0';  // a logger keeps one line per message
    FILE *f = fopen(path, "ae");
    if (!f)
        return;
    fprintf(f, "auth.%s %s\n", LOG_PRI(pri) == LOG_ERR ? "err" : "info", line);
    fclose(f);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    unlink(addr.sun_path);
    if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 ||
        chmod(addr.sun_path, 0666) != 0) {
        perror("syslog_to_file: /dev/log");
        return 1;
    }
    char buf[16384];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf - 1, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return 1;
        buf[n] = '\0';
        append(argv[1], buf);
    }
}
