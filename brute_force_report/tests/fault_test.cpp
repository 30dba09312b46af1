// Failures that a test cannot provoke from outside, and what the module does
// with its secrets. This executable defines socket, sigaction, send and
// explicit_bzero itself; the module's calls of them bind here.
#include "brud.h"
#include "brud_harness.h"
#include "host_alarm.h"
#include "pam_app.h"
#include "sandbox.h"
#include "syslog_capture.h"

#include <gtest/gtest.h>

#include <crypt.h>
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <thread>
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#else
#define VALGRIND_MAKE_MEM_DEFINED(p, n) ((void)(p), (void)(n))
#endif

// What the interposed calls below do, set by each test.
namespace {
namespace fault {
bool fail_unix_socket = false;
double slow_unix_socket = 0;  // seconds of CPU spent before creating one
int sigalrm_sets = 0;     // calls that set the SIGALRM action
int fail_sigalrm_set = 0;  // fail this one (1-based); 0: none
int sends = 0;
int fail_send = 0;         // fail this one (1-based); 0: none
bool fail_socket_timeouts = false;
std::vector<int> send_flags;
bool record_wipes = false;
std::vector<std::string> wipes;

void reset()
{
    fail_unix_socket = false;
    slow_unix_socket = 0;
    sigalrm_sets = fail_sigalrm_set = sends = fail_send = 0;
    fail_socket_timeouts = false;
    send_flags.clear();
    record_wipes = false;
    wipes.clear();
}
}  // namespace fault
}  // namespace

template <typename F>
static F next_definition(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

extern "C" {
__attribute__((visibility("default"))) int socket(int domain, int type, int protocol)
{
    if (fault::fail_unix_socket && domain == AF_UNIX) {
        errno = EMFILE;
        return -1;
    }
    if (fault::slow_unix_socket > 0 && domain == AF_UNIX) {
        // Busy, not asleep: an alarm now goes off between two calls.
        auto start = test_clock::now();
        while (seconds_since(start) < fault::slow_unix_socket) {
        }
    }
    static auto real = next_definition<int (*)(int, int, int)>("socket");
    return real(domain, type, protocol);
}

__attribute__((visibility("default"))) int sigaction(int sig, const struct sigaction *act,
                                                     struct sigaction *old)
{
    if (sig == SIGALRM && act && ++fault::sigalrm_sets == fault::fail_sigalrm_set) {
        errno = EINVAL;
        return -1;
    }
    static auto real = next_definition<int (*)(int, const struct sigaction *, struct sigaction *)>("sigaction");
    return real(sig, act, old);
}

__attribute__((visibility("default"))) ssize_t send(int fd, const void *buf, size_t n, int flags)
{
    fault::send_flags.push_back(flags);
    if (++fault::sends == fault::fail_send) {
        errno = EIO;
        return -1;
    }
    static auto real = next_definition<ssize_t (*)(int, const void *, size_t, int)>("send");
    return real(fd, buf, n, flags);
}

__attribute__((visibility("default"))) int setsockopt(int fd, int level, int name, const void *value,
                                                      socklen_t size)
{
    if (fault::fail_socket_timeouts && level == SOL_SOCKET && (name == SO_RCVTIMEO || name == SO_SNDTIMEO)) {
        errno = ENOPROTOOPT;
        return -1;
    }
    static auto real = next_definition<int (*)(int, int, int, const void *, socklen_t)>("setsockopt");
    return real(fd, level, name, value, size);
}

// Records the wipes that pam_brud itself asks for (libcrypt wipes its own
// scratch memory through here as well).
static void wipe(void *p, size_t n, void *caller)
{
    Dl_info info;
    if (fault::record_wipes && dladdr(caller, &info) && info.dli_fname &&
        strcmp(info.dli_fname, PAM_BRUD_SO) == 0) {
        // A buffer zeroed before its first use holds bytes never set; only
        // the recorded copy is searched, so they count as defined there.
        fault::wipes.emplace_back(static_cast<char *>(p), n);
        VALGRIND_MAKE_MEM_DEFINED(fault::wipes.back().data(), n);
    }
    memset(p, 0, n);
    asm volatile("" : : "r"(p) : "memory");
}

__attribute__((visibility("default"))) void explicit_bzero(void *p, size_t n)
{
    wipe(p, n, __builtin_return_address(0));
}

// The fortified name; <string.h> declares it only when fortification is on.
void __explicit_bzero_chk(void *p, size_t n, size_t);
__attribute__((visibility("default"))) void __explicit_bzero_chk(void *p, size_t n, size_t)
{
    wipe(p, n, __builtin_return_address(0));
}
}

namespace {

const std::string STACK_LINE = std::string("auth required ") + PAM_BRUD_SO;

int module_result(int stack_result)
{
    return stack_result == PAM_PERM_DENIED ? PAM_IGNORE : stack_result;
}

int authenticate(const char *token = "tok en")
{
    pam_app app("sshd", {STACK_LINE});
    app.start("alice");
    app.set_item(PAM_RHOST, "192.0.2.8");
    app.fallback.text = token;
    return module_result(app.authenticate());
}

int setcred()
{
    pam_app app("sshd", {STACK_LINE});
    app.start("alice");
    return module_result(app.setcred(PAM_ESTABLISH_CRED));
}

bool any_wipe_contains(const std::string &text)
{
    for (auto &w : fault::wipes)
        if (w.find(text) != std::string::npos)
            return true;
    return false;
}

class BrudFault : public ::testing::Test {
protected:
    void SetUp() override
    {
        enable_brud();
        clear_log();
        fault::reset();
        fds_before = count_open_fds();
    }
    void TearDown() override
    {
        fault::reset();
        EXPECT_EQ(count_open_fds(), fds_before) << "descriptor left open";
    }
    int fds_before = 0;
};

}  // namespace

TEST_F(BrudFault, SocketThatCannotBeCreated)
{
    brud_daemon daemon;
    install_host_alarm();
    fault::fail_unix_socket = true;
    EXPECT_EQ(connect_brud(), -1);
    expect_host_alarm_kept();
    EXPECT_EQ(brud_log(), std::vector<std::string>{"opening socket"});
    EXPECT_PAM(authenticate(), PAM_IGNORE);
    EXPECT_EQ(daemon.received(), "");
}

TEST_F(BrudFault, AlarmThatWentOffBetweenCallsStillEndsTheStage)
{
    // The 2 s for connecting are spent before connect() starts; connect()
    // must not then wait without a timeout.
    full_backlog backlog;
    fault::slow_unix_socket = 2.3;
    EXPECT_EQ(connect_brud(), -1);
    std::vector<std::string> expected = {"timeout while connecting to quorixd",
                                         "failed to connect stream socket"};
    EXPECT_EQ(brud_log(), expected);
}

TEST_F(BrudFault, SigalrmActionThatCannotBeInstalledForTheLogin)
{
    brud_daemon daemon;
    install_host_alarm();
    fault::fail_sigalrm_set = fault::sigalrm_sets + 1;
    EXPECT_EQ(connect_brud(), -1);
    expect_host_alarm_kept();
    EXPECT_EQ(brud_log(), std::vector<std::string>{"error setting sigalrm"});
    EXPECT_EQ(daemon.received(), "");
}

TEST_F(BrudFault, SigalrmActionThatCannotBeInstalledForTheReport)
{
    brud_daemon daemon;
    int fd = connect_brud();
    ASSERT_GE(fd, 0);
    install_host_alarm();
    fault::fail_sigalrm_set = fault::sigalrm_sets + 1;
    EXPECT_EQ(tell_brud(fd, 0, "alice", nullptr, nullptr, 1, nullptr, nullptr, nullptr), BRUD_FAILED);
    disconnect_brud(fd);
    expect_host_alarm_kept();
    EXPECT_TRUE(brud_log().empty());
    EXPECT_EQ(daemon.lines().size(), 1u);  // the login only

    // Through libpam: the connection's own set and restore come first.
    fault::fail_sigalrm_set = fault::sigalrm_sets + 3;
    EXPECT_PAM(authenticate(), PAM_IGNORE);
    fault::fail_sigalrm_set = fault::sigalrm_sets + 3;
    EXPECT_PAM(setcred(), PAM_SUCCESS);
    EXPECT_EQ(daemon.lines().size(), 3u);  // two more logins, no report
    EXPECT_TRUE(brud_log().empty());
}

TEST_F(BrudFault, ReportThatCannotBeWritten)
{
    brud_daemon daemon;
    fault::fail_send = fault::sends + 2;
    EXPECT_PAM(authenticate(), PAM_IGNORE);
    fault::fail_send = fault::sends + 2;
    EXPECT_PAM(setcred(), PAM_SUCCESS);
    std::vector<std::string> expected(2, "err writing to stream socket");
    EXPECT_EQ(brud_log(), expected);
    EXPECT_EQ(daemon.lines().size(), 2u);
}

TEST_F(BrudFault, EveryWriteToTheDaemonIsNoSignal)
{
    brud_daemon daemon;
    EXPECT_PAM(authenticate(), PAM_SUCCESS);
    ASSERT_EQ(fault::send_flags.size(), 2u);
    for (int flags : fault::send_flags)
        EXPECT_EQ(flags & MSG_NOSIGNAL, MSG_NOSIGNAL);
}

TEST_F(BrudFault, KeyLoginLineAndHashAreWipedOnceSent)
{
    brud_daemon daemon;
    // Control: with the feature off nothing secret passes through a wipe.
    remove_tree(FLAG_FILE);
    fault::record_wipes = true;
    EXPECT_PAM(authenticate(), PAM_SUCCESS);
    EXPECT_FALSE(any_wipe_contains(TEST_KEY));

    enable_brud();
    fault::wipes.clear();
    EXPECT_PAM(authenticate(), PAM_SUCCESS);
    fault::record_wipes = false;
    auto lines = daemon.lines();
    ASSERT_EQ(lines.size(), 2u);
    std::string quoted_hash = member(lines[1], "authtoken_hash");
    ASSERT_EQ(quoted_hash.substr(0, 4), "\"$6$");
    std::string hash = quoted_hash.substr(1, quoted_hash.size() - 2);

    bool key_buffer = false, crypt_storage = false;
    for (auto &w : fault::wipes) {
        key_buffer |= w.size() == BRUD_KEY_SIZE && w.compare(0, TEST_KEY.size() + 1, TEST_KEY + '\0') == 0;
        crypt_storage |= w.size() == sizeof(struct crypt_data) && w.find(hash) != std::string::npos;
    }
    EXPECT_TRUE(key_buffer) << "key buffer";
    EXPECT_TRUE(any_wipe_contains("AUTH pam " + TEST_KEY + "\n")) << "login line";
    EXPECT_TRUE(any_wipe_contains(lines[1])) << "report line";
    EXPECT_TRUE(any_wipe_contains(quoted_hash)) << "encoded hash";
    EXPECT_TRUE(crypt_storage) << "crypt storage";
}

// ---- Hosts in which SIGALRM never reaches the waiting thread -------------------

namespace {

// A second thread that stops the daemon after `limit` seconds, so that a wait
// the module failed to bound still ends. It takes SIGALRM or not as asked.
class watchdog {
public:
    watchdog(brud_daemon &daemon, double limit, bool takes_sigalrm)
        : thread_([this, &daemon, limit, takes_sigalrm] {
              sigset_t alarm_only;
              sigemptyset(&alarm_only);
              sigaddset(&alarm_only, SIGALRM);
              pthread_sigmask(takes_sigalrm ? SIG_UNBLOCK : SIG_BLOCK, &alarm_only, nullptr);
              auto start = test_clock::now();
              while (!done_ && seconds_since(start) < limit)
                  usleep(10000);  // a signal handled here only shortens one nap
              if (!done_)
                  daemon.stop();
          })
    {
    }
    ~watchdog()
    {
        done_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

enum class blocked_in { process, calling_thread };

struct silent_login_outcome {
    int result;
    double took;
};

// pam_authenticate against a daemon silent after the welcome, with SIGALRM
// blocked in the calling thread and, for blocked_in::process, in the
// watchdog too; the host's mask is put back afterwards.
silent_login_outcome authenticate_with_sigalrm_blocked(blocked_in where, double watchdog_limit)
{
    brud_daemon daemon({"--silent", "login"});
    sigset_t alarm_only, host_mask;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm_only, &host_mask);
    auto start = test_clock::now();
    silent_login_outcome out{};
    {
        watchdog dog(daemon, watchdog_limit, where == blocked_in::calling_thread);
        out.result = authenticate();
        out.took = seconds_since(start);
    }
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_EQ(sigismember(&mask, SIGALRM), 1) << "the host's mask changed";
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGALRM), 0) << "the module's SIGALRM was left pending";
    pthread_sigmask(SIG_SETMASK, &host_mask, nullptr);
    return out;
}

}  // namespace

TEST_F(BrudFault, EveryWaitIsBoundedWhenSigalrmCannotReachTheWaitingThread)
{
    for (blocked_in where : {blocked_in::process, blocked_in::calling_thread}) {
        SCOPED_TRACE(where == blocked_in::process ? "blocked in the process" : "blocked in the calling thread");
        clear_log();
        install_host_alarm();
        auto out = authenticate_with_sigalrm_blocked(where, 20.0);
        EXPECT_PAM(out.result, PAM_IGNORE);
        EXPECT_GE(out.took, 10.9);  // the login's ten seconds and the socket's one
        EXPECT_LT(out.took, 12.5);
        expect_host_alarm_kept();
        std::vector<std::string> expected = {"timeout while connecting to quorixd",
                                             "error reading auth status from stream socket"};
        EXPECT_EQ(brud_log(), expected);
    }
}

TEST_F(BrudFault, WithoutSocketTimeoutsABlockedSigalrmLeavesTheWaitUnbounded)
{
    // Control for the test above: the same host, with setsockopt failing.
    fault::fail_socket_timeouts = true;
    auto out = authenticate_with_sigalrm_blocked(blocked_in::process, 14.0);
    EXPECT_PAM(out.result, PAM_IGNORE);
    EXPECT_GE(out.took, 14.0) << "the wait ended before the watchdog";
    auto log = brud_log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], "error setting socket timeouts");
    EXPECT_EQ(std::count(log.begin(), log.end(), "error setting socket timeouts"), 1);
}
