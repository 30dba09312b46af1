// pam_brud's side of the brute-force daemon's socket protocol: the key, the
// login, one report per connection and the verdict, and the logger.
//
// Every wait on the daemon runs under the module's own alarm and SIGALRM
// action (alarm.cpp), and under socket timeouts of its own; the host's alarm
// and action are put back on every way out.
#include "alarm.h"
#include "brud.h"
#include "descriptor.h"
#include "json.h"
#include "module_log.h"
#include "readline.h"
#include "secret.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr char KEY_PATH[] = "/var/vesnar/quorixd/keys/pam";
constexpr char SOCKET_PATH[] = "/var/run/quorixd.sock";
constexpr char LOG_IDENTITY[] = "PAM-brud";
constexpr size_t EXCHANGE_SIZE = 1024;  // one line out, one reply in

// Seconds the module waits on each stage.
constexpr unsigned CONNECT_SECONDS = 2;
constexpr unsigned WELCOME_SECONDS = 1;
constexpr unsigned LOGIN_SECONDS = 10;
constexpr unsigned REPORT_SECONDS = 10;

constexpr const char *ACTION_LIST[] = {"PAM_AUTHENTICATE", "PAM_SETCRED"};

__attribute__((format(printf, 2, 3))) void _pam_log(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    log_under_identity(LOG_IDENTITY, priority, format, ap);
    va_end(ap);
}

// Logged right after the wait that a timeout ended, before the caller's own
// message; the same text for every stage.
void log_timeout_if_fired()
{
    if (borrowed_alarm::take_timeout())
        _pam_log(LOG_ERR, "timeout while connecting to quorixd");
}

// ---- The waits of one exchange -----------------------------------------

// SIGALRM cannot end a wait in a thread that blocks it, so the socket
// carries timeouts of its own, a second behind the alarm: wherever the
// alarm arrives it still ends the wait first.
class exchange_waits {
public:
    // False, with nothing changed, when the module's action cannot be put in.
    bool begin() { return alarm_.install(); }

    void set_socket(int fd) { fd_ = fd; }

    void stage(unsigned seconds)
    {
        alarm_.arm(seconds);
        log_timeout_if_fired();
        bound_socket(seconds);
    }

    // The stage's socket timeouts; without them the alarm alone bounds it.
    void bound_socket(unsigned seconds)
    {
        if (fd_ < 0 || !socket_timeouts_)
            return;
        struct timeval limit = {};
        limit.tv_sec = time_t(seconds) + 1;
        if (setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
            setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0)
            return;
        socket_timeouts_ = false;
        _pam_log(LOG_ERR, "error setting socket timeouts");
    }

    // The timeout is logged before the host's alarm is back: an overdue one
    // goes off at once, and its handler may end the process (sshd's does).
    void end()
    {
        alarm_.cancel();
        log_timeout_if_fired();
        alarm_.restore();
    }

    // The way out of a failed stage: the host's alarm and action back, then
    // the stage's one message.
    __attribute__((format(printf, 2, 3))) int fail(const char *format, ...)
    {
        end();
        va_list ap;
        va_start(ap, format);
        log_under_identity(LOG_IDENTITY, LOG_ERR, format, ap);
        va_end(ap);
        return -1;
    }

private:
    borrowed_alarm alarm_;
    int fd_ = -1;
    bool socket_timeouts_ = true;  // off once setting them has failed
};

// ---- Socket calls under the alarm -------------------------------------
// An alarm that went off outside the call counts as a timeout at once: the
// call itself would otherwise wait without one. A wait that the socket's
// own timeout ended is a timeout like the alarm's.

bool timed_out_before_call()
{
    if (!borrowed_alarm::went_off())
        return false;
    errno = EINTR;
    return true;
}

template <typename Result>
Result note_socket_timeout(Result result)
{
    if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        borrowed_alarm::note_timeout();
    return result;
}

bool connect_daemon(int fd)
{
    if (timed_out_before_call())
        return false;
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, SOCKET_PATH, sizeof SOCKET_PATH);
    return note_socket_timeout(connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr)) == 0;
}

// One read of the reply into the zeroed buffer (which may have held a secret).
ssize_t read_reply(int fd, char *buf)
{
    explicit_bzero(buf, EXCHANGE_SIZE);
    if (timed_out_before_call())
        return -1;
    return note_socket_timeout(read(fd, buf, EXCHANGE_SIZE));
}

// MSG_NOSIGNAL: a daemon that has gone away must not kill the host.
ssize_t send_line(int fd, const char *line)
{
    if (timed_out_before_call())
        return -1;
    return note_socket_timeout(send(fd, line, strlen(line), MSG_NOSIGNAL));
}

// Reply texts go into messages bounded by what was read: a full buffer
// holds no NUL.
int shown_length(ssize_t n) { return n > 0 ? int(n) : 0; }

// ---- The report ---------------------------------------------------------

// A text field of the report: a quoted JSON string, or the bare null.
class report_field {
public:
    report_field(const char *value, bool secret)
        : encoded_(value ? json_encode_string(value) : nullptr), secret_(secret) {}
    report_field(const report_field &) = delete;
    report_field &operator=(const report_field &) = delete;
    ~report_field()
    {
        if (secret_)
            wipe_and_free(encoded_);
        else
            free(encoded_);
    }
    const char *text() const { return encoded_ ? encoded_ : "null"; }

private:
    char *encoded_;
    bool secret_;
};

void format_report(char *buf, int action, const char *user, const char *rhost,
                   const char *ruser, int64_t login_time, const char *service,
                   const char *tty, const char *hash)
{
    report_field f_user(user, false), f_rhost(rhost, false), f_ruser(ruser, false);
    report_field f_service(service, false), f_tty(tty, false), f_hash(hash, true);
    // A line longer than the buffer goes out cut at its last byte.
    snprintf(buf, EXCHANGE_SIZE,
             "ACTION {\"action\":\"%s\", \"auth_database\":\"system\", \"username\":%s, "
             "\"remote_host\":%s, \"status\":1, \"login_time\":%lld, \"quit_after\":1, "
             "\"local_port\":0, \"remote_user\":%s, \"auth_service\":%s, \"tty\":%s, "
             "\"authtoken_hash\":%s}\n",
             ACTION_LIST[action], f_user.text(), f_rhost.text(), static_cast<long long>(login_time),
             f_ruser.text(), f_service.text(), f_tty.text(), f_hash.text());
}

int classify_verdict(const char *reply, ssize_t n)
{
    if (reply[0] == '2')
        return BRUD_ALLOWED;
    _pam_log(LOG_ERR, "Brute force detection active: %.*s", shown_length(n), reply);
    if (strncmp(reply, "58", 2) == 0)
        return BRUD_BLOCKED_58;
    if (strncmp(reply, "55", 2) == 0)
        return BRUD_BLOCKED;
    if (strncmp(reply, "50", 2) == 0)
        return BRUD_DEFERRED;
    if (strncmp(reply, "-1", 2) == 0 || reply[0] == '4')
        return BRUD_FAILED;
    return BRUD_UNKNOWN;
}

}  // namespace

// ---- Exported -------------------------------------------------------------

extern "C" {

VESNAR_EXPORT int get_brud_key(char *key)
{
    unique_file file(fopen(KEY_PATH, "re"));
    if (!file)
        return 0;
    return readline(key, file.get(), BRUD_KEY_SIZE - 1);
}

VESNAR_EXPORT int connect_brud(void)
{
    char key[BRUD_KEY_SIZE];
    wipe_on_exit wipe_key(key, sizeof key);
    memset(key, 0, sizeof key);
    if (!get_brud_key(key)) {
        _pam_log(LOG_ERR, "error getting brud key");
        return -1;
    }

    exchange_waits wait;
    if (!wait.begin()) {
        _pam_log(LOG_ERR, "error setting sigalrm");
        return -1;
    }

    wait.stage(CONNECT_SECONDS);
    unique_fd socket_fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int fd = socket_fd.get();
    if (fd < 0)
        return wait.fail("opening socket");
    wait.set_socket(fd);
    wait.bound_socket(CONNECT_SECONDS);
    if (!connect_daemon(fd))
        return wait.fail("failed to connect stream socket");

    char buf[EXCHANGE_SIZE];
    wipe_on_exit wipe_buf(buf, sizeof buf);
    wait.stage(WELCOME_SECONDS);
    ssize_t n = read_reply(fd, buf);
    if (n < 0)
        return wait.fail("error reading welcome from stream socket");
    if (buf[0] != '2')
        return wait.fail("Unexpected welcome messge from quorixd: %.*s", shown_length(n), buf);

    explicit_bzero(buf, sizeof buf);
    wait.stage(LOGIN_SECONDS);
    snprintf(buf, sizeof buf, "AUTH pam %s\n", key);
    explicit_bzero(key, sizeof key);
    send_line(fd, buf);  // not examined: a failed write shows in the reply
    n = read_reply(fd, buf);
    if (n < 0)
        return wait.fail("error reading auth status from stream socket");
    if (buf[0] != '2')
        return wait.fail("error logging into brudd: %.*s", shown_length(n), buf);

    wait.end();
    return socket_fd.release();
}

VESNAR_EXPORT int tell_brud(int fd, int action, const char *user, const char *rhost,
                            const char *ruser, int64_t login_time, const char *service,
                            const char *tty, const char *hash)
{
    if (action != BRUD_ACTION_AUTHENTICATE && action != BRUD_ACTION_SETCRED)
        return BRUD_FAILED;

    exchange_waits wait;
    if (!wait.begin())
        return BRUD_FAILED;
    wait.set_socket(fd);

    char buf[EXCHANGE_SIZE];
    wipe_on_exit wipe_buf(buf, sizeof buf);  // the line carries the token hash
    memset(buf, 0, sizeof buf);
    wait.stage(REPORT_SECONDS);
    format_report(buf, action, user, rhost, ruser, login_time, service, tty, hash);

    if (send_line(fd, buf) < 0)
        return wait.fail("err writing to stream socket");
    ssize_t n = read_reply(fd, buf);
    if (n < 0)
        return wait.fail("error reading PAM_? from stream socket");
    wait.end();
    return classify_verdict(buf, n);
}

VESNAR_EXPORT void disconnect_brud(int fd)
{
    close(fd);
}

}  // extern "C"
