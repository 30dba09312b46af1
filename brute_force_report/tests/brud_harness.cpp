#include "brud_harness.h"
#include "report_member.h"

#include "sandbox.h"
#include "syslog_capture.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

void enable_brud(const std::string &key)
{
    write_file(FLAG_FILE, "");
    write_file(KEY_FILE, key + "\n", 0600);
    make_dirs("/var/run");
}

static int record_counter = 0;

brud_daemon::brud_daemon(const std::vector<std::string> &args)
    : record_("/tmp/brud-record-" + std::to_string(getpid()) + "-" + std::to_string(++record_counter))
{
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        perror("pipe2");
        abort();
    }
    std::vector<std::string> all = {BRUD_DAEMON_PATH, "--ready-fd", "3", "--record", record_};
    all.insert(all.end(), args.begin(), args.end());
    pid_ = fork();
    if (pid_ == 0) {
        // The daemon goes when the test process goes, however it ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // dup2 clears close-on-exec on the copy.
        if (ready[1] == 3)
            fcntl(3, F_SETFD, 0);
        else
            dup2(ready[1], 3);
        std::vector<char *> argv;
        for (auto &a : all)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(ready[1]);
    char byte = 0;
    struct pollfd p = {ready[0], POLLIN, 0};
    bool up = poll(&p, 1, 20000) == 1 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    if (!up) {
        fprintf(stderr, "brud_daemon did not start\n");
        abort();
    }
}

brud_daemon::~brud_daemon() { stop(); }

void brud_daemon::stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string brud_daemon::received() const { return read_file(record_); }

double brud_daemon::last_line_at() const
{
    struct stat st;
    if (stat(record_.c_str(), &st) != 0)
        return 0;
    return double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9;
}

std::vector<std::string> brud_daemon::lines() const
{
    std::vector<std::string> out;
    std::string all = received();
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        end = end == std::string::npos ? all.size() : end + 1;
        out.push_back(all.substr(start, end - start));
        start = end;
    }
    return out;
}

std::string member(const std::string &report, const std::string &key)
{
    std::string text = report_member(report, key);
    return text.empty() ? "(missing)" : text;
}

std::vector<std::string> brud_log() { return log_messages("PAM-brud"); }

full_backlog::full_backlog()
{
    unlink(SOCKET_PATH.c_str());
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, SOCKET_PATH.c_str());
    auto *address = reinterpret_cast<sockaddr *>(&addr);
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    filler_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    // Control: a third connection finds the queue full.
    if (bind(listener_, address, sizeof addr) != 0 || listen(listener_, 0) != 0 ||
        connect(filler_, address, sizeof addr) != 0 || connect(probe, address, sizeof addr) == 0 ||
        errno != EAGAIN) {
        perror("full_backlog");
        abort();
    }
    close(probe);
}

full_backlog::~full_backlog()
{
    close(filler_);
    close(listener_);
}
