// pam_brud in front of Debian's common-auth inside the real PAM hosts, one
// row per host: what a login reports, a refusing verdict, a vanished daemon,
// a daemon silent after its welcome; then the hosts' own time limits
// (sshd's, ProFTPD's, login's) against a silent daemon, the stack line that lets a wrong password through, and
// the threads of Apache's event MPM calling PAM at once, and vesnar-pam-check
// run as Apache's www-data beside it.
#include "brud_harness.h"
#include "sandbox.h"
#include "service_host.h"

#include <gtest/gtest.h>

#include <crypt.h>
#include <grp.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

namespace {

const std::string PASSWORD = "Right pw 7";
const std::vector<std::string> AUTH = {std::string("auth requisite ") + PAM_BRUD_SO, "@include common-auth"};
// What every host runs as alice once she is in; cron's jobs inherit the
// descriptors of the process that ran PAM, the others get fresh ones.
const std::string SESSION = "echo in-session; ls -l /proc/self/fd";
constexpr double STAGE_SECONDS = 10;  // the module's wait for the login reply

double clock_seconds(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

client_result ssh_from(const char *address, const std::string &password)
{
    pam_service("sshd", AUTH);
    sshd_service sshd;
    ssh_login l("alice", password, {SESSION});
    l.host = address;
    return run_ssh(l);
}

// util-linux su, run by an unprivileged user who types alice's password.
client_result su_to_alice(const std::vector<std::string> &auth, const std::string &password)
{
    pam_service("su", auth);
    return run_on_pty("caller", {"/bin/su", "alice", "-c", SESSION}, {{"Password:", password}});
}

client_result sudo_as_alice(const std::string &password)
{
    pam_service("sudo", AUTH);
    write_file("/etc/sudoers", "Defaults !lecture, passwd_tries=1\nalice ALL=(ALL) ALL\n", 0440);
    return run_on_pty("alice", {"/usr/bin/sudo", "-S", "-k", "/bin/sh", "-c", SESSION},
                      {{"password for alice:", password}});
}

// The login program on a terminal, as a getty starts it: the first module's
// pam_get_user asks "login:", then alice's shell runs what is typed, with
// the terminal's echo off so that only the output reads "in-session". One
// attempt, so that a refusal ends login rather than asking again.
client_result login_on_pty(const std::string &password, int timeout = 60)
{
    pam_service("login", AUTH);
    // The last value of a setting wins.
    write_file("/etc/login.defs", read_file("/etc/login.defs") + "LOGIN_RETRIES 1\nLOGIN_TIMEOUT " +
                                      std::to_string(timeout) + "\n");
    return run_on_pty("root", {"/bin/login"},
                      {{"login:", "alice"}, {"Password:", password}, {"$ ", "stty -echo"}, {"$ ", SESSION + "; exit"}});
}

// Debian's cron runs an @reboot job at its start (once per /run); the job's
// output is the login's.
client_result cron_job(const std::string &)
{
    constexpr char OUT[] = "/tmp/cron-job";
    pam_service("cron", AUTH);
    write_file("/etc/crontab", "@reboot alice (" + SESSION + ") >" + OUT + ".part 2>&1; mv " + OUT + ".part " + OUT + "\n");
    remove_tree("/run/crond.reboot");
    // The spool cron insists on, group crontab and all.
    make_dirs("/var/spool/cron/crontabs");
    if (read_file("/etc/group").find("\ncrontab:") == std::string::npos)
        write_file("/etc/group", read_file("/etc/group") + "crontab:x:1999:\n");
    remove_tree(OUT);
    client_result r;
    double start = clock_seconds(CLOCK_MONOTONIC);
    host_daemon cron("/usr/sbin/cron", {"-f", "-L", "15"});
    for (int i = 0; i < 1500 && !path_exists(OUT); i++)
        usleep(10000);
    r.seconds = clock_seconds(CLOCK_MONOTONIC) - start;
    r.status = path_exists(OUT) ? 0 : 1;
    r.output = r.status == 0 ? read_file(OUT) : "(no job ran) " + cron.output();
    for (auto &line : service_log("cron"))
        r.output += "\ncron: " + line;
    return r;
}

// ProFTPD and Dovecot: curl's login lists what alice's session shows.
client_result ftp_as_alice(const std::string &password)
{
    pam_service("proftpd", AUTH);
    proftpd_service ftpd;
    return ftp_login("alice", password);
}

client_result imap_as_alice(const std::string &password)
{
    pam_service("dovecot", AUTH);
    dovecot_service dovecot;
    return imap_login("alice", password);
}

// Apache runs PAM as www-data, which the administrator lets read the key,
// and which loads the modules of these auth lines itself: from copies it
// can reach wherever the build tree is (a home directory is closed to it).
std::vector<std::string> for_www_data(std::vector<std::string> auth)
{
    group *g = getgrnam("www-data");
    EXPECT_TRUE(g && chown(KEY_FILE.c_str(), 0, g->gr_gid) == 0 && chmod(KEY_FILE.c_str(), 0640) == 0);
    for (auto &line : auth) {
        size_t at = line.find(" /");
        if (at == std::string::npos)
            continue;
        std::string copy = "/tmp/www-modules" + line.substr(line.rfind('/'));
        write_file(copy, read_file(line.substr(at + 1)));
        line = line.substr(0, at + 1) + copy;
    }
    return auth;
}

client_result apache_request(const std::string &password)
{
    pam_service("apache2", for_www_data(AUTH));
    apache_service apache("apache2");
    return run_client({"/usr/bin/curl", "-sS", "--fail", "-u", "alice:" + password, "http://127.0.0.1/private/session"},
                      {"PATH=/usr/bin:/bin"});
}

struct host {
    const char *name;
    client_result (*login)(const std::string &password);
    // The report's members, as JSON; tty is a prefix (ptys are numbered).
    const char *service, *rhost, *ruser, *tty;
    std::vector<const char *> actions;  // one report per daemon connection
    const char *salt_tail;              // of the password's hash; null: no password
    double silent_most;                 // seconds a login may take with the daemon silent
    bool runs_session = true;           // false: serves files or mail, no SESSION
};

// sshd pads each authentication to a multiple of a delay it derives from
// the user and its host key (new in each test), so its logins take up to
// about 10 s beyond the module's waits (30.9-39.4 s measured).
const host HOSTS[] = {
    {"sshd", [](const std::string &pw) { return ssh_from("127.0.0.1", pw); }, "\"sshd\"", "\"127.0.0.1\"", "null",
     "\"ssh\"", {"PAM_AUTHENTICATE", "PAM_SETCRED", "PAM_SETCRED"}, "alice1", 42},
    // The address's colons, outside crypt's alphabet, become '.' in the salt.
    {"sshd_ipv6", [](const std::string &pw) { return ssh_from("::1", pw); }, "\"sshd\"", "\"::1\"", "null",
     "\"ssh\"", {"PAM_AUTHENTICATE", "PAM_SETCRED", "PAM_SETCRED"}, "alice.", 42},
    {"su", [](const std::string &pw) { return su_to_alice(AUTH, pw); }, "\"su\"", "null", "\"caller\"",
     "\"/dev/pts/", {"PAM_AUTHENTICATE", "PAM_SETCRED"}, "caller", 22},
    // sudo's setcred is REINITIALIZE, then DELETE: neither is reported.
    {"sudo", sudo_as_alice, "\"sudo\"", "null", "\"alice\"", "\"/dev/pts/", {"PAM_AUTHENTICATE"}, "alice/", 12},
    // cron establishes credentials for each job without authenticating;
    // its service name "cron" is not among the exempt ones.
    {"cron", cron_job, "\"cron\"", "null", "null", "\"cron\"", {"PAM_SETCRED"}, nullptr, 14},
    // login sets the remote host to "" when no -h names one; the user and
    // that host fit in the salt whole.
    {"login", [](const std::string &pw) { return login_on_pty(pw); }, "\"login\"", "\"\"", "null", "\"/dev/pts/",
     {"PAM_AUTHENTICATE", "PAM_SETCRED"}, "alice", 22},
    // The terminal names ProFTPD's session process.
    {"proftpd", ftp_as_alice, "\"proftpd\"", "\"127.0.0.1\"", "\"alice\"", "\"/dev/ftpd",
     {"PAM_AUTHENTICATE", "PAM_SETCRED"}, "alice1", 22, false},
    {"dovecot", imap_as_alice, "\"dovecot\"", "\"127.0.0.1\"", "\"alice\"", "\"dovecot\"",
     {"PAM_AUTHENTICATE", "PAM_SETCRED"}, "alice1", 22, false},
    // mod_authnz_pam authenticates each request and never sets credentials.
    {"apache", apache_request, "\"apache2\"", "\"127.0.0.1\"", "null", "null", {"PAM_AUTHENTICATE"}, "alice1", 13},
};

void PrintTo(const host &h, std::ostream *out) { *out << h.name; }

class BrudHosts : public testing::Test {
protected:
    void SetUp() override
    {
        if (!service_sandbox_ready())
            GTEST_SKIP() << "needs the host's root";
        add_account("alice", PASSWORD);
        add_account("caller", "caller's own 3");
        enable_brud();
    }
};

class BrudHost : public BrudHosts, public testing::WithParamInterface<host> {
protected:
    client_result login(const std::string &password = PASSWORD) const { return GetParam().login(password); }
    // A host that reports no password cannot be refused by a verdict.
    bool refusable() const { return GetParam().salt_tail != nullptr; }
};

bool logged_in(const client_result &r) { return r.status == 0 && r.output.find("in-session") != std::string::npos; }

std::string unquoted(const std::string &json) { return json.size() >= 2 ? json.substr(1, json.size() - 2) : json; }

size_t count(const std::vector<std::string> &texts, const std::string &text)
{
    size_t n = 0;
    for (auto &t : texts)
        n += t == text;
    return n;
}

TEST_P(BrudHost, RightPasswordIsReportedWithAHashThatCryptVerifies)
{
    const host &h = GetParam();
    brud_daemon daemon;
    client_result r = login();
    ASSERT_TRUE(logged_in(r)) << r.output;
    // Whatever the module opened is closed before the session runs (the
    // listing shows ls's own descriptor 3, so it is there).
    if (h.runs_session) {
        EXPECT_NE(r.output.find(" 3 -> /proc/"), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("socket:"), std::string::npos) << r.output;
    }
    auto lines = daemon.lines();
    ASSERT_EQ(lines.size(), 2 * h.actions.size()) << daemon.received();
    for (size_t i = 0; i < h.actions.size(); i++) {
        const std::string &report = lines[2 * i + 1];
        EXPECT_EQ(lines[2 * i], "AUTH pam " + TEST_KEY + "\n");
        EXPECT_EQ(member(report, "action"), "\"" + std::string(h.actions[i]) + "\"");
        EXPECT_EQ(member(report, "username"), "\"alice\"");
        EXPECT_EQ(member(report, "auth_service"), h.service);
        EXPECT_EQ(member(report, "remote_host"), h.rhost);
        EXPECT_EQ(member(report, "remote_user"), h.ruser);
        EXPECT_EQ(member(report, "tty").rfind(h.tty, 0), 0u) << member(report, "tty");
        if (i > 0 || !h.salt_tail) {
            EXPECT_EQ(member(report, "authtoken_hash"), "null");
        }
    }
    if (!h.salt_tail)
        return;
    // "$6$", the hour's window number, then as much of the user and host
    // (or remote user) as fits in 15 characters.
    std::string hash = unquoted(member(lines[1], "authtoken_hash"));
    std::string salt = hash.substr(0, hash.find('$', 3));
    size_t tail_at = salt.size() - strlen(h.salt_tail);
    EXPECT_LE(salt.size(), 15u) << hash;
    EXPECT_EQ(salt.substr(0, 3), "$6$") << hash;
    EXPECT_EQ(salt.find_first_not_of("0123456789", 3), tail_at) << hash;
    EXPECT_EQ(salt.substr(tail_at), h.salt_tail) << hash;
    struct crypt_data data;
    memset(&data, 0, sizeof data);
    const char *again = crypt_rn(PASSWORD.c_str(), hash.c_str(), &data, sizeof data);
    EXPECT_STREQ(again, hash.c_str()) << "crypt does not verify the reported hash";
}

// One connection: the verdict ends the stack before pam_unix. Cron's
// credentials are never refused.
TEST_P(BrudHost, RefusingVerdictRefusesTheRightPassword)
{
    brud_daemon daemon({"--verdict", "550 too many attempts\\n"});
    client_result r = login();
    EXPECT_EQ(logged_in(r), !refusable()) << r.output;
    EXPECT_EQ(daemon.lines().size(), 2u) << daemon.received();
}

// Each call fails open on its own, at once, and says so in syslog.
TEST_P(BrudHost, DaemonGoneLetsTheUserInAtOnce)
{
    brud_daemon daemon;
    daemon.stop();
    forget_log();
    client_result r = login();
    ASSERT_TRUE(logged_in(r)) << r.output;
    EXPECT_LT(r.seconds, 3.0);
    EXPECT_EQ(count(service_log("PAM-brud"), "failed to connect stream socket"), GetParam().actions.size());
}

// Each call waits out the stage's budget and fails open: at least the
// waits (which shows the daemon was silent), at most what the host adds.
TEST_P(BrudHost, SilentDaemonLetsTheUserInWithinTheBudgets)
{
    const host &h = GetParam();
    brud_daemon daemon({"--silent", "login"});
    forget_log();
    client_result r = login();
    EXPECT_TRUE(logged_in(r)) << r.output;
    fprintf(stderr, "%s: %.2f s with the daemon silent\n", h.name, r.seconds);
    EXPECT_GE(r.seconds, STAGE_SECONDS * double(h.actions.size()));
    EXPECT_LE(r.seconds, h.silent_most);
    EXPECT_EQ(count(service_log("PAM-brud"), "error reading auth status from stream socket"), h.actions.size());
}

INSTANTIATE_TEST_SUITE_P(Hosts, BrudHost, testing::ValuesIn(HOSTS),
                         [](const testing::TestParamInfo<host> &row) { return std::string(row.param.name); });

// sshd's own alarm must go off on time while the module waits on a daemon
// that welcomes and then stays silent: with LoginGraceTime 5 the grace time
// comes due during the module's 10 s wait for the login reply, and sshd
// ends the login then (not after the wait, and not never, which would let
// the login through after 30 s or more). The same grace time with a daemon
// that answers lets the login in.
TEST_F(BrudHosts, LoginGraceTimeEndsAnSshLoginWhoseDaemonIsSilent)
{
    pam_service("sshd", AUTH);
    sshd_service sshd({"LoginGraceTime 5"});
    ssh_login l("alice", PASSWORD, {"echo", "in-session"});
    {
        brud_daemon answering;
        client_result s = run_ssh(l);
        EXPECT_TRUE(logged_in(s)) << s.output;
    }
    brud_daemon silent({"--silent", "login"});
    forget_log();
    client_result s = run_ssh(l);
    double waited = clock_seconds(CLOCK_REALTIME) - silent.last_line_at();
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

// ProFTPD blocks SIGALRM from pam_start to pam_setcred, so its
// TimeoutLogin, due during the module's waits on a silent daemon, goes off
// once PAM is done (two 10 s waits), and must still go off then: a module
// that took or cleared the pending alarm would let the login in. The same
// time limit lets a login whose daemon answers in.
TEST_F(BrudHosts, ProftpdTimeoutLoginGoesOffOncePamIsDone)
{
    pam_service("proftpd", AUTH);
    proftpd_service ftpd({"TimeoutLogin 5"});
    {
        brud_daemon answering;
        client_result r = ftp_login("alice", PASSWORD);
        EXPECT_TRUE(logged_in(r)) << r.output;
    }
    brud_daemon silent({"--silent", "login"});
    client_result r = ftp_login("alice", PASSWORD);
    fprintf(stderr, "proftpd with TimeoutLogin 5 and the daemon silent: %.2f s\n", r.seconds);
    EXPECT_FALSE(logged_in(r)) << r.output;
    EXPECT_NE(ftpd.output().find("Login timeout exceeded, disconnected"), std::string::npos) << ftpd.output();
    EXPECT_GE(r.seconds, 2 * STAGE_SECONDS);
    EXPECT_LT(r.seconds, 2 * STAGE_SECONDS + 2);
}

// login's LOGIN_TIMEOUT runs on its own alarm. The module asks its daemon
// before anyone is asked for a name, so with the daemon silent login's 5 s
// come due in the middle of the module's 10 s wait for the login reply,
// and must end login then, not once the module is done. The same time
// limit lets a login whose daemon answers in.
TEST_F(BrudHosts, LoginTimeoutEndsALoginWhoseDaemonIsSilent)
{
    {
        brud_daemon answering;
        client_result r = login_on_pty(PASSWORD, 5);
        EXPECT_TRUE(logged_in(r)) << r.output;
    }
    brud_daemon silent({"--silent", "login"});
    client_result r = login_on_pty(PASSWORD, 5);
    double waited = clock_seconds(CLOCK_REALTIME) - silent.last_line_at();
    EXPECT_FALSE(logged_in(r)) << r.output;
    EXPECT_NE(r.output.find("Login timed out after 5 seconds."), std::string::npos) << r.output;
    EXPECT_GT(waited, 4.0) << r.output;
    EXPECT_LT(waited, 5.5) << "login's timeout waited for the module";
}

// What each descriptor of a process refers to. The process's threads may
// close one between the listing and its link (Apache's do, as connections
// end): that one is gone, not an error.
std::set<std::string> descriptors_of(pid_t pid)
{
    std::set<std::string> out;
    for (auto &fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code error;
        std::filesystem::path target = std::filesystem::read_symlink(fd.path(), error);
        if (error == std::errc::no_such_file_or_directory)
            continue;
        if (error)
            throw std::filesystem::filesystem_error("read_symlink", fd.path(), error);
        out.insert(fd.path().filename().string() + " -> " + target.string());
    }
    return out;
}

// Dovecot's auth worker lives on and serves login after login: 1000 of
// them leave its descriptors as they were and its memory within what
// Dovecot itself grows by without the module (64 kB of slack).
TEST_F(BrudHosts, DovecotAuthWorkerKeepsItsDescriptorsAndMemoryOver1000Logins)
{
    constexpr int LOGINS = 1000, WARM_UP = 50;
    struct usage {
        std::set<std::string> fds;
        long rss_kb = 0;
    };
    auto measure = [](pid_t pid) {
        std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
        size_t at = status.find("VmRSS:");
        return usage{descriptors_of(pid), at == std::string::npos ? 0 : atol(status.c_str() + at + 6)};
    };
    struct row {
        const char *name;
        std::vector<std::string> auth;
    } rows[] = {
        {"without the module", {"@include common-auth"}},
        {"with the module", AUTH},
    };
    brud_daemon daemon;
    long growth_kb[2] = {};
    for (int i = 0; i < 2; i++) {
        SCOPED_TRACE(rows[i].name);
        pam_service("dovecot", rows[i].auth);
        dovecot_service dovecot;
        ASSERT_EQ(dovecot.authenticate("alice", PASSWORD, WARM_UP), WARM_UP);
        pid_t worker = dovecot.auth_worker();
        ASSERT_GT(worker, 0);
        usage before = measure(worker);
        ASSERT_GT(before.rss_kb, 0);
        ASSERT_FALSE(before.fds.empty());
        ASSERT_EQ(dovecot.authenticate("alice", PASSWORD, LOGINS), LOGINS);
        EXPECT_EQ(dovecot.auth_worker(), worker) << "the worker was replaced";
        usage after = measure(worker);
        EXPECT_EQ(after.fds.size(), before.fds.size())
            << testing::PrintToString(after.fds) << " were " << testing::PrintToString(before.fds);
        growth_kb[i] = after.rss_kb - before.rss_kb;
        fprintf(stderr, "dovecot auth worker %s: %zu descriptors, RSS %ld -> %ld kB\n", rows[i].name, after.fds.size(),
                before.rss_kb, after.rss_kb);
    }
    // Two reports (authentication, credentials) of two lines per login.
    EXPECT_EQ(daemon.lines().size(), size_t(4 * (WARM_UP + LOGINS)));
    EXPECT_LE(growth_kb[1], growth_kb[0] + 64);
}

// The module checks no password and answers PAM_SUCCESS on a "2" verdict:
// as `sufficient` its success ends the stack, so su takes a wrong
// password; `requisite` passes the decision on to pam_unix.
TEST_F(BrudHosts, SufficientLetsAWrongPasswordThroughSu)
{
    struct row {
        const char *control;
        bool in;
    } rows[] = {
        {"sufficient", true},
        {"requisite", false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.control);
        brud_daemon daemon;
        client_result s = su_to_alice({std::string("auth ") + r.control + " " + PAM_BRUD_SO, "@include common-auth"},
                                      "wrong pw 8");
        EXPECT_EQ(logged_in(s), r.in) << s.output;
        EXPECT_NE(daemon.lines().size(), 0u) << "the daemon was not asked";
    }
}

// The SIGALRM state of each thread of a process: blocked, ignored, caught.
// Nothing once the process is gone.
std::map<std::string, std::string> alarm_state(pid_t pid)
{
    std::map<std::string, std::string> out;
    std::error_code gone;
    for (auto &task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", gone)) {
        std::string status = read_file(task.path().string() + "/status");
        for (const char *field : {"\nSigBlk:", "\nSigIgn:", "\nSigCgt:"}) {
            unsigned long long mask = strtoull(status.c_str() + status.find(field) + 8, nullptr, 16);
            out[task.path().filename()] += mask & (1ull << (SIGALRM - 1)) ? '1' : '0';
        }
    }
    return out;
}

// 20 clients at once against the one child of Apache's event MPM, whose
// worker threads call PAM together. The daemon counts: it lets each user in
// 500 times and refuses the rest, and a wrong password stays out whatever
// it says. Every HTTP result is the daemon's; the child survives, keeps its
// descriptors, and its threads' SIGALRM state (blocked, ignored, caught)
// never changes, watched throughout. The control, a module that borrows
// SIGALRM the careless way, shows the watch sees it.
TEST_F(BrudHosts, ApacheThreadsEachGetTheDaemonsVerdict)
{
    constexpr char REQUESTS[] = "/tmp/apache-requests";
    const char *WRONG = "Wrong pw 9";
    struct user_requests {
        const char *user, *password;
        int requests, in;
    };
    struct row {
        const char *name;
        std::vector<std::string> auth;
        std::vector<user_requests> users;
        bool alarm_kept;
    } rows[] = {
        {"pam_brud", AUTH,
         {{"alice", PASSWORD.c_str(), 1300, 500}, {"bob", PASSWORD.c_str(), 640, 500}, {"carol", WRONG, 60, 0}},
         true},
        {"borrowing control", {std::string("auth optional ") + BORROWING_MODULE_SO, AUTH[0], AUTH[1]},
         {{"alice", PASSWORD.c_str(), 150, 150}, {"carol", WRONG, 10, 0}}, false},
    };
    add_account("bob", PASSWORD);
    add_account("carol", "carol's own 5");
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        std::string config;
        int total = 0;
        for (const user_requests &u : r.users) {
            std::string url = "http://" + std::string(u.user) + ":" + u.password + "@127.0.0.1/private/ok?" + u.user;
            for (size_t at; (at = url.find(' ')) != std::string::npos;)
                url.replace(at, 1, "%20");
            for (int i = 0; i < u.requests; i++)
                config += "url = \"" + url + "\"\noutput = \"/dev/null\"\n";
            total += u.requests;
        }
        write_file(REQUESTS, config);
        brud_daemon daemon({"--count", "--limit", "500", "--workers", "20"});
        pam_service("apache2", for_www_data(r.auth));
        apache_service apache("apache2");
        pid_t child = apache.child();
        // pam_unix's first complaint opens the syslog socket that the
        // process keeps from then on.
        run_client({"/usr/bin/curl", "-s", "-u", std::string("carol:") + WRONG, "http://127.0.0.1/private/ok"},
                   {"PATH=/usr/bin:/bin"});
        const auto alarm_before = alarm_state(child);
        const auto fds_before = descriptors_of(child);
        std::atomic<bool> done{false}, alarm_changed{false};
        std::thread watch([&] {
            while (!done) {
                if (alarm_state(child) != alarm_before)
                    alarm_changed = true;
                usleep(2000);
            }
        });
        client_result c = run_client({"/usr/bin/curl", "-s", "--no-progress-meter", "-Z", "--parallel-max", "20",
                                      "-K", REQUESTS, "-w", "%{http_code} %{url_effective}\\n"},
                                     {"PATH=/usr/bin:/bin"}, "", 300);
        done = true;
        watch.join();
        fprintf(stderr, "apache, %s: %d requests in %.1f s\n", r.name, total, c.seconds);
        std::map<std::string, std::map<std::string, int>> results;  // user -> HTTP status -> count
        for (size_t start = 0, end; (end = c.output.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = c.output.substr(start, end - start);
            results[line.substr(line.rfind('?') + 1)][line.substr(0, 3)]++;
        }
        for (const user_requests &u : r.users) {
            EXPECT_EQ(results[u.user]["200"], u.in) << u.user;
            EXPECT_EQ(results[u.user]["401"], u.requests - u.in) << u.user;
        }
        EXPECT_EQ(daemon.lines().size(), 2 * size_t(total + 1)) << "one connection per request";
        EXPECT_EQ(alarm_changed, !r.alarm_kept);
        EXPECT_EQ(apache.child(), child);
        EXPECT_EQ(apache.error_log().find("exit signal"), std::string::npos) << apache.error_log();
        // The clients' connections close a moment after they end (and the
        // warm-up's may still have been open before).
        for (int i = 0; i < 500 && descriptors_of(child).size() > fds_before.size(); i++)
            usleep(10000);
        EXPECT_LE(descriptors_of(child).size(), fds_before.size())
            << testing::PrintToString(descriptors_of(child)) << " were " << testing::PrintToString(fds_before);
    }
}

// vesnar-pam-check --as www-data beside the real Apache. With the key
// readable by root alone it fails on the key, and Apache indeed lets the
// request in unreported; with the README's layout (root:www-data 0640) it
// logs in without a report, and Apache's request is reported.
TEST_F(BrudHosts, CheckAsWwwDataSaysWhatApacheFinds)
{
    struct row {
        const char *name;
        int key_mode, check_status;
        const char *check_line;
        size_t reports;  // of the request through Apache
    } rows[] = {
        {"key unreadable", 0600, 1,
         "fail pam_brud key file: /var/vesnar/quorixd/keys/pam: Permission denied (", 0},
        {"README's layout", 0640, 0, "ok pam_brud key modes: /var/vesnar/quorixd/keys/pam (root:www-data 0640)\n", 1},
    };
    brud_daemon daemon;
    pam_service("apache2", for_www_data(AUTH));
    apache_service apache("apache2");
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_EQ(chmod(KEY_FILE.c_str(), mode_t(r.key_mode)), 0);
        size_t before = daemon.lines().size();
        client_result check = run_client({CHECK_PROGRAM, "--as", "www-data", "apache2"}, {});
        EXPECT_EQ(check.status, r.check_status) << check.output;
        EXPECT_NE(check.output.find(r.check_line), std::string::npos) << check.output;
        EXPECT_NE(check.output.find("ok pam_brud stack apache2: a wrong password is refused\n"), std::string::npos)
            << check.output;
        std::vector<std::string> seen = daemon.lines();
        size_t check_lines = seen.size() - before;
        EXPECT_EQ(check_lines, r.check_status == 0 ? 1u : 0u) << "a login and no report";
        client_result request = run_client(
            {"/usr/bin/curl", "-sS", "--fail", "-u", "alice:" + PASSWORD, "http://127.0.0.1/private/session"},
            {"PATH=/usr/bin:/bin"});
        EXPECT_EQ(request.status, 0) << request.output;
        EXPECT_EQ(daemon.lines().size() - seen.size(), 2 * r.reports) << daemon.received();
    }
}

}  // namespace
