// What the modules leave of the process that loads them: called from many
// threads at once, the host's SIGALRM action, signal masks and timer stay
// exactly as they were, and the host's syslog lines keep its identity. A
// module that borrows that state (borrowing_module.cpp) is the control.
#include "brud_harness.h"
#include "host_alarm.h"
#include "pam_app.h"
#include "sandbox.h"
#include "syslog_capture.h"

#include <gtest/gtest.h>
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#else
#define RUNNING_ON_VALGRIND 0
#endif

#include <crypt.h>
#include <dlfcn.h>
#include <math.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <functional>
#include <map>
#include <thread>

namespace {

constexpr int THREADS = 8;
// The fraction matters: alarm() hands back whole seconds, so a module that
// gives the timer back through it loses the 0.7 s whoever ran last.
constexpr double HOST_TIMER = 4000.7;

// The host's handler (host_alarm.h) and a long timer of its own.
void install_host_state()
{
    install_host_handler();
    struct itimerval timer = {{0, 0}, {time_t(HOST_TIMER), suseconds_t((HOST_TIMER - floor(HOST_TIMER)) * 1e6)}};
    setitimer(ITIMER_REAL, &timer, nullptr);
    host_alarms = 0;
}

bool same_mask(const sigset_t &a, const sigset_t &b)
{
    for (int sig = 1; sig < NSIG; sig++)
        if (sigismember(&a, sig) != sigismember(&b, sig))
            return false;
    return true;
}

// Runs call(i) on THREADS threads at once, SIGALRM blocked or open in each,
// and says what of the host's state changed: "" when nothing did. Last, a
// SIGALRM of the host's must reach the host's handler. The host's state is
// then cleared for the next run.
std::string run_threads(bool block_sigalrm, const std::function<void(int)> &call)
{
    install_host_state();
    auto start = test_clock::now();
    std::atomic<int> masks_changed{0};
    std::barrier together(THREADS);
    std::vector<std::thread> threads;
    for (int i = 0; i < THREADS; i++)
        threads.emplace_back([&, i] {
            sigset_t alarm_only, before, after;
            sigemptyset(&alarm_only);
            sigaddset(&alarm_only, SIGALRM);
            pthread_sigmask(block_sigalrm ? SIG_BLOCK : SIG_UNBLOCK, &alarm_only, nullptr);
            pthread_sigmask(SIG_SETMASK, nullptr, &before);
            together.arrive_and_wait();
            call(i);
            pthread_sigmask(SIG_SETMASK, nullptr, &after);
            if (!same_mask(before, after))
                masks_changed++;
        });
    for (auto &t : threads)
        t.join();

    std::string changes;
    if (!host_handler_in_force())
        changes += "SIGALRM action; ";
    struct itimerval left;
    getitimer(ITIMER_REAL, &left);
    double remaining = double(left.it_value.tv_sec) + double(left.it_value.tv_usec) / 1e6;
    if (fabs(remaining - (HOST_TIMER - seconds_since(start))) > 0.05)
        changes += "timer (" + std::to_string(remaining) + " s left); ";
    if (masks_changed)
        changes += "masks of " + std::to_string(masks_changed) + " threads; ";
    if (host_alarms)
        changes += "the host's alarm went off early; ";

    struct itimerval soon = {{0, 0}, {0, 10000}};
    setitimer(ITIMER_REAL, &soon, nullptr);
    auto fired = test_clock::now();
    while (!host_alarms && seconds_since(fired) < 2)
        usleep(1000);
    if (!host_alarms)
        changes += "a later SIGALRM missed the host's handler; ";

    struct itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    signal(SIGALRM, SIG_DFL);
    return changes;
}

// libpam answers PAM_PERM_DENIED for a stack whose only module ignored it.
int authenticate(const std::string &module, const std::string &user, const std::string &token)
{
    pam_app app("host", {"auth required " + module});
    app.start(user.c_str());
    app.fallback.text = token;
    return app.authenticate();
}

class HostState : public testing::Test {
protected:
    void SetUp() override
    {
        enable_brud();
        clear_log();
    }
};

}  // namespace

TEST_F(HostState, ThreadsThatCallAtOnceFindTheHostsStateAsItWas)
{
    for (bool blocked : {true, false}) {
        SCOPED_TRACE(blocked ? "SIGALRM blocked in every thread" : "SIGALRM open in every thread");
        brud_daemon silent({"--silent", "welcome"});
        std::vector<double> took(THREADS);
        std::vector<int> results(THREADS);
        EXPECT_EQ(run_threads(blocked, [&](int i) {
                      auto start = test_clock::now();
                      results[size_t(i)] = authenticate(PAM_BRUD_SO, "user" + std::to_string(i), "token");
                      took[size_t(i)] = seconds_since(start);
                  }),
                  "");
        for (int i = 0; i < THREADS; i++) {
            EXPECT_PAM(results[size_t(i)], PAM_PERM_DENIED);  // the module ignored it
            EXPECT_GE(took[size_t(i)], 1.0);                  // the welcome's one second
            EXPECT_LT(took[size_t(i)], RUNNING_ON_VALGRIND ? 4.0 : 1.5);  // it runs one thread at a time
        }
    }
    // Control: a module that borrows the alarm does not leave it as found.
    void *keep = dlopen(BORROWING_MODULE_SO, RTLD_NOW | RTLD_NODELETE);  // its handler stays valid
    ASSERT_NE(keep, nullptr);
    EXPECT_NE(run_threads(false, [](int) { authenticate(BORROWING_MODULE_SO, "alice", "x"); }), "");
}

TEST_F(HostState, EveryThreadsReportAndLoginReachTheDaemonIntact)
{
    constexpr int LOGINS = 12;
    brud_daemon daemon;
    std::atomic<int> allowed{0};
    EXPECT_EQ(run_threads(false, [&](int i) {
                  for (int j = 0; j < LOGINS; j++)
                      if (authenticate(PAM_BRUD_SO, "user" + std::to_string(i), "token" + std::to_string(i)) ==
                          PAM_SUCCESS)
                          allowed++;
              }),
              "");
    EXPECT_EQ(allowed, THREADS * LOGINS);

    auto lines = daemon.lines();
    ASSERT_EQ(lines.size(), size_t(2 * THREADS * LOGINS));
    std::map<std::string, int> reports;
    struct crypt_data data;
    for (size_t k = 0; k < lines.size(); k += 2) {
        EXPECT_EQ(lines[k], "AUTH pam " + TEST_KEY + "\n");
        std::string user = member(lines[k + 1], "username");
        std::string hash = member(lines[k + 1], "authtoken_hash");
        ASSERT_GE(user.size(), 2u);
        ASSERT_GE(hash.size(), 2u);
        user = user.substr(1, user.size() - 2);
        hash = hash.substr(1, hash.size() - 2);
        // The hash is of this user's own token.
        memset(&data, 0, sizeof data);
        std::string token = "token" + user.substr(4);
        const char *again = crypt_r(token.c_str(), hash.c_str(), &data);
        EXPECT_TRUE(again && hash == again) << lines[k + 1];
        reports[user]++;
    }
    for (int i = 0; i < THREADS; i++)
        EXPECT_EQ(reports["user" + std::to_string(i)], LOGINS);
}

TEST_F(HostState, TamloAnswersEveryThreadRight)
{
    constexpr int LOGINS = 20;
    const char *session_users[] = {"s0", "s1", "s2"};
    for (auto *s : session_users)
        write_file(std::string("/var/vesnar/tamlo/keys/alice:tamlo_") + s, std::string("key-of-") + s, 0600);
    std::atomic<int> wrong_answers{0};
    EXPECT_EQ(run_threads(true, [&](int i) {
                  for (int j = 0; j < LOGINS; j++) {
                      std::string s = session_users[(i + j) % 3];
                      bool right = j % 2 == 0;
                      std::string pass = "tamlo_" + s + "_key-of-" + (right ? s : "other");
                      int rc = authenticate(PAM_TAMLO_SO, "alice", pass);
                      if (rc != (right ? PAM_SUCCESS : PAM_AUTH_ERR))
                          wrong_answers++;
                  }
              }),
              "");
    EXPECT_EQ(wrong_answers, 0);
}

// ---- The host's syslog identity -------------------------------------------------

namespace {

// The host opened its log once with its own identity and facility; after
// the module's message, its next line must be framed as its line before.
std::string host_line_after(const std::function<void()> &module_call)
{
    openlog("CRON", LOG_PID, LOG_CRON);
    syslog(LOG_INFO, "host before");
    module_call();
    syslog(LOG_INFO, "host after");
    const log_event *before = nullptr, *after = nullptr;
    auto events = log_events();
    for (auto &e : events) {
        if (e.text == "host before")
            before = &e;
        if (e.text == "host after")
            after = &e;
    }
    openlog(nullptr, LOG_NDELAY, LOG_USER);  // the test's own defaults again
    if (!before || !after)
        return "host line missing";
    if (after->ident != before->ident || after->facility != before->facility || after->pid != before->pid)
        return after->raw;
    return "";
}

}  // namespace

TEST_F(HostState, TheHostsLogKeepsItsIdentityAfterEachModulesMessage)
{
    setenv("QVO_STANDIN_ANSWER", "fail:5", 1);
    struct {
        const char *module;
        const char *ident;
        std::function<void(pam_app &)> call;
    } rows[] = {
        {PAM_BRUD_SO, "PAM-brud", [](pam_app &app) { app.authenticate(); }},  // no daemon
        {PAM_TAMLO_SO, "PAM-tamlo", [](pam_app &app) { app.authenticate(); }},  // a short password
        {PAM_SUQVO_SO, "pam_suqvo", [](pam_app &app) { app.open_session(); }},  // no container token
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.ident);
        clear_log();
        EXPECT_EQ(host_line_after([&] {
                      pam_app app("host", {std::string("auth required ") + row.module,
                                           std::string("session required ") + row.module});
                      app.start("alice");
                      app.fallback.text = "short";
                      row.call(app);
                  }),
                  "");
        EXPECT_EQ(log_messages(row.ident).size(), 1u);
    }
    // Control: a module that opens the log under its own name changes the
    // host's next line.
    EXPECT_NE(host_line_after([] {
                  pam_app app("host", {std::string("session required ") + BORROWING_MODULE_SO});
                  app.start("alice");
                  app.open_session();
              }),
              "");
}
