// Debian's real OpenSSH server for the services tests, unpacked into the
// build tree (never installed) and run as root inside the service sandbox:
// private /etc, /var, /run, /dev and a network with loopback only. Logins
// come from the host's ssh client through sshpass.
#ifndef VESNAR_SSHD_SERVICE_H
#define VESNAR_SSHD_SERVICE_H
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

// The test needs the host's root; false (after a skip message) otherwise.
// Enters the service sandbox and starts the private syslog listener.
bool service_sandbox_ready();

// One datagram that reached the private /dev/log, split into its parts.
struct log_line {
    std::string ident;  // "sshd", "PAM-brud", ...
    std::string text;
    int priority = -1;  // facility and severity, as in <PRI>
    double at = 0;      // monotonic seconds when it arrived
};

// Every line received so far; `forget_log` drops them.
std::vector<log_line> service_log();
void forget_log();
// Texts of the lines of one identity.
std::vector<std::string> service_log(const std::string &ident);
// Waits up to `seconds` for a line of `ident` containing `text` that
// arrived at `since` (monotonic seconds) or later.
bool await_log(const std::string &ident, const std::string &text, double seconds, double since = 0);

// An account in the sandbox's passwd, group and shadow, home under /tmp.
void add_account(const std::string &user, const std::string &password);
std::string home_of(const std::string &user);

// /etc/pam.d/sshd: these auth lines, then Debian's common-account, these
// session lines and Debian's common-session.
std::string pam_service(const std::vector<std::string> &auth, const std::vector<std::string> &session = {});

class sshd_service {
public:
    // config: sshd_config lines that come before the fixed ones (the first
    // value of a keyword wins in sshd_config). env: extra environment of
    // sshd. Returns once sshd listens on 127.0.0.1:22 and [::1]:22.
    sshd_service(const std::string &pam_file, const std::vector<std::string> &config = {},
                 const std::vector<std::string> &env = {});
    ~sshd_service();
    sshd_service(const sshd_service &) = delete;
    sshd_service &operator=(const sshd_service &) = delete;

private:
    pid_t pid_ = -1;
};

struct ssh_login {
    ssh_login(std::string user_, std::string password_, std::vector<std::string> command_ = {})
        : user(std::move(user_)), password(std::move(password_)), command(std::move(command_))
    {
    }
    std::string user;
    std::string password;
    std::string host = "127.0.0.1";
    std::vector<std::string> command;  // empty: the login shell
    bool terminal = false;             // -tt, as an interactive login
    std::string input;                 // standard input of ssh
    std::vector<std::string> options;  // further -o options
    double deadline = 90;              // seconds before ssh is killed
};

struct ssh_result {
    int status = -1;     // exit status of sshpass (ssh's own when it ran)
    std::string output;  // standard output and error together
    double seconds = 0;
    double ended = 0;    // monotonic seconds when ssh ended, as log_line::at
};

ssh_result run_ssh(const ssh_login &login);

#endif
