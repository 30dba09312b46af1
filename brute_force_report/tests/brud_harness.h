// Shared pieces of the pam_brud tests: the stand-in daemon on the module's
// fixed socket, the platform files, and readers for what the daemon received.
#pragma once
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

private:
    pid_t pid_ = -1;
    std::string record_;
};

// The raw JSON text of one member of a report line ("\"alice\"", "null", "7").
std::string member(const std::string &report, const std::string &key);

// Messages the module wrote to syslog, in order.
std::vector<std::string> brud_log();

// The report line the module must send, built independently of the module.
struct report_fields {
    std::string action = "PAM_AUTHENTICATE";
    const char *user = nullptr, *rhost = nullptr, *ruser = nullptr;
    long long login_time = 0;
    const char *service = nullptr, *tty = nullptr, *hash = nullptr;
};
std::string expected_report(const report_fields &f);

// Hours since 2000-01-01, as the salt's window number.
long long salt_window(long long login_time);
// crypt(token, salt) as the module must compute it, salt built from these parts.
std::string expected_hash(const std::string &token, long long login_time,
                          const std::string &user_part, const std::string &host_part);

// Remaining seconds of the process's alarm, with fractions.
double alarm_left();
