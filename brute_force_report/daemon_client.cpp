// pam_brud's side of the brute-force daemon's socket protocol: the key, the
// login, one report per connection and the verdict, and the logger.
//
// Every stage has a budget, kept as a deadline on the monotonic clock from
// the moment the stage starts; each wait is for the time left, and a signal
// of the host's that interrupts it only means waiting again for what is
// left. The module borrows nothing of the process: no alarm, no signal
// action or mask, no syslog identity.
#include "brud.h"
#include "deadline.h"
#include "descriptor.h"
#include "json.h"
#include "key_file.h"
#include "module_log.h"
#include "secret.h"

#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr auto &KEY_PATH = BRUD_KEY_PATH;
constexpr auto &SOCKET_PATH = BRUD_SOCKET_PATH;
constexpr char LOG_IDENTITY[] = "PAM-brud";
constexpr size_t EXCHANGE_SIZE = 1024;  // one line out, one reply in

// Seconds the module waits on each stage.
constexpr time_t CONNECT_SECONDS = 2;
constexpr time_t WELCOME_SECONDS = 1;
constexpr time_t LOGIN_SECONDS = 10;
constexpr time_t REPORT_SECONDS = 10;

// A daemon whose listen queue is full refuses a non-blocking connect at
// once; it is asked again this often until the stage's deadline.
constexpr long CONNECT_RETRY_NS = 5 * 1000 * 1000;

constexpr const char *ACTION_LIST[] = {"PAM_AUTHENTICATE", "PAM_SETCRED"};

__attribute__((format(printf, 2, 3))) void _pam_log(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    log_under_identity(LOG_IDENTITY, priority, format, ap);
    va_end(ap);
}

// Sleeps a little, never past the deadline; false once there is no time left.
bool pause_before_retry(const deadline &by)
{
    struct timespec left;
    if (!by.time_left(&left)) {
        errno = ETIMEDOUT;
        return false;
    }
    if (left.tv_sec > 0 || left.tv_nsec > CONNECT_RETRY_NS)
        left = {0, CONNECT_RETRY_NS};
    nanosleep(&left, nullptr);  // an interruption only shortens the pause
    return true;
}

// ---- Socket calls within a deadline ----------------------------------------
// Nothing blocks in a call: every wait is a ppoll for the time left.

bool connect_daemon(int fd, const deadline &by)
{
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, SOCKET_PATH, sizeof SOCKET_PATH);
    for (;;) {
        if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0)
            return true;
        if (errno != EAGAIN && errno != EINTR)
            return false;
        if (!pause_before_retry(by))
            return false;
    }
}

// One read of the reply into the zeroed buffer (which may have held a secret).
ssize_t read_reply(int fd, char *buf, const deadline &by)
{
    explicit_bzero(buf, EXCHANGE_SIZE);
    for (;;) {
        if (!wait_ready(fd, POLLIN, by))
            return -1;
        ssize_t n = read(fd, buf, EXCHANGE_SIZE);
        if (n >= 0 || (errno != EAGAIN && errno != EINTR))
            return n;
    }
}

// The way out of a failed stage: a timeout is logged as such first, then
// the stage's own message.
__attribute__((format(printf, 2, 3))) int fail(int error, const char *format, ...)
{
    if (error == ETIMEDOUT)
        _pam_log(LOG_ERR, "timeout while connecting to quorixd");
    va_list ap;
    va_start(ap, format);
    log_under_identity(LOG_IDENTITY, LOG_ERR, format, ap);
    va_end(ap);
    return -1;
}

// Reply texts go into messages bounded by what was read: a full buffer
// holds no NUL.
int shown_length(ssize_t n) { return n > 0 ? int(n) : 0; }

// The key is the file's first line: everything from its CR or LF on is
// wiped, so the buffer holds the key and zeros.
size_t first_line_length(const char *bytes, size_t size)
{
    for (size_t i = 0; i < size; i++)
        if (bytes[i] == '\n' || bytes[i] == '\r')
            return i;
    return size;
}

// ---- The report ---------------------------------------------------------

// The longest report line, its closing brace and line feed included: the
// exchange buffer less its NUL. A longer line would reach the daemon cut
// short, and a daemon that reads to the line end would wait for the rest.
constexpr size_t REPORT_LINE_MAX = EXCHANGE_SIZE - 1;

// A text member of the report: a quoted JSON string, or the bare null. A
// long one can be cut from its end, a whole character or escape at a time,
// keeping its closing quote, so that what is left is still a JSON string.
class report_field {
public:
    report_field(const char *value, bool secret)
        : encoded_(value ? json_encode_string(value) : nullptr), secret_(secret),
          kept_(encoded_ ? strlen(encoded_) - 1 : 0)
    {
    }
    report_field(const report_field &) = delete;
    report_field &operator=(const report_field &) = delete;
    ~report_field()
    {
        if (secret_)
            wipe_and_free(encoded_);
        else
            free(encoded_);
    }

    // The member's value as it goes into the line: its first bytes(), then tail().
    const char *text() const { return encoded_ ? encoded_ : "null"; }
    int bytes() const { return int(encoded_ ? kept_ : 4); }
    const char *tail() const { return encoded_ ? "\"" : ""; }
    size_t size() const { return size_t(bytes()) + (encoded_ ? 1 : 0); }
    // A string with something between its quotes; null is never cut.
    bool cuttable() const { return encoded_ && kept_ > 1; }

    // Drops the last character or escape; returns the bytes it took. The
    // first cut marks where they begin.
    size_t cut_last()
    {
        size_t before = kept_;
        if (!marked_)
            mark_units();
        size_t start = kept_ - 1;
        while (!unit_starts_at(start))
            start--;
        kept_ = start;
        return before - kept_;
    }

private:
    // Nothing past this many bytes of a literal can be kept in a line, so
    // only that far are the characters and escapes marked.
    static constexpr size_t MARKED = REPORT_LINE_MAX + 1;
    static constexpr size_t WORD_BITS = 64;

    bool unit_starts_at(size_t i) const { return (starts_[i / WORD_BITS] >> (i % WORD_BITS)) & 1; }

    // Marks where each character or escape of the literal begins ("\uXXXX",
    // "\x" or one UTF-8 character, as the encoder writes them), up to the
    // last one that ends within MARKED bytes, and keeps no more than that: a
    // longer literal is the longest until it is cut that far anyway.
    void mark_units()
    {
        size_t i = 1;
        while (i < kept_) {
            size_t unit = unit_length(encoded_ + i);
            if (i + unit > MARKED)
                break;
            starts_[i / WORD_BITS] |= uint64_t(1) << (i % WORD_BITS);
            i += unit;
        }
        kept_ = i;
        marked_ = true;
    }

    static size_t unit_length(const char *at)
    {
        unsigned char lead = static_cast<unsigned char>(at[0]);
        if (lead == '\\')
            return at[1] == 'u' ? 6 : 2;
        if (lead < 0xC0)
            return 1;
        return lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    }

    char *encoded_;
    bool secret_;
    size_t kept_;  // bytes of the literal before its closing quote
    bool marked_ = false;
    uint64_t starts_[MARKED / WORD_BITS + 1] = {};
};

// The text members, in the line's order; on a tie for the longest, the
// earlier one is cut first.
enum { F_USER, F_RHOST, F_RUSER, F_SERVICE, F_TTY, TEXT_FIELDS };

int print_report(char *buf, size_t size, int action, const report_field *f, int64_t login_time,
                 const report_field &hash)
{
    return snprintf(buf, size,
                    "ACTION {\"action\":\"%s\", \"auth_database\":\"system\", \"username\":%.*s%s, "
                    "\"remote_host\":%.*s%s, \"status\":1, \"login_time\":%lld, \"quit_after\":1, "
                    "\"local_port\":0, \"remote_user\":%.*s%s, \"auth_service\":%.*s%s, "
                    "\"tty\":%.*s%s, \"authtoken_hash\":%s}\n",
                    ACTION_LIST[action], f[F_USER].bytes(), f[F_USER].text(), f[F_USER].tail(),
                    f[F_RHOST].bytes(), f[F_RHOST].text(), f[F_RHOST].tail(),
                    static_cast<long long>(login_time), f[F_RUSER].bytes(), f[F_RUSER].text(),
                    f[F_RUSER].tail(), f[F_SERVICE].bytes(), f[F_SERVICE].text(),
                    f[F_SERVICE].tail(), f[F_TTY].bytes(), f[F_TTY].text(), f[F_TTY].tail(),
                    hash.text());
}

// Formats the line whole: while it is too long, the longest text member
// loses its last character. The hash and the fixed members are never cut.
void format_report(char *buf, int action, const char *user, const char *rhost,
                   const char *ruser, int64_t login_time, const char *service,
                   const char *tty, const char *hash)
{
    report_field fields[TEXT_FIELDS] = {{user, false}, {rhost, false}, {ruser, false},
                                        {service, false}, {tty, false}};
    report_field f_hash(hash, true);
    size_t length = size_t(print_report(buf, EXCHANGE_SIZE, action, fields, login_time, f_hash));
    if (length <= REPORT_LINE_MAX)
        return;
    while (length > REPORT_LINE_MAX) {
        report_field *longest = nullptr;
        for (auto &field : fields)
            if (field.cuttable() && (!longest || field.size() > longest->size()))
                longest = &field;
        if (!longest)
            break;
        length -= longest->cut_last();
    }
    print_report(buf, EXCHANGE_SIZE, action, fields, login_time, f_hash);
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

// A key that others may read or write still logs the module in: refusing it
// would only switch detection off.
void warn_of_weak_key(int fd)
{
    key_file_report report;
    if (inspect_key_file(fd, KEY_PATH, nullptr, BRUD_KEY_WARNED, &report) & BRUD_KEY_WARNED)
        _pam_log(LOG_ERR, "weak key file %s: %s", KEY_PATH, report.reasons);
}

}  // namespace

__attribute__((weak)) void brud_stage_passed(const char *) {}

// ---- Exported -------------------------------------------------------------

extern "C" {

VESNAR_EXPORT int get_brud_key(char *key)
{
    unique_fd file(open_key_file(KEY_PATH));
    if (file.get() < 0)
        return 0;
    warn_of_weak_key(file.get());
    size_t length = first_line_length(key, read_key_bytes(file.get(), key, BRUD_KEY_SIZE - 1, true));
    explicit_bzero(key + length, BRUD_KEY_SIZE - length);
    return 1;
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

    deadline connecting(CONNECT_SECONDS);
    unique_fd socket_fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    int fd = socket_fd.get();
    if (fd < 0)
        return fail(errno, "opening socket");
    if (!connect_daemon(fd, connecting))
        return fail(errno, "failed to connect stream socket");
    brud_stage_passed("connect");

    char buf[EXCHANGE_SIZE];
    wipe_on_exit wipe_buf(buf, sizeof buf);
    deadline welcome(WELCOME_SECONDS);
    ssize_t n = read_reply(fd, buf, welcome);
    if (n < 0)
        return fail(errno, "error reading welcome from stream socket");
    if (buf[0] != '2')
        return fail(0, "Unexpected welcome messge from quorixd: %.*s", shown_length(n), buf);
    brud_stage_passed("welcome");

    deadline login(LOGIN_SECONDS);
    explicit_bzero(buf, sizeof buf);
    snprintf(buf, sizeof buf, "AUTH pam %s\n", key);
    explicit_bzero(key, sizeof key);
    send_all(fd, buf, strlen(buf), login);  // not examined: a failed write shows in the reply
    n = read_reply(fd, buf, login);
    if (n < 0)
        return fail(errno, "error reading auth status from stream socket");
    if (buf[0] != '2')
        return fail(0, "error logging into brudd: %.*s", shown_length(n), buf);
    brud_stage_passed("login");
    return socket_fd.release();
}

VESNAR_EXPORT int tell_brud(int fd, int action, const char *user, const char *rhost,
                            const char *ruser, int64_t login_time, const char *service,
                            const char *tty, const char *hash)
{
    if (action != BRUD_ACTION_AUTHENTICATE && action != BRUD_ACTION_SETCRED)
        return BRUD_FAILED;

    deadline reporting(REPORT_SECONDS);
    char buf[EXCHANGE_SIZE];
    wipe_on_exit wipe_buf(buf, sizeof buf);  // the line carries the token hash
    memset(buf, 0, sizeof buf);
    format_report(buf, action, user, rhost, ruser, login_time, service, tty, hash);
    if (send_all(fd, buf, strlen(buf), reporting) < 0)
        return fail(errno, "err writing to stream socket");
    ssize_t n = read_reply(fd, buf, reporting);
    if (n < 0)
        return fail(errno, "error reading PAM_? from stream socket");
    return classify_verdict(buf, n);
}

VESNAR_EXPORT void disconnect_brud(int fd)
{
    close(fd);
}

}  // extern "C"
