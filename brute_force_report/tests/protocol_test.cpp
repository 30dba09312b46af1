// The daemon protocol called directly: key, line reader, login, report,
// verdicts, timeouts, the host's alarm and SIGALRM action, descriptors.
#include "brud.h"
#include "brud_harness.h"
#include "json.h"
#include "host_alarm.h"
#include "open_probe.h"
#include "readline.h"
#include "sandbox.h"
#include "syslog_capture.h"

#include <gtest/gtest.h>
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#else
#define RUNNING_ON_VALGRIND 0
#endif

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <chrono>
#include <thread>

namespace {

// A connect_brud + tell_brud exchange; the descriptor is always closed.
int report_once(const char *user = "alice", const char *hash = "$6$h")
{
    int fd = connect_brud();
    if (fd < 0)
        return -100;
    int told = tell_brud(fd, BRUD_ACTION_AUTHENTICATE, user, "192.0.2.1", nullptr, 1700000000,
                         "sshd", "ssh", hash);
    disconnect_brud(fd);
    return told;
}

bool close_on_exec(int fd) { return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

class Brud : public ::testing::Test {
protected:
    void SetUp() override
    {
        enable_brud();
        clear_log();
        fds_before = count_open_fds();
    }
    void TearDown() override { EXPECT_EQ(count_open_fds(), fds_before) << "descriptor left open"; }
    int fds_before = 0;
};

}  // namespace

// ---- Key and line reader ------------------------------------------------------

TEST_F(Brud, KeyIsTheFirstLineCutAt255Bytes)
{
    struct {
        std::string file, key;
    } cases[] = {
        {"plain\n", "plain"},
        {"crlf\r\nsecond\n", "crlf"},
        {"", ""},
        {"no-line-end", "no-line-end"},
        {std::string(300, 'k') + "\nnext\n", std::string(255, 'k')},
    };
    for (auto &c : cases) {
        write_file(KEY_FILE, c.file, 0600);
        char key[BRUD_KEY_SIZE];
        memset(key, '#', sizeof key);
        EXPECT_EQ(get_brud_key(key), 1);
        EXPECT_EQ(std::string(key), c.key) << c.file;
    }
    remove_tree(KEY_FILE);
    char key[BRUD_KEY_SIZE] = "";
    EXPECT_EQ(get_brud_key(key), 0);
}

TEST_F(Brud, ReadlineLeavesEverythingAfterTheLineUnread)
{
    write_file("/tmp/lines", "one\r\ntwo-long-line\nend");
    FILE *f = fopen("/tmp/lines", "re");
    ASSERT_NE(f, nullptr);
    char buf[8];
    EXPECT_EQ(readline(buf, f, 7), 1);
    EXPECT_STREQ(buf, "one");
    EXPECT_EQ(readline(buf, f, 7), 1);  // the LF after the CR
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(readline(buf, f, 7), 1);  // over-long: the rest of the line is dropped
    EXPECT_STREQ(buf, "two-lon");
    EXPECT_EQ(readline(buf, f, 7), 1);
    EXPECT_STREQ(buf, "end");
    EXPECT_EQ(readline(buf, f, 7), 1);  // end of file: empty, still 1
    EXPECT_STREQ(buf, "");
    fclose(f);
}

// ---- Connecting ---------------------------------------------------------------

TEST_F(Brud, ConnectLogsInWithTheKeyOnACloseOnExecSocket)
{
    brud_daemon daemon({"--welcome", "2", "--login", "2xx whatever follows"});
    int fd = connect_brud();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(close_on_exec(fd));
    int plain = fcntl(fd, F_DUPFD, 0);  // control: a copy without the flag
    EXPECT_FALSE(close_on_exec(plain));
    close(plain);
    disconnect_brud(fd);
    EXPECT_EQ(daemon.received(), "AUTH pam " + TEST_KEY + "\n");
    EXPECT_TRUE(brud_log().empty());

    write_file(KEY_FILE, "", 0600);
    fd = connect_brud();
    ASSERT_GE(fd, 0);
    disconnect_brud(fd);
    EXPECT_EQ(daemon.lines().back(), "AUTH pam \n");
}

TEST_F(Brud, KeyFileIsOpenedCloseOnExecWithoutWaiting)
{
    char key[BRUD_KEY_SIZE] = "";
    int flags = open_flags_during(KEY_FILE, [&] { EXPECT_EQ(get_brud_key(key), 1); });
    ASSERT_GE(flags, 0) << "the key file's open was not seen";
    EXPECT_EQ(flags & (O_CLOEXEC | O_NONBLOCK), O_CLOEXEC | O_NONBLOCK);
    // Control: the probe sees an open without them as such.
    int plain = open_flags_during(KEY_FILE, [] { close(open(KEY_FILE.c_str(), O_RDONLY)); });
    EXPECT_EQ(plain, O_RDONLY);
}

TEST_F(Brud, KeyFilesThatCannotHoldALogin)
{
    brud_daemon daemon;
    struct {
        const char *what;
        void (*make)();
        const char *login;  // null: refused as "error getting brud key"
    } rows[] = {
        {"missing", [] {}, nullptr},
        {"a FIFO that nobody writes", [] { ASSERT_EQ(mkfifo(KEY_FILE.c_str(), 0600), 0); }, nullptr},
        {"a link to /dev/zero", [] { ASSERT_EQ(symlink("/dev/zero", KEY_FILE.c_str()), 0); }, nullptr},
        {"a directory", [] { make_dirs(KEY_FILE); }, nullptr},
        {"20 MB without a line end", [] { write_file(KEY_FILE, std::string(20 << 20, 'k'), 0600); },
         "AUTH pam kkkkk"},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.what);
        remove_tree(KEY_FILE);
        row.make();
        clear_log();
        size_t lines = daemon.lines().size();
        auto start = test_clock::now();
        int fd = connect_brud();
        EXPECT_LT(seconds_since(start), 1.0);
        if (fd >= 0)
            disconnect_brud(fd);
        if (!row.login) {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(brud_log(), std::vector<std::string>{"error getting brud key"});
            EXPECT_EQ(daemon.lines().size(), lines);
            continue;
        }
        EXPECT_GE(fd, 0);
        EXPECT_EQ(daemon.lines().back(), "AUTH pam " + std::string(255, 'k') + "\n");
    }
}

TEST_F(Brud, EveryFailedLoginLogsOnceAndClosesTheSocket)
{
    const std::string big_welcome = "5" + std::string(1023, 'x');
    struct {
        std::vector<std::string> script;
        std::string message;
    } cases[] = {
        {{"--close", "welcome"}, "Unexpected welcome messge from quorixd: "},
        // Control characters reach the log as the system's logger writes
        // them, and one line end at the very end is dropped.
        {{"--welcome", "521 busy\\r\\n"}, "Unexpected welcome messge from quorixd: 521 busy#015"},
        {{"--welcome", "\\x01\\x7f\\x1b[2J 2"}, "Unexpected welcome messge from quorixd: #001#177#033[2J 2"},
        {{"--welcome", "5", "--pad", "welcome:3000"}, "Unexpected welcome messge from quorixd: " + big_welcome},
        {{"--welcome", "530", "--split", "welcome:1"}, "Unexpected welcome messge from quorixd: 5"},
        {{"--login", "530 bad key\\n"}, "error logging into brudd: 530 bad key"},
        {{"--close", "login"}, "error logging into brudd: "},
        {{"--login", "5", "--pad", "login:1500"},
         "error logging into brudd: 5" + std::string(1023, 'x')},
    };
    for (auto &c : cases) {
        brud_daemon daemon(c.script);
        clear_log();
        EXPECT_EQ(connect_brud(), -1) << c.message;
        EXPECT_EQ(brud_log(), std::vector<std::string>{c.message});
        EXPECT_EQ(count_open_fds(), fds_before) << c.message;
    }
    // No daemon at all.
    clear_log();
    EXPECT_EQ(connect_brud(), -1);
    EXPECT_EQ(brud_log(), std::vector<std::string>{"failed to connect stream socket"});
}

TEST_F(Brud, RepliesInPiecesOrLateAreTakenFromOneRead)
{
    // A late login reply, within its 10 s, is accepted.
    {
        brud_daemon daemon({"--delay", "login:1500"});
        auto start = test_clock::now();
        int fd = connect_brud();
        EXPECT_GE(fd, 0);
        EXPECT_GE(seconds_since(start), 1.4);
        disconnect_brud(fd);
    }
    // "2" alone is a welcome; its second piece is then what the login reads.
    brud_daemon daemon({"--welcome", "220 hello\\n", "--split", "welcome:1", "--login", "530 no\\n"});
    int fd = connect_brud();
    EXPECT_GE(fd, 0);
    disconnect_brud(fd);
    EXPECT_TRUE(brud_log().empty());
}

TEST_F(Brud, EachWaitEndsAtItsStagesBudget)
{
    struct {
        const char *silent_stage;  // null: a connect() that waits (full backlog)
        double budget;
        const char *message;
    } rows[] = {
        {nullptr, 2, "failed to connect stream socket"},
        {"welcome", 1, "error reading welcome from stream socket"},
        {"login", 10, "error reading auth status from stream socket"},
        {"verdict", 10, "error reading PAM_? from stream socket"},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.message);
        clear_log();
        std::unique_ptr<brud_daemon> daemon;
        std::unique_ptr<full_backlog> backlog;
        if (row.silent_stage)
            daemon = std::make_unique<brud_daemon>(std::vector<std::string>{"--silent", row.silent_stage});
        else
            backlog = std::make_unique<full_backlog>();
        int fd = -1;
        if (row.silent_stage && strcmp(row.silent_stage, "verdict") == 0) {
            fd = connect_brud();
            ASSERT_GE(fd, 0);
            clear_log();
        }
        auto start = test_clock::now();
        int result = fd < 0 ? connect_brud()
                            : tell_brud(fd, 0, "alice", nullptr, nullptr, 1, nullptr, nullptr, nullptr);
        double took = seconds_since(start);
        if (fd >= 0)
            disconnect_brud(fd);
        EXPECT_EQ(result, -1);
        EXPECT_GE(took, row.budget - 0.01);
        EXPECT_LT(took, row.budget + 0.5);
        std::vector<std::string> expected = {"timeout while connecting to quorixd", row.message};
        EXPECT_EQ(brud_log(), expected);
    }
}

// ---- Reporting ----------------------------------------------------------------

TEST_F(Brud, VerdictTable)
{
    const std::string big = "550" + std::string(1021, 'x');
    struct {
        std::vector<std::string> script;
        int result;
        const char *logged;  // null: no message
    } cases[] = {
        {{"--verdict", "200 ok\\n"}, BRUD_ALLOWED, nullptr},
        {{"--verdict", "2"}, BRUD_ALLOWED, nullptr},
        {{"--verdict", "550 blocked\\n"}, BRUD_BLOCKED, "550 blocked"},
        {{"--verdict", "580 blocked\\n"}, BRUD_BLOCKED_58, "580 blocked"},
        {{"--verdict", "500 later\\n"}, BRUD_DEFERRED, "500 later"},
        {{"--verdict", "-1\\n"}, BRUD_FAILED, "-1"},
        {{"--verdict", "421 no\\n"}, BRUD_FAILED, "421 no"},
        {{"--verdict", "5"}, BRUD_UNKNOWN, "5"},
        {{"--verdict", "550", "--split", "verdict:1"}, BRUD_UNKNOWN, "5"},
        {{"--verdict", "hello\\x01\\x02"}, BRUD_UNKNOWN, "hello#001#002"},
        {{"--close", "verdict"}, BRUD_UNKNOWN, ""},
        {{"--verdict", "550", "--pad", "verdict:4096"}, BRUD_BLOCKED, big.c_str()},
        {{"--verdict", "\\x00550"}, BRUD_UNKNOWN, ""},
    };
    for (auto &c : cases) {
        brud_daemon daemon(c.script);
        clear_log();
        EXPECT_EQ(report_once(), c.result) << c.script[1];
        std::vector<std::string> expected;
        if (c.logged)
            expected.push_back(std::string("Brute force detection active: ") + c.logged);
        EXPECT_EQ(brud_log(), expected) << c.script[1];
        EXPECT_EQ(daemon.lines().size(), 2u);
        EXPECT_EQ(count_open_fds(), fds_before);
    }
}

TEST_F(Brud, ReportLineCarriesEveryFieldQuotedOrNull)
{
    brud_daemon daemon;
    int fd = connect_brud();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(tell_brud(fd, BRUD_ACTION_AUTHENTICATE, "al\"ice", "198.51.100.9", "r\\u",
                        -5, "sshd", "pts/1", "$6$salt$hash"),
              BRUD_ALLOWED);
    disconnect_brud(fd);
    fd = connect_brud();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(tell_brud(fd, BRUD_ACTION_SETCRED, "bob", nullptr, nullptr, 4102444800LL, nullptr,
                        nullptr, nullptr),
              BRUD_ALLOWED);
    disconnect_brud(fd);

    auto lines = daemon.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1],
              "ACTION {\"action\":\"PAM_AUTHENTICATE\", \"auth_database\":\"system\", "
              "\"username\":\"al\\\"ice\", \"remote_host\":\"198.51.100.9\", \"status\":1, "
              "\"login_time\":-5, \"quit_after\":1, \"local_port\":0, \"remote_user\":\"r\\\\u\", "
              "\"auth_service\":\"sshd\", \"tty\":\"pts/1\", \"authtoken_hash\":\"$6$salt$hash\"}\n");
    EXPECT_EQ(lines[3],
              "ACTION {\"action\":\"PAM_SETCRED\", \"auth_database\":\"system\", \"username\":\"bob\", "
              "\"remote_host\":null, \"status\":1, \"login_time\":4102444800, \"quit_after\":1, "
              "\"local_port\":0, \"remote_user\":null, \"auth_service\":null, \"tty\":null, "
              "\"authtoken_hash\":null}\n");
}

namespace {

// The text of a string member of a decoded report; "(absent)" otherwise.
std::string string_member(const json_node *report, const char *key)
{
    json_node *m = json_find_member(const_cast<json_node *>(report), key);
    return m && m->tag == TAG_STRING ? m->string_ : "(absent)";
}

}  // namespace

TEST_F(Brud, OverlongReportIsCutToAWholeLineThatIsAnsweredAtOnce)
{
    brud_daemon daemon({"--whole-lines", "--verdict", "550 too many attempts\\n"});
    // Control: a line cut short without its line feed gets no verdict from
    // a daemon that reads up to the line end.
    {
        int fd = connect_brud();
        ASSERT_GE(fd, 0);
        std::string cut = "ACTION {\"action\":\"PAM_AUTHENTICATE\", \"username\":\"" + std::string(970, 'u');
        ASSERT_EQ(write(fd, cut.data(), cut.size()), ssize_t(cut.size()));
        struct pollfd reply = {fd, POLLIN, 0};
        EXPECT_EQ(poll(&reply, 1, 1000), 0) << "a line without its end was answered";
        disconnect_brud(fd);
    }

    struct report {
        std::string user, rhost, ruser, service, tty;
    };
    // Each text member long in turn, two at once, then values of multi-byte
    // characters and of escapes with the cut at every offset into them.
    const std::string x(1500, 'x');
    struct row {
        std::string what;
        report sent;
        std::vector<size_t> kept;  // bytes of each member's text kept; empty: only the user cut
        std::string unit = {};     // then: the user's repeated character, as decoded
    };
    std::vector<row> rows = {
        {"user", {x, "192.0.2.1", "bob", "sshd", "ssh"}, {669, 9, 3, 4, 3}},
        {"remote host", {"alice", x, "bob", "sshd", "ssh"}, {5, 673, 3, 4, 3}},
        {"remote user", {"alice", "192.0.2.1", x, "sshd", "ssh"}, {5, 9, 667, 4, 3}},
        {"service", {"alice", "192.0.2.1", "bob", x, "ssh"}, {5, 9, 3, 668, 3}},
        {"terminal", {"alice", "192.0.2.1", "bob", "sshd", x}, {5, 9, 3, 4, 667}},
        // The same name twice, as ProFTPD reports it: on a tie the user goes first.
        {"user and remote user",
         {std::string(700, 'a'), "192.0.2.1", std::string(700, 'b'), "proftpd", "/dev/ftpd4242"},
         {329, 9, 330, 7, 13}},
        {"the longer of two",
         {std::string(800, 'a'), "192.0.2.1", std::string(300, 'b'), "dovecot", "dovecot"},
         {365, 9, 300, 7, 7}},
    };
    const char *units[][2] = {{"\xc3\xa9", "\xc3\xa9"},
                              {"\xe2\x82\xac", "\xe2\x82\xac"},
                              {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
                              {"\x01", "\x01"},                 // "\u0001"
                              {"\"", "\""},                     // "\\\""
                              {"\xff", "\xef\xbf\xbd"}};        // no UTF-8: U+FFFD
    for (auto &unit : units)
        for (size_t offset = 0; offset < 6; offset++) {
            std::string user(offset, 'u');
            while (user.size() < 1400)
                user += unit[0];
            rows.push_back({"unit " + testing::PrintToString(std::string(unit[0])) + " after " +
                                std::to_string(offset),
                            {user, "192.0.2.1", "bob", "sshd", "ssh"}, {}, unit[1]});
        }

    const std::string hash = "$6$" + std::string(99, 'h');
    for (auto &row : rows) {
        SCOPED_TRACE(row.what);
        const report &r = row.sent;
        int fd = connect_brud();
        ASSERT_GE(fd, 0);
        size_t lines = daemon.lines().size();  // the daemon serves one connection at a time
        auto start = test_clock::now();
        EXPECT_EQ(tell_brud(fd, BRUD_ACTION_AUTHENTICATE, r.user.c_str(), r.rhost.c_str(),
                            r.ruser.c_str(), 1700000000, r.service.c_str(), r.tty.c_str(),
                            hash.c_str()),
                  BRUD_BLOCKED);
        EXPECT_LT(seconds_since(start), 1.0);
        disconnect_brud(fd);

        auto got = daemon.lines();
        ASSERT_EQ(got.size(), lines + 1);
        const std::string &line = got.back();
        EXPECT_LE(line.size(), 1023u);
        EXPECT_GE(line.size(), 1018u) << "cut more than one escape too many";
        ASSERT_EQ(line.substr(line.size() - 2), "}\n");
        ASSERT_EQ(line.substr(0, 7), "ACTION ");
        json_node *decoded = json_decode(line.c_str() + 7);
        ASSERT_NE(decoded, nullptr) << line;
        std::string values[] = {string_member(decoded, "username"), string_member(decoded, "remote_host"),
                                string_member(decoded, "remote_user"),
                                string_member(decoded, "auth_service"), string_member(decoded, "tty")};
        const std::string *sent[] = {&r.user, &r.rhost, &r.ruser, &r.service, &r.tty};
        EXPECT_EQ(string_member(decoded, "authtoken_hash"), hash);
        EXPECT_EQ(member(line, "login_time"), "1700000000");
        json_delete(decoded);
        if (!row.kept.empty()) {
            for (size_t i = 0; i < 5; i++) {
                EXPECT_EQ(values[i].size(), row.kept[i]) << i;
                EXPECT_EQ(values[i], sent[i]->substr(0, row.kept[i])) << i;
            }
            continue;
        }
        // The user is cut between two whole characters.
        const std::string &user = values[0];
        size_t offset = r.user.find_first_not_of('u');
        ASSERT_GT(user.size(), offset);
        std::string expected(offset, 'u');
        while (expected.size() < user.size())
            expected += row.unit;
        EXPECT_EQ(user, expected);
        for (size_t i = 1; i < 5; i++)
            EXPECT_EQ(values[i], *sent[i]);
    }
}

TEST_F(Brud, ReportOnABadDescriptorOrActionFails)
{
    EXPECT_EQ(tell_brud(-1, 0, "alice", nullptr, nullptr, 1, nullptr, nullptr, nullptr), BRUD_FAILED);
    EXPECT_EQ(brud_log(), std::vector<std::string>{"err writing to stream socket"});

    brud_daemon daemon;
    int fd = connect_brud();
    ASSERT_GE(fd, 0);
    clear_log();
    EXPECT_EQ(tell_brud(fd, 2, "alice", nullptr, nullptr, 1, nullptr, nullptr, nullptr), BRUD_FAILED);
    disconnect_brud(fd);
    EXPECT_EQ(daemon.lines().size(), 1u);  // the login only
    EXPECT_TRUE(brud_log().empty());
}

// ---- A daemon that hangs up: SIGPIPE stays at its default action ---------------

static bool peer_closed(int fd)
{
    struct pollfd p = {fd, POLLRDHUP, 0};
    return poll(&p, 1, 5000) == 1 && (p.revents & (POLLRDHUP | POLLHUP));
}

TEST_F(Brud, HostSurvivesWritingToADaemonThatHungUp)
{
    struct sigaction pipe_action;
    sigaction(SIGPIPE, nullptr, &pipe_action);
    ASSERT_EQ(pipe_action.sa_handler, SIG_DFL);

    // Control: a plain write to the same kind of hung-up daemon kills a process.
    {
        brud_daemon daemon({"--hangup", "login"});
        pid_t child = fork();
        if (child == 0) {
            int fd = connect_brud();
            if (fd < 0 || !peer_closed(fd))
                _exit(3);
            const char line[] = "ACTION {}\n";
            for (int i = 0; i < 3; i++)
                if (write(fd, line, sizeof line - 1) < 0)
                    _exit(4);
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
        EXPECT_EQ(WTERMSIG(status), SIGPIPE);
    }

    brud_daemon daemon({"--hangup", "login"});
    int fd = connect_brud();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(peer_closed(fd));
    clear_log();
    EXPECT_EQ(tell_brud(fd, 0, "alice", nullptr, nullptr, 1, nullptr, nullptr, nullptr), BRUD_FAILED);
    disconnect_brud(fd);
    EXPECT_EQ(brud_log(), std::vector<std::string>{"err writing to stream socket"});

    // Hung up right after the welcome: the login write meets a closed peer
    // (or just precedes the close); either way the login fails quietly.
    // A login that reached the daemon unread makes its close a reset.
    brud_daemon early({"--hangup", "welcome"});
    for (int i = 0; i < 5; i++) {
        clear_log();
        EXPECT_EQ(connect_brud(), -1);
        auto log = brud_log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_TRUE(log[0] == "error logging into brudd: " ||
                    log[0] == "error reading auth status from stream socket")
            << log[0];
    }
}

// ---- The host's own signals ------------------------------------------------------

namespace {

volatile sig_atomic_t host_signals = 0;
void note_host_signal(int) { host_signals = host_signals + 1; }

// The host's SIGUSR1 handler, without SA_RESTART as most daemons install
// theirs, sent to the calling thread every 200 microseconds by another
// thread until the storm ends.
class host_signal_storm {
public:
    host_signal_storm() : target_(pthread_self())
    {
        struct sigaction act;
        memset(&act, 0, sizeof act);
        act.sa_handler = note_host_signal;
        sigemptyset(&act.sa_mask);
        sigaction(SIGUSR1, &act, &previous_);
        thread_ = std::thread([this] {
            while (!stop_) {
                pthread_kill(target_, SIGUSR1);
                usleep(200);
            }
        });
    }
    ~host_signal_storm()
    {
        stop_ = true;
        thread_.join();
        sigaction(SIGUSR1, &previous_, nullptr);
    }

private:
    pthread_t target_;
    struct sigaction previous_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

TEST_F(Brud, HostSignalsWithoutRestartNeverChangeAVerdict)
{
    struct {
        const char *verdict;
        int result;
    } rows[] = {{"200 ok\\n", BRUD_ALLOWED}, {"550 blocked\\n", BRUD_BLOCKED}};
    constexpr int CALLS = 50;
    for (auto &row : rows) {
        SCOPED_TRACE(row.verdict);
        brud_daemon daemon({"--verdict", row.verdict, "--delay", "welcome:2", "--delay", "login:2",
                            "--delay", "verdict:2"});
        clear_log();
        host_signal_storm storm;
        // Control: the storm does interrupt this thread's own waits.
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        struct timeval second = {1, 0};
        setsockopt(pair[0], SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
        char byte;
        EXPECT_EQ(read(pair[0], &byte, 1), -1);
        EXPECT_EQ(errno, EINTR);
        close(pair[0]);
        close(pair[1]);

        int signals_before = host_signals;
        for (int i = 0; i < CALLS; i++)
            EXPECT_EQ(report_once(), row.result) << "call " << i;
        EXPECT_GT(host_signals - signals_before, CALLS) << "the signals did not land during the calls";
        auto log = brud_log();
        EXPECT_EQ(log.size(), row.result == BRUD_ALLOWED ? 0u : size_t(CALLS));
        EXPECT_EQ(std::count(log.begin(), log.end(), "timeout while connecting to quorixd"), 0);
    }
}

TEST_F(Brud, HostAlarmDueDuringAWaitGoesOffOnTimeWhileTheModuleWaits)
{
    brud_daemon daemon({"--delay", "welcome:600"});
    install_host_handler();
    host_alarms = 0;
    auto start = test_clock::now();
    struct itimerval host = {{0, 0}, {0, 200000}};
    setitimer(ITIMER_REAL, &host, nullptr);
    int fd = connect_brud();
    double took = seconds_since(start);
    ASSERT_GE(fd, 0);
    disconnect_brud(fd);
    EXPECT_GE(took, 0.6);
    ASSERT_EQ(host_alarms, 1);
    double fired = std::chrono::duration<double>(host_alarm_at - start).count();
    EXPECT_GE(fired, 0.2);
    EXPECT_LT(fired, RUNNING_ON_VALGRIND ? 0.5 : 0.25);  // valgrind delivers signals late
    expect_host_handler_in_force();
    EXPECT_TRUE(brud_log().empty());
    signal(SIGALRM, SIG_DFL);
}
