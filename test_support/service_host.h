// The real PAM hosts of a hosting server for the services tests: Debian's
// packages unpacked into the build tree (never installed) and run as root
// inside the service sandbox: private /etc, /var, /run, /dev and a network
// with loopback only. Each host gets its own /etc/pam.d/<service> from the
// test and is driven by a real client from the host system.
#ifndef VESNAR_SERVICE_HOST_H
#define VESNAR_SERVICE_HOST_H
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

// The test needs the host's root; false (after a skip message) otherwise.
// Enters the service sandbox and starts the private syslog listener. The
// libqvo stand-in goes into the sandbox's ld.so.cache, where setuid hosts
// (su, sudo), which ignore LD_LIBRARY_PATH, find it as they would the
// platform's library.
bool service_sandbox_ready();

// One datagram that reached the private /dev/log, split into its parts.
struct log_line {
    std::string ident;  // "sshd", "su", "PAM-brud", ...
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

// Writes /etc/pam.d/<service>: these auth lines, then Debian's
// common-account, these session lines and Debian's common-session.
void pam_service(const std::string &service, const std::vector<std::string> &auth,
                 const std::vector<std::string> &session = {});

// A file of the unpacked packages: "/usr/sbin/sshd" -> <build>/host-packages/root/usr/sbin/sshd.
std::string host_file(const std::string &path);

// A host's daemon from the unpacked packages, started by fork/exec as root
// with PATH, LD_LIBRARY_PATH (the unpacked libraries, then the libqvo
// stand-in) and `env`; its standard output and error go to
// /tmp/<name>.stderr. The destructor stops it by its PID, then stops what
// it left behind: the test process is a subreaper, so a host's orphaned
// children (sshd's monitors, a master's workers) become its own.
class host_daemon {
public:
    host_daemon(const std::string &program, const std::vector<std::string> &args,
                const std::vector<std::string> &env = {});
    ~host_daemon();
    host_daemon(const host_daemon &) = delete;
    host_daemon &operator=(const host_daemon &) = delete;

    // Each aborts the test with the daemon's standard error unless the
    // daemon is ready within `seconds`: a log line of `ident` containing
    // `text` since the start, or a listener on 127.0.0.1:port.
    void ready_at_log(const std::string &ident, const std::string &text, double seconds = 15);
    void ready_at_port(int port, double seconds = 15);
    pid_t pid() const { return pid_; }
    std::string output() const;

private:
    [[noreturn]] void failed(const std::string &what);
    std::string program_, stderr_path_;
    double started_ = 0;
    pid_t pid_ = -1;
};

// Debian's sshd on 127.0.0.1:22 and [::1]:22 with /etc/pam.d/sshd.
class sshd_service {
public:
    // config: sshd_config lines that come before the fixed ones (the first
    // value of a keyword wins in sshd_config). env: extra environment of
    // sshd. Returns once sshd listens on both addresses.
    explicit sshd_service(const std::vector<std::string> &config = {}, const std::vector<std::string> &env = {});

private:
    host_daemon daemon_;
};

// Debian's ProFTPD on 127.0.0.1:2121 with /etc/pam.d/proftpd, one process
// per connection, each session chrooted to the user's home (DefaultRoot ~).
// config: proftpd.conf lines that come before the fixed ones.
class proftpd_service {
public:
    explicit proftpd_service(const std::vector<std::string> &config = {});
    // Its log (standard error): sessions, logins, timeouts.
    std::string output() const { return daemon_.output(); }

private:
    host_daemon daemon_;
};

// Debian's Dovecot IMAP on 127.0.0.1:1143 with /etc/pam.d/dovecot (passdb
// pam with setcred and session) through a single auth worker that serves
// 100000 lookups before it retires. The unpacked /usr lies over the host's
// from then on: Dovecot runs its helpers by their compiled-in paths.
class dovecot_service {
public:
    dovecot_service();
    // The auth worker's PID, -1 while none runs.
    pid_t auth_worker() const;
    // n PLAIN logins on the auth-client socket, one at a time, as the
    // login processes make them; how many succeeded. Drains the captured
    // /dev/log as it goes: a worker whose log lines find the queue full
    // stops.
    int authenticate(const std::string &user, const std::string &password, int n) const;

private:
    host_daemon daemon_;
};

// Debian's Apache httpd, event MPM, on 127.0.0.1:80: one child process whose
// 25 worker threads call PAM at once, as www-data, through mod_authnz_pam
// and /etc/pam.d/<service>. Behind basic auth: /private/ok (a file that
// reads "in-session") and /private/session (a CGI script that prints
// "in-session" and its descriptors). www-data is put in group shadow, as
// pam_unix needs to check another user's password.
class apache_service {
public:
    explicit apache_service(const std::string &service);
    // The one child that serves every request.
    pid_t child() const;
    std::string error_log() const;

private:
    host_daemon daemon_;
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

// What a client program did.
struct client_result {
    int status = -1;     // exit status, 128 + signal when killed
    std::string output;  // standard output and error together
    double seconds = 0;
    double ended = 0;    // monotonic seconds when it ended, as log_line::at
};

// A client of the host system (curl, ...) with this environment and
// standard input, killed after `deadline` seconds.
client_result run_client(const std::vector<std::string> &args, const std::vector<std::string> &env,
                         const std::string &input = "", double deadline = 90);

// What a person types at a terminal: each answer (and a line feed) once the
// output shows its prompt, after the previous prompt.
using dialogue = std::vector<std::pair<std::string, std::string>>;

// A program run as `user` of the sandbox's passwd on a terminal of its own
// (its controlling tty), as a person at a terminal would, typing `turns`.
// `env` adds to a user's usual environment.
client_result run_on_pty(const std::string &user, const std::vector<std::string> &args, const dialogue &turns,
                         const std::vector<std::string> &env = {}, double deadline = 90);

// curl's FTP (the home's listing) or IMAP (the mail folders) login to the
// services above. Every account's home holds a file and a mail folder named
// "in-session", so the output shows that the session began.
client_result ftp_login(const std::string &user, const std::string &password, double deadline = 90);
client_result imap_login(const std::string &user, const std::string &password, double deadline = 90);

// ssh through sshpass; the status is sshpass's (ssh's own when it ran).
client_result run_ssh(const ssh_login &login);

#endif
