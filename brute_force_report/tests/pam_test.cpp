// pam_brud through the real libpam: the feature switch, the items and their
// sanitising, the token hash and both verdict tables.
#include "brud_harness.h"
#include "export.h"
#include "pam_app.h"
#include "sandbox.h"
#include "syslog_capture.h"

#include <gtest/gtest.h>

#include <crypt.h>
#include <dlfcn.h>
#include <security/pam_modules.h>

#define ASSERT_PAM(actual, expected) ASSERT_EQ(pam_result_name(actual), pam_result_name(expected))

// The module's clock, fixed so that report lines and salts are literal:
// 2023-11-14 22:13:20 UTC. The module's call of time() binds here.
constexpr long long FIXED_CLOCK = 1700000000;
long long module_clock = FIXED_CLOCK;

extern "C" VESNAR_EXPORT time_t time(time_t *out)
{
    if (out)
        *out = time_t(module_clock);
    return time_t(module_clock);
}

namespace {

const std::string STACK_LINE = std::string("auth required ") + PAM_BRUD_SO;

// libpam answers PAM_PERM_DENIED for a stack whose every module ignored the
// call; pam_brud never returns PAM_PERM_DENIED itself, so the mapping back
// is unambiguous.
int module_result(int stack_result)
{
    return stack_result == PAM_PERM_DENIED ? PAM_IGNORE : stack_result;
}

struct attempt {
    const char *user = "alice";  // null: asked through the conversation
    const char *rhost = nullptr;
    const char *tty = nullptr;
    const char *ruser = nullptr;
    std::string service = "sshd";
    std::string token = "correct horse";
    int token_conv_result = PAM_SUCCESS;
};

struct outcome {
    int authenticate = -1;
    int setcred = -1;
    int conv_calls = 0;
};

void set_items(pam_app &app, const attempt &a)
{
    if (a.rhost) {
        EXPECT_PAM(app.set_item(PAM_RHOST, a.rhost), PAM_SUCCESS);
    }
    if (a.tty) {
        EXPECT_PAM(app.set_item(PAM_TTY, a.tty), PAM_SUCCESS);
    }
    if (a.ruser) {
        EXPECT_PAM(app.set_item(PAM_RUSER, a.ruser), PAM_SUCCESS);
    }
}

// pam_authenticate (then pam_setcred, when asked) on fresh handles; no
// descriptor may stay open afterwards. The setcred gets a handle of its own:
// after an authentication libpam would rule its result by the one that
// authentication gave.
outcome run(const attempt &a, bool with_setcred = false)
{
    int fds = count_open_fds();
    outcome out;
    {
        pam_app app(a.service, {STACK_LINE});
        EXPECT_PAM(app.start(a.user), PAM_SUCCESS);
        set_items(app, a);
        if (!a.user)
            app.replies.push_back({PAM_SUCCESS, true, "alice"});
        app.replies.push_back({a.token_conv_result, true, a.token});
        out.authenticate = module_result(app.authenticate());
        out.conv_calls = app.conv_calls;
    }
    if (with_setcred) {
        pam_app app(a.service, {STACK_LINE});
        EXPECT_PAM(app.start(a.user), PAM_SUCCESS);
        set_items(app, a);
        if (!a.user)
            app.replies.push_back({PAM_SUCCESS, true, "alice"});
        out.setcred = module_result(app.setcred(PAM_ESTABLISH_CRED));
        out.conv_calls += app.conv_calls;
    }
    EXPECT_EQ(count_open_fds(), fds) << "descriptor left open";
    return out;
}

// pam_sm_setcred called directly with exactly these flags (libpam would
// turn flags of 0 into PAM_ESTABLISH_CRED).
int setcred_directly(const attempt &a, int flags)
{
    void *module = dlopen(PAM_BRUD_SO, RTLD_NOW);
    auto setcred = reinterpret_cast<int (*)(pam_handle_t *, int, int, const char **)>(
        dlsym(module, "pam_sm_setcred"));
    pam_app app(a.service, {STACK_LINE});
    EXPECT_PAM(app.start(a.user), PAM_SUCCESS);
    set_items(app, a);
    int result = setcred(app.handle(), flags, 0, nullptr);
    dlclose(module);
    return result;
}

std::string report_of(const brud_daemon &daemon, size_t index = 1)
{
    auto lines = daemon.lines();
    return index < lines.size() ? lines[index] : "(no report)";
}


class BrudPam : public ::testing::Test {
protected:
    void SetUp() override
    {
        enable_brud();
        clear_log();
    }
};

}  // namespace

TEST_F(BrudPam, FeatureSwitchIsThePresenceOfEitherFlagFile)
{
    brud_daemon daemon;
    remove_tree(FLAG_FILE);
    outcome off = run(attempt{}, true);
    EXPECT_PAM(off.authenticate, PAM_SUCCESS);
    EXPECT_PAM(off.setcred, PAM_SUCCESS);
    EXPECT_EQ(off.conv_calls, 0);
    EXPECT_EQ(daemon.received(), "");

    write_file(ALT_FLAG_FILE, "");
    EXPECT_PAM(run(attempt{}).authenticate, PAM_SUCCESS);
    EXPECT_EQ(daemon.lines().size(), 2u);

    remove_tree(ALT_FLAG_FILE);
    make_dirs(FLAG_FILE);  // any kind of file will do
    EXPECT_PAM(run(attempt{}).authenticate, PAM_SUCCESS);
    EXPECT_EQ(daemon.lines().size(), 4u);
    remove_tree(FLAG_FILE);
}

TEST_F(BrudPam, VerdictTable)
{
    struct {
        std::vector<std::string> script;
        int authenticate;
    } rows[] = {
        {{"--verdict", "200 ok\\n"}, PAM_SUCCESS},
        {{"--verdict", "550 blocked\\n"}, PAM_AUTH_ERR},
        {{"--verdict", "580 blocked\\n"}, PAM_AUTH_ERR},
        {{"--verdict", "500 later\\n"}, PAM_IGNORE},
        {{"--verdict", "-1\\n"}, PAM_IGNORE},
        {{"--verdict", "421 try later\\n"}, PAM_IGNORE},
        {{"--verdict", "what?\\n"}, PAM_IGNORE},
        {{"--close", "verdict"}, PAM_IGNORE},
    };
    for (auto &row : rows) {
        brud_daemon daemon(row.script);
        outcome got = run(attempt{}, true);
        EXPECT_PAM(got.authenticate, row.authenticate) << row.script[1];
        EXPECT_PAM(got.setcred, PAM_SUCCESS) << row.script[1];
        auto lines = daemon.lines();
        ASSERT_EQ(lines.size(), 4u) << row.script[1];
        EXPECT_EQ(member(lines[1], "action"), "\"PAM_AUTHENTICATE\"");
        EXPECT_EQ(member(lines[3], "action"), "\"PAM_SETCRED\"");
    }
}

TEST_F(BrudPam, UnreachableDaemonAsksTheUserNothing)
{
    attempt a;
    a.user = nullptr;
    outcome got = run(a, true);
    EXPECT_PAM(got.authenticate, PAM_IGNORE);
    EXPECT_PAM(got.setcred, PAM_IGNORE);
    EXPECT_EQ(got.conv_calls, 1);  // the user name, asked by setcred's own gathering
    std::vector<std::string> expected(2, "failed to connect stream socket");
    EXPECT_EQ(brud_log(), expected);

    outcome auth_only = run(a);
    EXPECT_EQ(auth_only.conv_calls, 0);
}

TEST_F(BrudPam, RefusedUserNamesAreServiceErrors)
{
    for (const char *user : {"al ice", "alice\r", "al\nice"}) {
        brud_daemon daemon;
        attempt a;
        a.user = user;
        outcome got = run(a, true);
        EXPECT_PAM(got.authenticate, PAM_SERVICE_ERR);
        EXPECT_PAM(got.setcred, PAM_SERVICE_ERR);
        // Authentication had already logged in; setcred never connects.
        EXPECT_EQ(daemon.received(), "AUTH pam " + TEST_KEY + "\n");
    }
    brud_daemon daemon;
    attempt a;
    a.user = nullptr;
    pam_app app(a.service, {STACK_LINE});
    ASSERT_PAM(app.start(nullptr), PAM_SUCCESS);
    app.fallback.result = PAM_CONV_ERR;
    EXPECT_PAM(module_result(app.authenticate()), PAM_SERVICE_ERR);
    pam_app other(a.service, {STACK_LINE});
    ASSERT_PAM(other.start(nullptr), PAM_SUCCESS);
    other.fallback.result = PAM_CONV_ERR;
    EXPECT_PAM(module_result(other.setcred(PAM_ESTABLISH_CRED)), PAM_SERVICE_ERR);
}

TEST_F(BrudPam, SetcredFlagsAndExemptServices)
{
    brud_daemon daemon;
    attempt a;
    EXPECT_PAM(setcred_directly(a, PAM_REFRESH_CRED), PAM_SUCCESS);
    EXPECT_PAM(setcred_directly(a, PAM_SILENT), PAM_SUCCESS);
    EXPECT_PAM(setcred_directly(a, PAM_DELETE_CRED), PAM_SUCCESS);
    EXPECT_EQ(daemon.received(), "");
    EXPECT_PAM(setcred_directly(a, 0), PAM_SUCCESS);
    EXPECT_PAM(setcred_directly(a, PAM_ESTABLISH_CRED | PAM_SILENT), PAM_SUCCESS);
    EXPECT_EQ(daemon.lines().size(), 4u);

    for (const char *service : {"crond", "atd"}) {
        a.service = service;
        EXPECT_PAM(setcred_directly(a, PAM_ESTABLISH_CRED), PAM_SUCCESS);
    }
    EXPECT_EQ(daemon.lines().size(), 4u);

    // Exemption is for setcred only, and for the exact name only.
    a.service = "atd";
    EXPECT_PAM(run(a).authenticate, PAM_SUCCESS);
    EXPECT_EQ(member(report_of(daemon, 5), "auth_service"), "\"atd\"");
    a.service = "crond ";
    EXPECT_PAM(setcred_directly(a, PAM_ESTABLISH_CRED), PAM_SUCCESS);
    EXPECT_EQ(member(report_of(daemon, 7), "auth_service"), "null");
}

TEST_F(BrudPam, ReportCarriesTheItemsAndTheSaltedHash)
{
    brud_daemon daemon;
    attempt a;
    a.rhost = "203.0.113.5";
    a.tty = "ssh";
    a.ruser = "bob";
    a.token = "pass word";  // blanks do not make a token unusable
    ASSERT_PAM(run(a, true).authenticate, PAM_SUCCESS);
    // Window 209254: whole hours from 2000-01-01 to 2023-11-14 22:00 UTC.
    EXPECT_EQ(report_of(daemon),
              "ACTION {\"action\":\"PAM_AUTHENTICATE\", \"auth_database\":\"system\", "
              "\"username\":\"alice\", \"remote_host\":\"203.0.113.5\", \"status\":1, "
              "\"login_time\":1700000000, \"quit_after\":1, \"local_port\":0, \"remote_user\":\"bob\", "
              "\"auth_service\":\"sshd\", \"tty\":\"ssh\", \"authtoken_hash\":\"$6$209254bob203$nDviYS8pKg"
              "Nck/aXxnRnuq0u4Jyb.EFQ0DiEBCXLpa3.aYY0qxOmOeIvuj9Ni0W3rhwyqtqywvmLI4ZV18nxd1\"}\n");
    EXPECT_EQ(report_of(daemon, 3),
              "ACTION {\"action\":\"PAM_SETCRED\", \"auth_database\":\"system\", "
              "\"username\":\"alice\", \"remote_host\":\"203.0.113.5\", \"status\":1, "
              "\"login_time\":1700000000, \"quit_after\":1, \"local_port\":0, \"remote_user\":\"bob\", "
              "\"auth_service\":\"sshd\", \"tty\":\"ssh\", \"authtoken_hash\":null}\n");
}

namespace {

// The salt of a reported hash ("$6$<salt>$..."), or why there is none; the
// hash must be one that crypt gives for the token under that salt.
std::string salt_of_reported_hash(const std::string &report, const std::string &token)
{
    std::string quoted = member(report, "authtoken_hash");
    if (quoted.size() < 5 || quoted.compare(0, 4, "\"$6$") != 0)
        return "no hash: " + quoted;
    std::string hash = quoted.substr(1, quoted.size() - 2);
    const char *again = crypt(token.c_str(), hash.c_str());
    if (!again || hash != again)
        return "not crypt's hash of the token: " + hash;
    return hash.substr(0, hash.find('$', 3));
}

}  // namespace

TEST_F(BrudPam, SaltIsTheWindowTheUserPartAndTheHostPart)
{
    struct {
        const char *rhost, *tty, *ruser;
        long long clock;
        const char *sent_rhost, *sent_tty, *sent_ruser, *salt;
    } rows[] = {
        // A bad optional item is sent as null and the salt falls back.
        {"bad host", "pts/0", "x\ry", FIXED_CLOCK, "null", "\"pts/0\"", "null", "$6$209254alicep"},
        {nullptr, nullptr, nullptr, FIXED_CLOCK, "null", "null", "null", "$6$209254alicen"},
        {"h\n", "t t", nullptr, FIXED_CLOCK, "null", "null", "null", "$6$209254alicen"},
        {nullptr, "tty1", "carol", FIXED_CLOCK, "null", "\"tty1\"", "\"carol\"", "$6$209254carolt"},
        // Within one window alike, in the next window not.
        {"192.0.2.44", nullptr, nullptr, FIXED_CLOCK + 2799, "\"192.0.2.44\"", "null", "null", "$6$209254alice1"},
        {"192.0.2.44", nullptr, nullptr, FIXED_CLOCK + 2800, "\"192.0.2.44\"", "null", "null", "$6$209255alice1"},
        // Bytes outside crypt's alphabet (IPv6, non-ASCII) become '.'.
        {"::1", nullptr, nullptr, FIXED_CLOCK, "\"::1\"", "null", "null", "$6$209254alice."},
        {"fe80::1", nullptr, "\xc3\xa9t\xc3\xa9", FIXED_CLOCK, "\"fe80::1\"", "null", "\"\xc3\xa9t\xc3\xa9\"",
         "$6$209254..t..f"},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.salt);
        brud_daemon daemon;
        module_clock = row.clock;
        attempt a;
        a.rhost = row.rhost;
        a.tty = row.tty;
        a.ruser = row.ruser;
        EXPECT_PAM(run(a).authenticate, PAM_SUCCESS);
        std::string report = report_of(daemon);
        EXPECT_EQ(member(report, "remote_host"), row.sent_rhost);
        EXPECT_EQ(member(report, "tty"), row.sent_tty);
        EXPECT_EQ(member(report, "remote_user"), row.sent_ruser);
        EXPECT_EQ(salt_of_reported_hash(report, a.token), row.salt);
    }
    module_clock = FIXED_CLOCK;
    // Control: crypt itself refuses the unmended salts.
    EXPECT_EQ(crypt("correct horse", "$6$209254alice:")[0], '*');
    EXPECT_EQ(crypt("correct horse", "$6$209254\xc3\xa9t\xc3\xa9" "f")[0], '*');
}

TEST_F(BrudPam, UnusableTokensAreReportedWithoutAHash)
{
    brud_daemon daemon;
    struct {
        std::string token;
        int conv;
        const char *salt;
    } rows[] = {
        {"", PAM_SUCCESS, "no hash: null"},
        {"two\nlines", PAM_SUCCESS, "no hash: null"},
        {"anything", PAM_CONV_ERR, "no hash: null"},
        {"carriage\rreturn", PAM_SUCCESS, "$6$209254alicen"},
    };
    size_t report = 1;
    for (auto &row : rows) {
        attempt a;
        a.token = row.token;
        a.token_conv_result = row.conv;
        EXPECT_PAM(run(a).authenticate, PAM_SUCCESS);
        EXPECT_EQ(salt_of_reported_hash(report_of(daemon, report), row.token), row.salt);
        report += 2;
    }
}

TEST_F(BrudPam, OneTokenHashesAlikeAndTokensDiffer)
{
    brud_daemon daemon;
    attempt a;
    for (const char *token : {"same", "same", "other"}) {
        a.token = token;
        EXPECT_PAM(run(a).authenticate, PAM_SUCCESS);
    }
    std::string h1 = member(report_of(daemon, 1), "authtoken_hash");
    EXPECT_EQ(member(report_of(daemon, 3), "authtoken_hash"), h1);
    EXPECT_NE(member(report_of(daemon, 5), "authtoken_hash"), h1);
}

TEST_F(BrudPam, EveryMessageIsTheModulesOwnAndNeverShowsTheKey)
{
    {
        brud_daemon daemon({"--verdict", "550 blocked\\n"});
        EXPECT_PAM(run(attempt{}).authenticate, PAM_AUTH_ERR);
    }
    {
        brud_daemon daemon({"--login", "530 wrong key\\n"});
        EXPECT_PAM(run(attempt{}).authenticate, PAM_IGNORE);
    }
    std::vector<std::string> expected = {"Brute force detection active: 550 blocked",
                                         "error logging into brudd: 530 wrong key"};
    EXPECT_EQ(brud_log(), expected);
    for (auto &e : log_events())
        EXPECT_EQ(e.raw.find(TEST_KEY), std::string::npos) << e.raw;
}

TEST_F(BrudPam, CountingDaemonRefusesAPairOnceItPassesTheLimit)
{
    write_file("/tmp/daemon-key", TEST_KEY + "\n");
    brud_daemon daemon({"--count", "--limit", "2", "--window", "600", "--key-file", "/tmp/daemon-key"});
    attempt a;
    a.rhost = "203.0.113.77";
    EXPECT_PAM(run(a, true).authenticate, PAM_SUCCESS);  // setcred reports are not counted
    EXPECT_PAM(run(a, true).authenticate, PAM_SUCCESS);
    EXPECT_PAM(run(a).authenticate, PAM_AUTH_ERR);
    attempt other_host = a;
    other_host.rhost = "203.0.113.78";
    EXPECT_PAM(run(other_host).authenticate, PAM_SUCCESS);
    attempt other_user = a;
    other_user.user = "bob";
    EXPECT_PAM(run(other_user).authenticate, PAM_SUCCESS);

    clear_log();
    enable_brud("not-the-daemons-key");
    EXPECT_PAM(run(a).authenticate, PAM_IGNORE);
    EXPECT_EQ(brud_log(), std::vector<std::string>{"error logging into brudd: 530 login refused"});
}
