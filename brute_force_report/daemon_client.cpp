// pam_brud's side of the brute-force daemon's socket protocol: the key, the
// login, one report per connection and the verdict, and the logger.
//
// Every wait on the daemon runs under the module's own alarm and SIGALRM
// action; both belong to the whole process, so the host's alarm and action
// are put back on every way out (the guards below).
#include "brud.h"
#include "json.h"
#include "readline.h"

#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr char KEY_PATH[] = "/var/vesnar/quorixd/keys/pam";
constexpr char SOCKET_PATH[] = "/var/run/quorixd.sock";
constexpr size_t EXCHANGE_SIZE = 1024;  // one line out, one reply in

// Seconds the module waits on each stage.
constexpr unsigned CONNECT_SECONDS = 2;
constexpr unsigned WELCOME_SECONDS = 1;
constexpr unsigned LOGIN_SECONDS = 10;
constexpr unsigned REPORT_SECONDS = 10;

constexpr const char *ACTION_LIST[] = {"PAM_AUTHENTICATE", "PAM_SETCRED"};

constexpr char REPORT_FORMAT[] =
    "ACTION {\"action\":\"%s\", \"auth_database\":\"system\", \"username\":%s, "
    "\"remote_host\":%s, \"status\":1, \"login_time\":%lld, \"quit_after\":1, "
    "\"local_port\":0, \"remote_user\":%s, \"auth_service\":%s, \"tty\":%s, "
    "\"authtoken_hash\":%s}\n";

__attribute__((format(printf, 2, 3))) void _pam_log(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    openlog("PAM-brud", LOG_CONS | LOG_PID, LOG_AUTH);
    vsyslog(priority, format, ap);
    closelog();
    va_end(ap);
}

// ---- Timeouts ---------------------------------------------------------

// The handler only notes that the alarm went off: syslog is not safe in
// signal context. The note is logged when the module cancels its alarm,
// right after the interrupted call has returned and before the caller's
// own message. A wait that the socket's own timeout ended is noted alike.
volatile sig_atomic_t alarm_fired = 0;

void handle_sigalrm(int) { alarm_fired = 1; }

void log_timeout_if_fired()
{
    if (alarm_fired) {
        alarm_fired = 0;
        _pam_log(LOG_ERR, "timeout while connecting to quorixd");
    }
}

// The host's real-time timer as the module found it, read to the
// microsecond; the time it spent with the module is measured on the
// monotonic clock, so that neither rounding nor a clock step moves it.
struct alarm_state {
    struct itimerval prev;     // it_value zero: no host alarm was pending
    struct timespec saved_at;  // CLOCK_MONOTONIC when prev was read
    bool host_signal_pending;  // a SIGALRM was already pending: the host's
};

bool sigalrm_pending()
{
    sigset_t pending;
    return sigpending(&pending) == 0 && sigismember(&pending, SIGALRM) == 1;
}

// Arms the module's timeout, taking the host's timer in its place.
void set_alarm(alarm_state *st, unsigned seconds)
{
    struct itimerval ours = {};
    ours.it_value.tv_sec = seconds;
    alarm_fired = 0;
    st->host_signal_pending = sigalrm_pending();
    // The clock is read before the timer, as reset_alarm reads it before
    // re-arming: the two system calls' own time then cancels out.
    clock_gettime(CLOCK_MONOTONIC, &st->saved_at);
    setitimer(ITIMER_REAL, &ours, &st->prev);
}

// Later stages carry the host's timer in the state untouched: re-armed
// now, an overdue host alarm would fire into the module's handler.
void rearm_alarm(unsigned seconds)
{
    struct itimerval ours = {};
    ours.it_value.tv_sec = seconds;
    alarm_fired = 0;
    setitimer(ITIMER_REAL, &ours, nullptr);
}

// Cancels the module's timeout. A SIGALRM of the module's that could not
// reach a thread (the host blocks it) is taken back, so the host never
// receives it.
void cancel_alarm(const alarm_state *st)
{
    struct itimerval none = {};
    setitimer(ITIMER_REAL, &none, nullptr);
    if (!st->host_signal_pending && sigalrm_pending()) {
        sigset_t only_alarm;
        sigemptyset(&only_alarm);
        sigaddset(&only_alarm, SIGALRM);
        struct timespec now = {};
        sigtimedwait(&only_alarm, nullptr, &now);
    }
    log_timeout_if_fired();
}

// Gives the host's timer back with what it has left, its period unchanged.
// One that came due meanwhile goes off at once: "a second later", again at
// every call, would put it off without end.
void reset_alarm(const alarm_state *st)
{
    if (st->prev.it_value.tv_sec == 0 && st->prev.it_value.tv_usec == 0)
        return;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t spent_ns = (int64_t(now.tv_sec) - st->saved_at.tv_sec) * 1000000000 +
                       (int64_t(now.tv_nsec) - st->saved_at.tv_nsec);
    // The kernel reports the host's timer cut to the microsecond: on
    // average half a microsecond more was left.
    int64_t had_ns = (int64_t(st->prev.it_value.tv_sec) * 1000000 + st->prev.it_value.tv_usec) * 1000 + 500;
    int64_t left_us = (had_ns - spent_ns + 500) / 1000;
    if (left_us <= 0)
        left_us = 1;
    struct itimerval host = st->prev;
    host.it_value.tv_sec = time_t(left_us / 1000000);
    host.it_value.tv_usec = suseconds_t(left_us % 1000000);
    setitimer(ITIMER_REAL, &host, nullptr);
}

// The SIGALRM action and the real-time timer, both process-wide, borrowed
// for the waits of one exchange and given back exactly: the module's timer
// is cancelled and its stray signal taken back, then the host's action is
// reinstalled, and only then is the host's timer re-armed, so that an
// overdue host alarm meets its own handler.
class borrowed_alarm {
public:
    borrowed_alarm() = default;
    borrowed_alarm(const borrowed_alarm &) = delete;
    borrowed_alarm &operator=(const borrowed_alarm &) = delete;
    ~borrowed_alarm() { restore(); }

    // The module's action: no SA_RESTART, so an alarm ends a blocking call
    // with EINTR; every signal blocked while the handler runs.
    bool install()
    {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = handle_sigalrm;
        sigfillset(&action.sa_mask);
        action.sa_flags = 0;
        installed_ = sigaction(SIGALRM, &action, &host_action_) == 0;
        return installed_;
    }

    // The module's timeout for the next stage.
    void arm(unsigned seconds)
    {
        if (!armed_) {
            set_alarm(&state_, seconds);
            armed_ = true;
            return;
        }
        cancel_alarm(&state_);
        rearm_alarm(seconds);
    }

    void restore()
    {
        if (armed_)
            cancel_alarm(&state_);
        if (installed_)
            sigaction(SIGALRM, &host_action_, nullptr);
        if (armed_)
            reset_alarm(&state_);
        armed_ = installed_ = false;
    }

private:
    struct sigaction host_action_;
    alarm_state state_{};
    bool installed_ = false;
    bool armed_ = false;
};

// Wipes a buffer that held a secret on every way out of its scope.
struct wipe_on_exit {
    void *bytes;
    size_t size;
    ~wipe_on_exit() { explicit_bzero(bytes, size); }
};

// ---- Socket calls under the alarm -------------------------------------
// An alarm that went off outside the call counts as a timeout at once:
// the call itself would otherwise wait without one. A wait that the
// socket's own timeout ended is a timeout like the alarm's.

bool timed_out_before_call()
{
    if (!alarm_fired)
        return false;
    errno = EINTR;
    return true;
}

template <typename Result>
Result note_socket_timeout(Result result)
{
    if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        alarm_fired = 1;
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

// The waits of one exchange. SIGALRM cannot end a wait in a thread that
// blocks it, so the socket carries timeouts of its own, a second behind
// the alarm: wherever the alarm arrives it still ends the wait first.
struct exchange_waits {
    borrowed_alarm alarm;
    int fd = -1;
    bool socket_timeouts = true;  // off once setting them has failed

    void stage(unsigned seconds)
    {
        alarm.arm(seconds);
        bound_socket(seconds);
    }

    void bound_socket(unsigned seconds)
    {
        if (fd < 0 || !socket_timeouts)
            return;
        struct timeval limit = {};
        limit.tv_sec = time_t(seconds) + 1;
        if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0)
            return;
        socket_timeouts = false;
        _pam_log(LOG_ERR, "error setting socket timeouts");
    }
};

// Reply texts go into messages bounded by what was read: a full buffer
// holds no NUL.
int shown_length(ssize_t n) { return n > 0 ? int(n) : 0; }

// ---- The report ---------------------------------------------------------

// A text field of the report: a quoted JSON string, or the bare null.
struct report_field {
    char *encoded;
    bool secret;

    report_field(const char *value, bool is_secret)
        : encoded(value ? json_encode_string(value) : nullptr), secret(is_secret) {}
    ~report_field()
    {
        if (encoded && secret)
            explicit_bzero(encoded, strlen(encoded));
        free(encoded);
    }
    const char *text() const { return encoded ? encoded : "null"; }
};

void format_report(char *buf, int action, const char *user, const char *rhost,
                   const char *ruser, int64_t login_time, const char *service,
                   const char *tty, const char *hash)
{
    report_field f_user(user, false), f_rhost(rhost, false), f_ruser(ruser, false);
    report_field f_service(service, false), f_tty(tty, false), f_hash(hash, true);
    // A line longer than the buffer goes out cut at its last byte.
    snprintf(buf, EXCHANGE_SIZE, REPORT_FORMAT, ACTION_LIST[action], f_user.text(),
             f_rhost.text(), (long long)login_time, f_ruser.text(), f_service.text(),
             f_tty.text(), f_hash.text());
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

BRUD_API int get_brud_key(char *key)
{
    FILE *file = fopen(KEY_PATH, "re");
    if (!file)
        return 0;
    int result = readline(key, file, BRUD_KEY_SIZE - 1);
    fclose(file);
    return result;
}

BRUD_API int connect_brud(void)
{
    char key[BRUD_KEY_SIZE];
    wipe_on_exit wipe_key{key, sizeof key};
    memset(key, 0, sizeof key);
    if (!get_brud_key(key)) {
        _pam_log(LOG_ERR, "error getting brud key");
        return -1;
    }

    exchange_waits wait;
    if (!wait.alarm.install()) {
        _pam_log(LOG_ERR, "error setting sigalrm");
        return -1;
    }

    wait.stage(CONNECT_SECONDS);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        wait.alarm.restore();
        _pam_log(LOG_ERR, "opening socket");
        return -1;
    }
    wait.fd = fd;
    wait.bound_socket(CONNECT_SECONDS);
    if (!connect_daemon(fd)) {
        wait.alarm.restore();
        close(fd);
        _pam_log(LOG_ERR, "failed to connect stream socket");
        return -1;
    }

    char buf[EXCHANGE_SIZE];
    wipe_on_exit wipe_buf{buf, sizeof buf};
    wait.stage(WELCOME_SECONDS);
    ssize_t n = read_reply(fd, buf);
    if (n < 0) {
        wait.alarm.restore();
        _pam_log(LOG_ERR, "error reading welcome from stream socket");
        close(fd);
        return -1;
    }
    if (buf[0] != '2') {
        wait.alarm.restore();
        _pam_log(LOG_ERR, "Unexpected welcome messge from quorixd: %.*s", shown_length(n), buf);
        close(fd);
        return -1;
    }

    explicit_bzero(buf, sizeof buf);
    wait.stage(LOGIN_SECONDS);
    snprintf(buf, sizeof buf, "AUTH pam %s\n", key);
    explicit_bzero(key, sizeof key);
    send_line(fd, buf);  // not examined: a failed write shows in the reply
    n = read_reply(fd, buf);
    if (n < 0) {
        wait.alarm.restore();
        _pam_log(LOG_ERR, "error reading auth status from stream socket");
        close(fd);
        return -1;
    }
    if (buf[0] != '2') {
        wait.alarm.restore();
        _pam_log(LOG_ERR, "error logging into brudd: %.*s", shown_length(n), buf);
        close(fd);
        return -1;
    }

    wait.alarm.restore();
    return fd;
}

BRUD_API int tell_brud(int fd, int action, const char *user, const char *rhost,
                       const char *ruser, int64_t login_time, const char *service,
                       const char *tty, const char *hash)
{
    if (action != BRUD_ACTION_AUTHENTICATE && action != BRUD_ACTION_SETCRED)
        return BRUD_FAILED;

    exchange_waits wait;
    wait.fd = fd;
    if (!wait.alarm.install())
        return BRUD_FAILED;

    char buf[EXCHANGE_SIZE];
    wipe_on_exit wipe_buf{buf, sizeof buf};  // the line carries the token hash
    memset(buf, 0, sizeof buf);
    wait.stage(REPORT_SECONDS);
    format_report(buf, action, user, rhost, ruser, login_time, service, tty, hash);

    if (send_line(fd, buf) < 0) {
        wait.alarm.restore();
        _pam_log(LOG_ERR, "err writing to stream socket");
        return BRUD_FAILED;
    }
    ssize_t n = read_reply(fd, buf);
    if (n < 0) {
        wait.alarm.restore();
        _pam_log(LOG_ERR, "error reading PAM_? from stream socket");
        return BRUD_FAILED;
    }
    wait.alarm.restore();
    return classify_verdict(buf, n);
}

BRUD_API void disconnect_brud(int fd)
{
    close(fd);
}

}  // extern "C"
