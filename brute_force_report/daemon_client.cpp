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
// own message.
volatile sig_atomic_t alarm_fired = 0;

void handle_sigalrm(int) { alarm_fired = 1; }

void log_timeout_if_fired()
{
    if (alarm_fired) {
        alarm_fired = 0;
        _pam_log(LOG_ERR, "timeout while connecting to quorixd");
    }
}

struct alarm_state {
    uint32_t prev_seconds;  // left on the host's alarm when ours was armed; 0: none
    int64_t saved_at;       // time() when prev_seconds was read
};

void set_alarm(alarm_state *st, unsigned seconds)
{
    alarm_fired = 0;
    st->prev_seconds = alarm(seconds);
    st->saved_at = time(nullptr);
}

// Cancels the module's timeout and gives the host's alarm the time it had
// left; one that would have come due meanwhile fires a second from now.
void reset_alarm(alarm_state *st)
{
    alarm(0);
    log_timeout_if_fired();
    if (st->prev_seconds == 0)
        return;
    int64_t left = int64_t(st->prev_seconds) - (int64_t(time(nullptr)) - st->saved_at);
    if (left <= 0)
        left = 1;
    alarm(unsigned(left));
}

// The module's timeout, armed stage by stage; the host's alarm is re-armed
// between stages so that its remaining time carries over.
struct alarm_guard {
    alarm_state state{};
    bool armed = false;

    void arm(unsigned seconds)
    {
        disarm();
        set_alarm(&state, seconds);
        armed = true;
    }
    void disarm()
    {
        if (armed)
            reset_alarm(&state);
        armed = false;
    }
    ~alarm_guard() { disarm(); }
};

// The module's SIGALRM action: no SA_RESTART, so an alarm ends a blocking
// call with EINTR; every signal blocked while the handler runs.
struct sigalrm_guard {
    struct sigaction saved;
    bool installed = false;

    bool install()
    {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = handle_sigalrm;
        sigfillset(&action.sa_mask);
        action.sa_flags = 0;
        installed = sigaction(SIGALRM, &action, &saved) == 0;
        return installed;
    }
    void restore()
    {
        if (installed)
            sigaction(SIGALRM, &saved, nullptr);
        installed = false;
    }
    ~sigalrm_guard() { restore(); }
};

// Both pieces of process state that a wait borrows. Restoring cancels the
// alarm before the host's action returns, so a re-armed host alarm (at least
// a second away) only ever meets the host's own action. Members are
// destroyed in reverse order, which keeps that order on early returns too.
struct wait_guard {
    sigalrm_guard action;
    alarm_guard alarm;

    void restore()
    {
        alarm.disarm();
        action.restore();
    }
};

// Wipes a buffer that held a secret on every way out of its scope.
struct wipe_on_exit {
    void *bytes;
    size_t size;
    ~wipe_on_exit() { explicit_bzero(bytes, size); }
};

// ---- Socket calls under the alarm -------------------------------------
// An alarm that went off outside the call counts as a timeout at once:
// the call itself would otherwise wait without one.

bool connect_daemon(int fd)
{
    if (alarm_fired) {
        errno = EINTR;
        return false;
    }
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, SOCKET_PATH, sizeof SOCKET_PATH);
    return connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0;
}

// One read of the reply into the zeroed buffer (which may have held a secret).
ssize_t read_reply(int fd, char *buf)
{
    explicit_bzero(buf, EXCHANGE_SIZE);
    if (alarm_fired) {
        errno = EINTR;
        return -1;
    }
    return read(fd, buf, EXCHANGE_SIZE);
}

// MSG_NOSIGNAL: a daemon that has gone away must not kill the host.
ssize_t send_line(int fd, const char *line)
{
    if (alarm_fired) {
        errno = EINTR;
        return -1;
    }
    return send(fd, line, strlen(line), MSG_NOSIGNAL);
}

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

    wait_guard wait;
    if (!wait.action.install()) {
        _pam_log(LOG_ERR, "error setting sigalrm");
        return -1;
    }

    wait.alarm.arm(CONNECT_SECONDS);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        wait.restore();
        _pam_log(LOG_ERR, "opening socket");
        return -1;
    }
    if (!connect_daemon(fd)) {
        wait.restore();
        close(fd);
        _pam_log(LOG_ERR, "failed to connect stream socket");
        return -1;
    }

    char buf[EXCHANGE_SIZE];
    wipe_on_exit wipe_buf{buf, sizeof buf};
    wait.alarm.arm(WELCOME_SECONDS);
    ssize_t n = read_reply(fd, buf);
    if (n < 0) {
        wait.restore();
        _pam_log(LOG_ERR, "error reading welcome from stream socket");
        close(fd);
        return -1;
    }
    if (buf[0] != '2') {
        wait.restore();
        _pam_log(LOG_ERR, "Unexpected welcome messge from quorixd: %.*s", shown_length(n), buf);
        close(fd);
        return -1;
    }

    explicit_bzero(buf, sizeof buf);
    wait.alarm.arm(LOGIN_SECONDS);
    snprintf(buf, sizeof buf, "AUTH pam %s\n", key);
    explicit_bzero(key, sizeof key);
    send_line(fd, buf);  // not examined: a failed write shows in the reply
    n = read_reply(fd, buf);
    if (n < 0) {
        wait.restore();
        _pam_log(LOG_ERR, "error reading auth status from stream socket");
        close(fd);
        return -1;
    }
    if (buf[0] != '2') {
        wait.restore();
        _pam_log(LOG_ERR, "error logging into brudd: %.*s", shown_length(n), buf);
        close(fd);
        return -1;
    }

    wait.restore();
    return fd;
}

BRUD_API int tell_brud(int fd, int action, const char *user, const char *rhost,
                       const char *ruser, int64_t login_time, const char *service,
                       const char *tty, const char *hash)
{
    if (action != BRUD_ACTION_AUTHENTICATE && action != BRUD_ACTION_SETCRED)
        return BRUD_FAILED;

    wait_guard wait;
    if (!wait.action.install())
        return BRUD_FAILED;

    char buf[EXCHANGE_SIZE];
    wipe_on_exit wipe_buf{buf, sizeof buf};  // the line carries the token hash
    memset(buf, 0, sizeof buf);
    wait.alarm.arm(REPORT_SECONDS);
    format_report(buf, action, user, rhost, ruser, login_time, service, tty, hash);

    if (send_line(fd, buf) < 0) {
        wait.restore();
        _pam_log(LOG_ERR, "err writing to stream socket");
        return BRUD_FAILED;
    }
    ssize_t n = read_reply(fd, buf);
    if (n < 0) {
        wait.restore();
        _pam_log(LOG_ERR, "error reading PAM_? from stream socket");
        return BRUD_FAILED;
    }
    wait.restore();
    return classify_verdict(buf, n);
}

BRUD_API void disconnect_brud(int fd)
{
    close(fd);
}

}  // extern "C"
