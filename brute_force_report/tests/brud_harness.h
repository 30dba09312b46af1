// Shared pieces of the pam_brud tests: the stand-in daemon on the module's
// fixed socket, the platform files, and readers for what the daemon received.
#ifndef VESNAR_BRUD_HARNESS_H
#define VESNAR_BRUD_HARNESS_H

#include <sys/types.h>

#include <string>
#include <vector>

inline const std::string FLAG_FILE = "/var/vesnar/brudd/enabled";
inline const std::string ALT_FLAG_FILE = "/var/vesnar/quorix_enable";
inline const std::string KEY_FILE = "/var/vesnar/quorixd/keys/pam";
inline const std::string SOCKET_PATH = "/var/run/quorixd.sock";
inline const std::string TEST_KEY = "k3y-Of-the-module";

// Flag file, key file and socket directory inside the sandbox.
void enable_brud(const std::string &key = TEST_KEY);

// The stand-in daemon, started by fork/exec and stopped by its PID. The
// constructor returns once the daemon listens.
class brud_daemon {
public:
    explicit brud_daemon(const std::vector<std::string> &args = {});
    ~brud_daemon();
    brud_daemon(const brud_daemon &) = delete;
    brud_daemon &operator=(const brud_daemon &) = delete;

    void stop();
    // Every line received, byte for byte, connections one after another.
    std::string received() const;
    // The same, one entry per line (a line cut short has no line feed).
    std::vector<std::string> lines() const;
    // When the last line arrived: wall-clock seconds, 0 before any.
    double last_line_at() const;

private:
    pid_t pid_ = -1;
    std::string record_;
};

// A listener on the daemon's socket with no room in its queue and nobody
// accepting: a connect() to it waits.
class full_backlog {
public:
    full_backlog();
    ~full_backlog();
    full_backlog(const full_backlog &) = delete;
    full_backlog &operator=(const full_backlog &) = delete;

private:
    int listener_ = -1, filler_ = -1;
};

// The raw JSON text of one member of a report line ("\"alice\"", "null", "7").
std::string member(const std::string &report, const std::string &key);

// Messages the module wrote to syslog, in order.
std::vector<std::string> brud_log();

#endif
