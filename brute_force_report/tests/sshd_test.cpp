// pam_brud in front of Debian's common-auth inside the real sshd: what a
// login reports, a refusing verdict, a vanished daemon, and sshd's own
// LoginGraceTime while the module waits on a silent daemon.
#include "brud_harness.h"
#include "sshd_service.h"

#include <gtest/gtest.h>

#include <crypt.h>
#include <string.h>

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

ssh_result login(const std::string &host = "127.0.0.1", std::vector<std::string> command = {"echo", "in-session"})
{
    return run_ssh({.user = "alice", .password = PASSWORD, .host = host, .command = command});
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
    sshd_service sshd(pam_service(AUTH));
    for (const row &r : rows) {
        SCOPED_TRACE(r.host);
        brud_daemon daemon;
        ssh_result s = login(r.host);
        ASSERT_TRUE(logged_in(s)) << s.output;
        auto lines = daemon.lines();
        ASSERT_EQ(6u, lines.size()) << daemon.received();
        const char *actions[] = {"PAM_AUTHENTICATE", "PAM_SETCRED", "PAM_SETCRED"};
        for (int i = 0; i < 3; i++) {
            const std::string &report = lines[2 * i + 1];
            EXPECT_EQ("AUTH pam " + TEST_KEY + "\n", lines[2 * i]);
            EXPECT_EQ("\"" + std::string(actions[i]) + "\"", member(report, "action"));
            EXPECT_EQ("\"alice\"", member(report, "username"));
            EXPECT_EQ("\"" + std::string(r.host) + "\"", member(report, "remote_host"));
            EXPECT_EQ("\"sshd\"", member(report, "auth_service"));
            EXPECT_EQ("\"ssh\"", member(report, "tty"));
            EXPECT_EQ("null", member(report, "remote_user"));
            if (i > 0)
                EXPECT_EQ("null", member(report, "authtoken_hash"));
        }
        // "$6$", the hour's window number, then as much of the user and
        // host as fits in 15 characters.
        std::string hash = unquoted(member(lines[1], "authtoken_hash"));
        std::string salt = hash.substr(0, hash.find('$', 3));
        EXPECT_EQ(15u, salt.size()) << hash;
        EXPECT_EQ("$6$", salt.substr(0, 3)) << hash;
        EXPECT_EQ(r.salt_tail, salt.substr(salt.size() - 6)) << hash;
        struct crypt_data data;
        memset(&data, 0, sizeof data);
        const char *again = crypt_rn(PASSWORD.c_str(), hash.c_str(), &data, sizeof data);
        EXPECT_STREQ(hash.c_str(), again) << "crypt does not verify the reported hash";
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
    sshd_service sshd(pam_service(AUTH));
    for (const row &r : rows) {
        SCOPED_TRACE(r.verdict);
        brud_daemon daemon({"--verdict", r.verdict});
        ssh_result s = login();
        EXPECT_EQ(r.in, logged_in(s)) << s.output;
        if (!r.in)
            EXPECT_NE(std::string::npos, s.output.find("Permission denied")) << s.output;
        EXPECT_EQ(r.in ? 6u : 2u, daemon.lines().size()) << daemon.received();
    }
}

// Each of the three calls fails open on its own and says so in syslog.
TEST_F(BrudSshd, LoginWorksWithTheDaemonGone)
{
    sshd_service sshd(pam_service(AUTH));
    brud_daemon daemon;
    daemon.stop();
    forget_log();
    ssh_result s = login();
    ASSERT_TRUE(logged_in(s)) << s.output;
    EXPECT_EQ(3u, count(service_log("PAM-brud"), "failed to connect stream socket"));
}

// The module borrows sshd's alarm while it waits on a daemon that welcomes
// and then stays silent, and gives it back: with LoginGraceTime 5 the grace
// time comes due during the module's 10 s wait, and sshd ends the login the
// moment the module hands its alarm back (not a second later, and not
// never, which would let the login through after 30 s or more). The same
// grace time with a daemon that answers lets the login in.
TEST_F(BrudSshd, LoginGraceTimeEndsALoginWhoseDaemonIsSilent)
{
    sshd_service sshd(pam_service(AUTH), {"LoginGraceTime 5"});
    {
        brud_daemon answering;
        ssh_result s = login();
        EXPECT_TRUE(logged_in(s)) << s.output;
    }
    brud_daemon silent({"--silent", "login"});
    forget_log();
    ssh_result s = login();
    EXPECT_FALSE(logged_in(s)) << s.output;
    // Debian's sshd ends such a login without a log line of its own, and
    // ssh only sees the connection close.
    EXPECT_EQ(255, s.status) << s.output;
    EXPECT_GT(s.seconds, 9.5) << s.output;
    EXPECT_LT(s.seconds, 15.0) << s.output;
    ASSERT_TRUE(await_log("PAM-brud", "timeout while connecting to quorixd", 1));
    for (auto &line : service_log())
        if (line.ident == "PAM-brud" && line.text == "timeout while connecting to quorixd")
            EXPECT_LT(s.ended - line.at, 0.5) << "the connection outlived the module's wait";
}

}  // namespace
