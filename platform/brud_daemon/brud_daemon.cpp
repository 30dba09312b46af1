// Stand-in for the platform's brute-force daemon, for tests, the benchmark
// and the demo. It listens on a Unix stream socket and serves one
// connection at a time (or, with --workers N, up to N at once): welcome,
// login reply, verdict.
//
// Scripted mode (the default): each reply is a fixed text, and each stage
// can be made silent, closed, late, split in two or padded. Counting mode:
// the verdict is "550 ..." once a (username, remote_host) pair has made more
// than --limit authentication reports within the last --window seconds,
// "200 ..." otherwise.
#include "report_member.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

const char USAGE[] =
    "usage: brud_daemon [options]\n"
    "  --socket PATH        listen here (default /var/run/quorixd.sock)\n"
    "  --ready-fd N         write one byte to descriptor N once listening, then close it\n"
    "  --record FILE        append every line received, byte for byte\n"
    "  --key-file FILE      refuse logins whose key is not this file's first line\n"
    "  --welcome TEXT | --login TEXT | --verdict TEXT\n"
    "                       reply texts (escapes: \\n \\r \\t \\\\ \\0 \\xHH)\n"
    "  --silent STAGE       send nothing at STAGE and wait for the peer to close\n"
    "  --close STAGE        close the connection at STAGE without a reply\n"
    "  --hangup STAGE       reply at STAGE, then close the connection\n"
    "  --delay STAGE:MS     reply MS milliseconds late\n"
    "  --split STAGE:N      send the first N bytes, then the rest 200 ms later\n"
    "  --pad STAGE:N        pad the reply with 'x' to N bytes\n"
    "  --count              counting mode, with --limit N (default 5) and --window S (default 300)\n"
    "  --whole-lines        wait for each line's line feed, however long it takes\n"
    "  --verbose            one line per report on standard error\n"
    "  --workers N          serve up to N connections at once (default 1)\n"
    "STAGE is welcome, login or verdict.\n";

enum stage_index { WELCOME, LOGIN, VERDICT, STAGES };
const char *const STAGE_NAMES[STAGES] = {"welcome", "login", "verdict"};

enum class behaviour { reply, silent, close, hangup };

struct stage_script {
    std::string text;
    behaviour mode = behaviour::reply;
    int delay_ms = 0;
    size_t split_at = 0;  // 0: one write
    size_t pad_to = 0;
};

struct options {
    std::string socket_path = "/var/run/quorixd.sock";
    int ready_fd = -1;
    std::string record_path;
    std::string key_file;
    stage_script stages[STAGES];
    bool counting = false;
    size_t limit = 5;
    int window_seconds = 300;
    bool verbose = false;
    bool whole_lines = false;
    int workers = 1;
};

// Idle time after which a line without its line feed counts as complete
// (a report cut short by the module has none).
constexpr int LINE_IDLE_MS = 300;
constexpr int SPLIT_PAUSE_MS = 200;

[[noreturn]] void usage_error(const char *what)
{
    fprintf(stderr, "brud_daemon: %s\n%s", what, USAGE);
    exit(2);
}

std::string unescape(const char *s)
{
    std::string out;
    for (; *s; s++) {
        if (*s != '\\' || !s[1]) {
            out += *s;
            continue;
        }
        switch (*++s) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case '0': out += '\0'; break;
        case 'x':
            if (isxdigit((unsigned char)s[1]) && isxdigit((unsigned char)s[2])) {
                out += char(strtol(std::string(s + 1, 2).c_str(), nullptr, 16));
                s += 2;
                break;
            }
            out += 'x';
            break;
        default: out += *s; break;
        }
    }
    return out;
}

stage_index parse_stage(const std::string &name)
{
    for (int i = 0; i < STAGES; i++)
        if (name == STAGE_NAMES[i])
            return stage_index(i);
    usage_error(("unknown stage " + name).c_str());
}

// "STAGE:N" -> stage and number.
stage_index parse_stage_number(const char *arg, long *number)
{
    std::string text(arg);
    auto colon = text.find(':');
    if (colon == std::string::npos)
        usage_error("expected STAGE:N");
    *number = strtol(text.c_str() + colon + 1, nullptr, 10);
    return parse_stage(text.substr(0, colon));
}

options parse_options(int argc, char **argv)
{
    options o;
    o.stages[WELCOME].text = "220 quorixd ready\n";
    o.stages[LOGIN].text = "200 logged in\n";
    o.stages[VERDICT].text = "200 ok\n";
    for (int i = 1; i < argc; i++) {
        std::string opt = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc)
                usage_error(("missing value for " + opt).c_str());
            return argv[++i];
        };
        long n = 0;
        if (opt == "--socket") o.socket_path = value();
        else if (opt == "--ready-fd") o.ready_fd = atoi(value());
        else if (opt == "--record") o.record_path = value();
        else if (opt == "--key-file") o.key_file = value();
        else if (opt == "--welcome") o.stages[WELCOME].text = unescape(value());
        else if (opt == "--login") o.stages[LOGIN].text = unescape(value());
        else if (opt == "--verdict") o.stages[VERDICT].text = unescape(value());
        else if (opt == "--silent") o.stages[parse_stage(value())].mode = behaviour::silent;
        else if (opt == "--close") o.stages[parse_stage(value())].mode = behaviour::close;
        else if (opt == "--hangup") o.stages[parse_stage(value())].mode = behaviour::hangup;
        else if (opt == "--delay") { auto s = parse_stage_number(value(), &n); o.stages[s].delay_ms = int(n); }
        else if (opt == "--split") { auto s = parse_stage_number(value(), &n); o.stages[s].split_at = size_t(n); }
        else if (opt == "--pad") { auto s = parse_stage_number(value(), &n); o.stages[s].pad_to = size_t(n); }
        else if (opt == "--count") o.counting = true;
        else if (opt == "--limit") o.limit = size_t(atol(value()));
        else if (opt == "--window") o.window_seconds = atoi(value());
        else if (opt == "--verbose") o.verbose = true;
        else if (opt == "--whole-lines") o.whole_lines = true;
        else if (opt == "--workers") o.workers = std::max(1, atoi(value()));
        else if (opt == "--help") { fputs(USAGE, stdout); exit(0); }
        else usage_error(("unknown option " + opt).c_str());
    }
    return o;
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool write_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// Reads one line, its line feed included when it came; waits as long as
// nothing has arrived, and gives up LINE_IDLE_MS after the last byte unless
// whole lines are asked for. False when the peer closed before sending
// anything. The module sends nothing after a line until it has its reply,
// so reading in blocks takes nothing that belongs to the next line.
bool read_line(int fd, std::string *line, bool whole_lines)
{
    line->clear();
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, line->empty() || whole_lines ? -1 : LINE_IDLE_MS);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return !line->empty();
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return !line->empty();
        line->append(buf, size_t(n));
        if (line->back() == '\n')
            return true;
    }
}

void wait_for_close(int fd)
{
    char buf[256];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EINTR))
            return;
    }
}

// Returns false when the connection ends here.
bool act(int fd, const stage_script &stage, std::string text)
{
    if (stage.mode == behaviour::silent) {
        wait_for_close(fd);
        return false;
    }
    if (stage.mode == behaviour::close)
        return false;
    if (stage.pad_to > text.size())
        text.append(stage.pad_to - text.size(), 'x');
    if (stage.delay_ms)
        sleep_ms(stage.delay_ms);
    if (stage.split_at > 0 && stage.split_at < text.size()) {
        if (!write_all(fd, text.data(), stage.split_at))
            return false;
        sleep_ms(SPLIT_PAUSE_MS);
        return write_all(fd, text.data() + stage.split_at, text.size() - stage.split_at) &&
               stage.mode != behaviour::hangup;
    }
    return write_all(fd, text.data(), text.size()) && stage.mode != behaviour::hangup;
}

void record(const options &o, const std::string &line)
{
    if (o.record_path.empty())
        return;
    int fd = open(o.record_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        write_all(fd, line.data(), line.size());
        close(fd);
    }
}

std::string first_line_of(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "re");
    if (!f)
        return {};
    char buf[1024] = "";
    if (!fgets(buf, sizeof buf, f))
        buf[0] = '\0';
    fclose(f);
    buf[strcspn(buf, "\r\n")] = '\0';
    return buf;
}

class counter {
public:
    explicit counter(const options &o) : opts_(o) {}

    std::string verdict(const std::string &report)
    {
        if (report_member(report, "action") != "\"PAM_AUTHENTICATE\"")
            return "200 ok\n";
        std::string who = report_member(report, "username") + " " + report_member(report, "remote_host");
        std::lock_guard<std::mutex> hold(lock_);  // workers count into one table
        time_t now = time(nullptr);
        auto &seen = seen_[who];
        seen.push_back(now);
        while (!seen.empty() && seen.front() <= now - opts_.window_seconds)
            seen.pop_front();
        bool blocked = seen.size() > opts_.limit;
        if (opts_.verbose)
            fprintf(stderr, "brud_daemon: %s: %zu in %d s: %s\n", who.c_str(), seen.size(),
                    opts_.window_seconds, blocked ? "blocked" : "ok");
        return blocked ? "550 too many attempts\n" : "200 ok\n";
    }

private:
    const options &opts_;
    std::mutex lock_;
    std::map<std::string, std::deque<time_t>> seen_;
};

void serve(int fd, const options &o, counter &count)
{
    std::string line;
    if (!act(fd, o.stages[WELCOME], o.stages[WELCOME].text))
        return;
    if (!read_line(fd, &line, o.whole_lines))
        return;
    record(o, line);
    std::string login_reply = o.stages[LOGIN].text;
    if (!o.key_file.empty()) {
        std::string key = line.substr(0, line.find_first_of("\r\n"));
        if (key != "AUTH pam " + first_line_of(o.key_file))
            login_reply = "530 login refused\n";
    }
    if (!act(fd, o.stages[LOGIN], login_reply) || login_reply[0] != '2')
        return;
    if (!read_line(fd, &line, o.whole_lines))
        return;
    record(o, line);
    std::string verdict = o.counting ? count.verdict(line) : o.stages[VERDICT].text;
    if (!act(fd, o.stages[VERDICT], verdict))
        return;
    wait_for_close(fd);
}

int listen_on(const std::string &path)
{
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        usage_error("socket path too long");
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unlink(path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        chmod(path.c_str(), 0666) != 0 || listen(fd, 16) != 0) {
        perror(("brud_daemon: " + path).c_str());
        exit(1);
    }
    return fd;
}

// Accepts and serves connections one after the other; several workers may
// share the listener.
int accept_and_serve(int listener, const options &o, counter &count)
{
    for (;;) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            perror("brud_daemon: accept");
            return 1;
        }
        serve(fd, o, count);
        close(fd);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    options o = parse_options(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    int listener = listen_on(o.socket_path);
    if (o.ready_fd >= 0) {
        write_all(o.ready_fd, "R", 1);
        close(o.ready_fd);
    }
    counter count(o);
    for (int i = 1; i < o.workers; i++)
        std::thread([&] { exit(accept_and_serve(listener, o, count)); }).detach();
    return accept_and_serve(listener, o, count);
}
