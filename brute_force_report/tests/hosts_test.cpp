// pam_brud in front of Debian's common-auth inside the real sshd: what a
// login reports, a refusing verdict, a vanished daemon, and sshd's own
// LoginGraceTime while the module waits on a silent daemon.
#include "brud_harness.h"
#include "service_host.h"

#include <gtest/gtest.h>

#include <crypt.h>
#include <string.h>
#include <time.h>

namespace {

const std::string PASSWORD = "Right pw 7";
const std::vector<std::string> AUTH = {std::string("auth requisite ") + PAM_BRUD_SO, "@include common-auth"};

class BrudSshd : public testing::Test {
protected:
    void SetUp() override
    {
        if (!service_sandbox_ready())
            GTEST_SKIP() << "needs the host's root";
        add_account("alice", PASSWORD);
        enable_brud();
    }
};

ssh_result login(const std::string &host = "127.0.0.1")
{
    ssh_login l("alice", PASSWORD, {"echo", "in-session"});
    l.host = host;
    return run_ssh(l);
}

bool logged_in(const ssh_result &r) { return r.status == 0 && r.output.find("in-session") != std::string::npos; }

std::string unquoted(const std::string &json) { return json.size() >= 2 ? json.substr(1, json.size() - 2) : json; }

size_t count(const std::vector<std::string> &texts, const std::string &text)
{
    size_t n = 0;
    for (auto &t : texts)
        n += t == text;
    return n;
}

// One login is three connections: the authentication, then the credentials
// of sshd's privileged and of its unprivileged process. For an IPv6 client
// the ':' of the address becomes '.' in the salt.
TEST_F(BrudSshd, LoginIsReportedWithAHashThatCryptVerifies)
{
    struct row {
        const char *host;
        const char *salt_tail;  // the salt's last characters
    } rows[] = {
        {"127.0.0.1", "alice1"},
        {"::1", "alice."},
    };
    pam_service("sshd", AUTH);
    sshd_service sshd;
    for (const row &r : rows) {
        SCOPED_TRACE(r.host);
        brud_daemon daemon;
        ssh_result s = login(r.host);
        ASSERT_TRUE(logged_in(s)) << s.output;
        auto lines = daemon.lines();
        ASSERT_EQ(lines.size(), 6u) << daemon.received();
        const char *actions[] = {"PAM_AUTHENTICATE", "PAM_SETCRED", "PAM_SETCRED"};
        for (int i = 0; i < 3; i++) {
            const std::string &report = lines[2 * i + 1];
            EXPECT_EQ(lines[2 * i], "AUTH pam " + TEST_KEY + "\n");
            EXPECT_EQ(member(report, "action"), "\"" + std::string(actions[i]) + "\"");
            EXPECT_EQ(member(report, "username"), "\"alice\"");
            EXPECT_EQ(member(report, "remote_host"), "\"" + std::string(r.host) + "\"");
            EXPECT_EQ(member(report, "auth_service"), "\"sshd\"");
            EXPECT_EQ(member(report, "tty"), "\"ssh\"");
            EXPECT_EQ(member(report, "remote_user"), "null");
            if (i > 0) {
                EXPECT_EQ(member(report, "authtoken_hash"), "null");
            }
        }
        // "$6$", the hour's window number, then as much of the user and
        // host as fits in 15 characters.
        std::string hash = unquoted(member(lines[1], "authtoken_hash"));
        std::string salt = hash.substr(0, hash.find('$', 3));
        EXPECT_EQ(salt.size(), 15u) << hash;
        EXPECT_EQ(salt.substr(0, 3), "$6$") << hash;
        EXPECT_EQ(salt.substr(salt.size() - 6), r.salt_tail) << hash;
        struct crypt_data data;
        memset(&data, 0, sizeof data);
        const char *again = crypt_rn(PASSWORD.c_str(), hash.c_str(), &data, sizeof data);
        EXPECT_STREQ(again, hash.c_str()) << "crypt does not verify the reported hash";
    }
}

// The row that accepts shows the refusal comes from the verdict alone.
TEST_F(BrudSshd, RefusingVerdictRefusesTheRightPassword)
{
    struct row {
        const char *verdict;
        bool in;
    } rows[] = {
        {"550 too many attempts\\n", false},
        {"580 blocked\\n", false},
        {"200 ok\\n", true},
    };
    pam_service("sshd", AUTH);
    sshd_service sshd;
    for (const row &r : rows) {
        SCOPED_TRACE(r.verdict);
        brud_daemon daemon({"--verdict", r.verdict});
        ssh_result s = login();
        EXPECT_EQ(logged_in(s), r.in) << s.output;
        if (!r.in) {
            EXPECT_NE(s.output.find("Permission denied"), std::string::npos) << s.output;
        }
        EXPECT_EQ(daemon.lines().size(), r.in ? 6u : 2u) << daemon.received();
    }
}

// Each of the three calls fails open on its own and says so in syslog.
TEST_F(BrudSshd, LoginWorksWithTheDaemonGone)
{
    pam_service("sshd", AUTH);
    sshd_service sshd;
    brud_daemon daemon;
    daemon.stop();
    forget_log();
    ssh_result s = login();
    ASSERT_TRUE(logged_in(s)) << s.output;
    EXPECT_EQ(count(service_log("PAM-brud"), "failed to connect stream socket"), 3u);
}

double wall_clock()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// The module borrows sshd's alarm while it waits on a daemon that welcomes
// and then stays silent, and gives it back: with LoginGraceTime 5 the grace
// time comes due during the module's 10 s wait for the login reply, and
// sshd ends the login the moment the module hands its alarm back (not a
// second later, and not never, which would let the login through after
// 30 s or more). The same grace time with a daemon that answers lets the
// login in.
TEST_F(BrudSshd, LoginGraceTimeEndsALoginWhoseDaemonIsSilent)
{
    pam_service("sshd", AUTH);
    sshd_service sshd({"LoginGraceTime 5"});
    {
        brud_daemon answering;
        ssh_result s = login();
        EXPECT_TRUE(logged_in(s)) << s.output;
    }
    brud_daemon silent({"--silent", "login"});
    forget_log();
    ssh_result s = login();
    double waited = wall_clock() - silent.last_line_at();
    EXPECT_FALSE(logged_in(s)) << s.output;
    // Debian's sshd ends such a login without a log line of its own, and
    // ssh only sees the connection close.
    EXPECT_EQ(s.status, 255) << s.output;
    // sshd's 5 s run from the connection; the login line, which starts the
    // module's 10 s, comes a fraction of a second later. The grace time
    // goes off in the middle of the module's wait, not after it.
    EXPECT_GT(waited, 4.0) << s.output;
    EXPECT_LT(waited, 5.5) << "sshd's grace time waited for the module";
    // The process ends before the module's own deadline: no line of its.
    EXPECT_EQ(service_log("PAM-brud"), std::vector<std::string>{});
}

}  // namespace
