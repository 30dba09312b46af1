// Failures that a test cannot provoke from outside, and what the module does
// with its secrets. This executable defines socket, send and explicit_bzero
// itself; the module's calls of them bind here.
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
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

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
int sends = 0;
int fail_send = 0;         // fail this one (1-based); 0: none
std::vector<int> send_flags;
bool record_wipes = false;
std::vector<std::string> wipes;

void reset()
{
    fail_unix_socket = false;
    slow_unix_socket = 0;
    sends = fail_send = 0;
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
    // Only the daemon's stream socket: the log's datagrams still go out.
    if (fault::fail_unix_socket && domain == AF_UNIX && (type & 0xf) == SOCK_STREAM) {
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
    fault::fail_unix_socket = true;
    EXPECT_EQ(connect_brud(), -1);
    EXPECT_EQ(brud_log(), std::vector<std::string>{"opening socket"});
    EXPECT_PAM(authenticate(), PAM_IGNORE);
    EXPECT_EQ(daemon.received(), "");
}

TEST_F(BrudFault, StageWhoseTimeWasSpentBeforeItsWaitEndsAtOnce)
{
    // The 2 s for connecting are spent before connect() starts; connect()
    // must not then wait any longer.
    full_backlog backlog;
    fault::slow_unix_socket = 2.3;
    EXPECT_EQ(connect_brud(), -1);
    std::vector<std::string> expected = {"timeout while connecting to quorixd",
                                         "failed to connect stream socket"};
    EXPECT_EQ(brud_log(), expected);
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
