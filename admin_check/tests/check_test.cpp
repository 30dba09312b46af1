// vesnar-pam-check in the sandbox, one row per host state: the line it must
// print and its exit status, the same through --json; and in every row,
// nothing reaches syslog and no report reaches the daemon.
#include "brud_harness.h"
#include "json.h"
#include "sandbox.h"
#include "syslog_capture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>

namespace {

// Debian 12's /etc/pam.d/common-auth as pam-auth-update writes it.
const std::string DEBIAN_COMMON_AUTH = R"(#
# /etc/pam.d/common-auth - authentication settings common to all services
#
# This file is included from other service-specific PAM config files,
# and should contain a list of the authentication modules that define
# the central authentication scheme for use on the system
# (e.g., /etc/shadow, LDAP, Kerberos, etc.).  The default is to use the
# traditional Unix authentication mechanisms.
#
# As of pam 1.0.1-6, this file is managed by pam-auth-update by default.
# To take advantage of this, it is recommended that you configure any
# local modules either before or after the default block, and use
# pam-auth-update to manage selection of other modules.  See
# pam-auth-update(8) for details.

# here are the per-package modules (the "Primary" block)
auth	[success=1 default=ignore]	pam_unix.so nullok
# here's the fallback if no module succeeds
auth	requisite			pam_deny.so
# prime the stack with a positive return value if there isn't one already;
# this avoids us returning an error just because nothing sets a success code
# since the modules above will each just jump around
auth	required			pam_permit.so
# and here are more per-package modules (the "Additional" block)
# (none)
# end of pam-auth-update config
)";

constexpr char USER[] = "vpcheck";  // the --as user, made in the sandbox
constexpr uid_t USER_ID = 4242;
// The session user "shop1abcdefgh" names its key by its first 10 characters.
const std::string TAMLO_KEY = "/var/vesnar/tamlo/keys/alice:tamlo_shop1abcde";

using daemon_ptr = std::unique_ptr<brud_daemon>;

void pam_d(const std::string &service, const std::string &text) { write_file("/etc/pam.d/" + service, text); }

void add_user()
{
    write_file("/etc/passwd", read_file("/etc/passwd") + USER + ":x:4242:4242::/nonexistent:/usr/sbin/nologin\n");
    write_file("/etc/group", read_file("/etc/group") + USER + ":x:4242:\n");
}

// pam_brud switched on, its key root:vpcheck 0640 (the README's layout for
// a host running as another user), the daemon up and its socket open to all.
daemon_ptr well_host(const std::vector<std::string> &daemon_args = {})
{
    enable_brud();
    add_user();
    chown(KEY_FILE.c_str(), 0, USER_ID);
    chmod(KEY_FILE.c_str(), 0640);
    auto d = std::make_unique<brud_daemon>(daemon_args);
    chmod(SOCKET_PATH.c_str(), 0666);
    return d;
}

// pam_brud off, one service's stack.
daemon_ptr stack_only(const std::vector<std::pair<std::string, std::string>> &files)
{
    pam_d("common-auth", DEBIAN_COMMON_AUTH);
    for (auto &[service, text] : files)
        pam_d(service, text);
    return nullptr;
}

// SELinux enforcing, as far as the program can tell: this process's own
// /sys/fs (a private mount) holds selinux/enforce, and the key its label.
daemon_ptr selinux_enforcing()
{
    daemon_ptr d = well_host();
    if (mount("selinux", "/sys/fs", "tmpfs", 0, nullptr) != 0)
        perror("mount /sys/fs");
    make_dirs("/sys/fs/selinux");
    write_file("/sys/fs/selinux/enforce", "1");
    const char label[] = "system_u:object_r:vesnar_key_t:s0";
    if (setxattr(KEY_FILE.c_str(), "security.selinux", label, sizeof label, 0) != 0)
        perror("setxattr");
    return d;
}

struct check_row {
    const char *name;
    std::function<daemon_ptr()> setup;
    std::vector<std::string> args;
    std::string expected;  // one line of the output, each time as "(T ms)"
    int exit_status;
    std::vector<std::string> environment = {};
};

const std::string SERVICE = "vesnar-test";
const std::string README_STACK = "auth requisite pam_brud.so\n@include common-auth\n";

const check_row ROWS[] = {
    // pam_brud
    {"feature_off", [] { return stack_only({{SERVICE, README_STACK}}); }, {SERVICE},
     "warn pam_brud feature: off (neither /var/vesnar/brudd/enabled nor /var/vesnar/quorix_enable exists): "
     "pam_brud answers PAM_SUCCESS and reports nothing",
     0},
    {"key_missing", [] { auto d = well_host(); remove_tree(KEY_FILE); return d; }, {SERVICE},
     "fail pam_brud key file: /var/vesnar/quorixd/keys/pam: No such file or directory (T ms): every call logs "
     "\"error getting brud key\" and goes unreported",
     1},
    {"key_unreadable_for_the_user", [] { auto d = well_host(); chmod(KEY_FILE.c_str(), 0600); return d; },
     {"--as", USER, SERVICE},
     "fail pam_brud key file: /var/vesnar/quorixd/keys/pam: Permission denied (T ms): every call logs "
     "\"error getting brud key\" and goes unreported",
     1},
    {"key_a_directory", [] { auto d = well_host(); remove_tree(KEY_FILE); make_dirs(KEY_FILE); return d; },
     {SERVICE},
     "fail pam_brud key file: /var/vesnar/quorixd/keys/pam: not a regular file (T ms): every call logs "
     "\"error getting brud key\" and goes unreported",
     1},
    {"key_with_bad_modes", [] { auto d = well_host(); chmod(KEY_FILE.c_str(), 0666); return d; }, {SERVICE},
     "warn pam_brud key modes: /var/vesnar/quorixd/keys/pam (root:vpcheck 0666): writable by others; "
     "writable by the group; readable by others",
     0},
    {"key_dir_writable_by_the_group",
     [] { auto d = well_host(); chmod("/var/vesnar/quorixd/keys", 0775); return d; }, {SERVICE},
     "warn pam_brud key modes: /var/vesnar/quorixd/keys/pam (root:vpcheck 0640): directory /var/vesnar/quorixd/keys "
     "writable by the group",
     0},
    {"readme_key_layout_is_quiet", [] { return well_host(); }, {"--as", USER, SERVICE},
     "ok pam_brud key modes: /var/vesnar/quorixd/keys/pam (root:vpcheck 0640)", 0},
    {"socket_missing", [] { enable_brud(); return daemon_ptr(); }, {SERVICE},
     "fail pam_brud socket: /var/run/quorixd.sock: No such file or directory", 1},
    {"nobody_listening", [] { enable_brud(); return daemon_ptr(); }, {SERVICE},
     "fail pam_brud connect: failed to connect stream socket: No such file or directory (T ms)", 1},
    {"socket_not_writable_for_the_user",
     [] { auto d = well_host(); chmod(SOCKET_PATH.c_str(), 0755); return d; }, {"--as", USER, SERVICE},
     "fail pam_brud connect: failed to connect stream socket: Permission denied (T ms)", 1},
    {"daemon_silent", [] { return well_host({"--silent", "welcome"}); }, {SERVICE},
     "fail pam_brud welcome: error reading welcome from stream socket: Connection timed out (T ms)", 1},
    {"daemon_refusing_the_login", [] { return well_host({"--login", "530 no\\x1b[2J such key\\n"}); },
     {SERVICE}, "fail pam_brud login: error logging into brudd: 530 no#033[2J such key (T ms)", 1},
    {"all_well", [] { return well_host(); }, {"--as", USER, SERVICE},
     "ok pam_brud login: the key is accepted; no report sent (T ms)", 0},
    {"as_the_user", [] { return well_host(); }, {"--as", USER, SERVICE},
     "ok check as: vpcheck (uid 4242, gid 4242): files and the socket are tried with its rights; the SELinux "
     "domain and any chroot are still this program's own",
     0},
    {"as_nobody_known", [] { return well_host(); }, {"--as", "no-such-user", SERVICE},
     "fail check as: no-such-user: no such user", 1},

    // pam_tamlo
    {"tamlo_key_missing", [] { make_dirs("/var/vesnar/tamlo/keys"); return stack_only({{SERVICE, README_STACK}}); },
     {"--tamlo", "alice:shop1", SERVICE},
     "fail pam_tamlo key file: /var/vesnar/tamlo/keys/alice:tamlo_shop1: No such file or directory", 1},
    {"tamlo_key_of_a_long_session_user",
     [] { write_file(TAMLO_KEY, "secret", 0600); return stack_only({{SERVICE, README_STACK}}); },
     {"--tamlo", "alice:shop1abcdefgh", SERVICE},
     "ok pam_tamlo key file: /var/vesnar/tamlo/keys/alice:tamlo_shop1abcde (root:root 0600)", 0},
    {"tamlo_key_writable_by_others",
     [] { write_file(TAMLO_KEY, "secret"); chmod(TAMLO_KEY.c_str(), 0602); return stack_only({{SERVICE, README_STACK}}); },
     {"--tamlo", "alice:shop1abcdefgh", SERVICE},
     "fail pam_tamlo key file: /var/vesnar/tamlo/keys/alice:tamlo_shop1abcde (root:root 0602): writable by others: "
     "pam_tamlo refuses it",
     1},
    {"tamlo_key_of_a_stranger",
     [] { write_file(TAMLO_KEY, "secret", 0600); chown(TAMLO_KEY.c_str(), USER_ID, 0);
          return stack_only({{SERVICE, README_STACK}}); },
     {"--tamlo", "alice:shop1abcdefgh", SERVICE},
     "fail pam_tamlo key file: /var/vesnar/tamlo/keys/alice:tamlo_shop1abcde (4242:root 0600): owned by uid 4242: "
     "pam_tamlo refuses it",
     1},
    {"tamlo_key_readable_by_others",
     [] { write_file(TAMLO_KEY, "secret", 0644); return stack_only({{SERVICE, README_STACK}}); },
     {"--tamlo", "alice:shop1abcdefgh", SERVICE},
     "warn pam_tamlo key file: /var/vesnar/tamlo/keys/alice:tamlo_shop1abcde (root:root 0644): readable by others", 0},
    {"tamlo_key_a_link",
     [] { write_file("/var/vesnar/elsewhere/key", "secret", 0600); make_dirs("/var/vesnar/tamlo/keys");
          symlink("/var/vesnar/elsewhere/key", TAMLO_KEY.c_str()); return stack_only({{SERVICE, README_STACK}}); },
     {"--tamlo", "alice:shop1abcdefgh", SERVICE},
     "ok pam_tamlo key file: /var/vesnar/tamlo/keys/alice:tamlo_shop1abcde (root:root 0600, a link to "
     "/var/vesnar/elsewhere/key)",
     0},
    {"tamlo_dir_writable_by_others",
     [] { make_dirs("/var/vesnar/tamlo/keys"); chmod("/var/vesnar/tamlo/keys", 0757);
          return stack_only({{SERVICE, README_STACK}}); },
     {SERVICE},
     "fail pam_tamlo keys directory: /var/vesnar/tamlo/keys (root:root 0757): writable by others: pam_tamlo "
     "refuses every key in it",
     1},

    // pam_suqvo
    {"qvo_inside", [] { return stack_only({{SERVICE, README_STACK}}); }, {SERVICE},
     "ok pam_suqvo libqvo: loaded; is_in_qvo answers 1: inside a container, the banner shows", 0,
     {"LD_LIBRARY_PATH=" QVO_STANDIN_DIR, "QVO_STANDIN_ANSWER=inside"}},
    {"qvo_failing", [] { return stack_only({{SERVICE, README_STACK}}); }, {SERVICE},
     "fail pam_suqvo libqvo: init_qvo failed: Input/output error: pam_suqvo shows no banner", 1,
     {"LD_LIBRARY_PATH=" QVO_STANDIN_DIR, "QVO_STANDIN_ANSWER=fail:5"}},
    {"qvo_missing", [] { return stack_only({{SERVICE, README_STACK}}); }, {SERVICE},
     "warn pam_suqvo libqvo: libqvo.so.0 cannot be loaded (libqvo.so.0: cannot open shared object file: No such "
     "file or directory): pam_suqvo cannot load either",
     0},
    {"container_host", [] { write_file("/etc/zelvaronix-container", ""); return stack_only({{SERVICE, README_STACK}}); },
     {SERVICE}, "ok pam_suqvo container marker: /etc/zelvaronix-container exists: a container host, pam_suqvo does nothing", 0},

    // SELinux
    {"selinux_not_enabled", [] { return well_host(); }, {SERVICE}, "ok selinux mode: not enabled (no /sys/fs/selinux/enforce)", 0},
    {"selinux_enforcing_shows_the_labels", selinux_enforcing, {SERVICE},
     "warn selinux label: /var/vesnar/quorixd/keys/pam: system_u:object_r:vesnar_key_t:s0", 0},

    // Stacks
    {"stack_readme_requisite", [] { return stack_only({{"sshd", README_STACK}}); }, {"sshd"},
     "ok pam_brud stack sshd: a wrong password is refused", 0},
    {"stack_sufficient", [] { return stack_only({{"sshd", "auth sufficient pam_brud.so\n@include common-auth\n"}}); },
     {"sshd"}, "fail pam_brud stack sshd: any password gets in: /etc/pam.d/sshd:1 (auth sufficient pam_brud.so)", 1},
    {"stack_success_done",
     [] { return stack_only({{"sshd", "# tamlo's line, copied\nauth  [success=done default=ignore]  pam_brud.so\n"
                                      "@include common-auth\n"}}); },
     {"sshd"},
     "fail pam_brud stack sshd: any password gets in: /etc/pam.d/sshd:2 (auth [success=done default=ignore] "
     "pam_brud.so)",
     1},
    {"stack_jump_over_unix_and_deny",
     [] { return stack_only({{"su", "auth sufficient pam_rootok.so\nauth [success=2 default=ignore] "
                                    "/usr/lib/x86_64-linux-gnu/security/pam_brud.so\n@include common-auth\n"}}); },
     {"su"},
     "fail pam_brud stack su: any password gets in: /etc/pam.d/su:2 (auth [success=2 default=ignore] "
     "/usr/lib/x86_64-linux-gnu/security/pam_brud.so)",
     1},
    {"stack_jump_onto_deny", [] { return stack_only({{"su", "auth [success=1 default=ignore] pam_brud.so\n@include common-auth\n"}}); },
     {"su"}, "ok pam_brud stack su: a wrong password is refused", 0},
    {"stack_jump_past_the_end",
     [] { return stack_only({{"su", "auth [success=3 default=ignore] pam_brud.so\nauth required pam_permit.so\n"}}); },
     {"su"}, "ok pam_brud stack su: a wrong password is refused", 0},
    {"stack_required_alone", [] { return stack_only({{"cron", "auth required pam_brud.so\n"}}); }, {"cron"},
     "fail pam_brud stack cron: any password gets in: /etc/pam.d/cron:1 (auth required pam_brud.so)", 1},
    {"stack_dash_line", [] { return stack_only({{"cron", "-auth sufficient pam_brud.so\n@include common-auth\n"}}); },
     {"cron"}, "fail pam_brud stack cron: any password gets in: /etc/pam.d/cron:1 (-auth sufficient pam_brud.so)", 1},
    {"stack_through_include",
     [] { return stack_only({{"login", "auth include brud-auth\nauth requisite pam_deny.so\n"},
                             {"brud-auth", "auth sufficient pam_brud.so\n"}}); },
     {"login"}, "fail pam_brud stack login: any password gets in: /etc/pam.d/brud-auth:1 (auth sufficient pam_brud.so)",
     1},
    {"stack_substack_done_ends_only_the_substack",
     [] { return stack_only({{"login", "auth substack brud-auth\nauth requisite pam_deny.so\n"},
                             {"brud-auth", "auth sufficient pam_brud.so\n"}}); },
     {"login"}, "ok pam_brud stack login: a wrong password is refused", 0},
    {"stack_jump_skips_a_substack_whole",
     [] { return stack_only({{"login", "auth [success=1 default=ignore] pam_brud.so\nauth substack deny-auth\n"
                                       "auth required pam_permit.so\n"},
                             {"deny-auth", "auth requisite pam_deny.so\nauth requisite pam_deny.so\n"}}); },
     {"login"}, "fail pam_brud stack login: any password gets in: /etc/pam.d/login:1 (auth [success=1 default=ignore] pam_brud.so)",
     1},
    {"stack_reset_forgets_the_refusal",
     [] { return stack_only({{"login", "auth required pam_unix.so\nauth [success=ok default=reset] pam_unix.so\n"
                                       "auth optional pam_brud.so\n"}}); },
     {"login"}, "fail pam_brud stack login: any password gets in: /etc/pam.d/login:3 (auth optional pam_brud.so)", 1},
    {"stack_missing_include_fails",
     [] { return stack_only({{"login", "auth include no-such-file\nauth optional pam_brud.so\n"}}); }, {"login"},
     "ok pam_brud stack login: a wrong password is refused", 0},
    {"stack_through_other",
     [] { return stack_only({{"other", "auth sufficient pam_brud.so\n"}}); }, {"no-such-service"},
     "fail pam_brud stack no-such-service: any password gets in (through \"other\"): /etc/pam.d/other:1 (auth "
     "sufficient pam_brud.so)",
     1},
    {"stack_continued_line",
     [] { return stack_only({{"sshd", "auth \\\n  sufficient pam_brud.so # let in\n@include common-auth\n"}}); },
     {"sshd"}, "fail pam_brud stack sshd: any password gets in: /etc/pam.d/sshd:1 (auth sufficient pam_brud.so)", 1},
    {"stack_tamlo_account_sufficient",
     [] { return stack_only({{"sshd", README_STACK + "account sufficient pam_tamlo.so\n@include common-account\n"}}); },
     {"sshd"},
     "warn pam_tamlo stack sshd: /etc/pam.d/sshd:3 (account sufficient pam_tamlo.so): sufficient, but pam_tamlo's "
     "account calls answer without checking anything",
     0},

    {"stacks_all_of_pam_d_refuse",
     [] { remove_tree("/etc/pam.d"); return stack_only({{"sshd", README_STACK}, {"other", "@include common-auth\n"}}); },
     {}, "ok pam stacks: no stack in /etc/pam.d lets any password in", 0},
    {"stacks_all_of_pam_d_one_lets_in",
     [] { remove_tree("/etc/pam.d");
          return stack_only({{"sshd", README_STACK}, {"su", "auth sufficient pam_brud.so\n@include common-auth\n"}}); },
     {}, "fail pam_brud stack su: any password gets in: /etc/pam.d/su:1 (auth sufficient pam_brud.so)", 1},

    // Usage
    {"usage_tamlo_without_session_user", [] { return daemon_ptr(); }, {"--tamlo", "alice"}, "", 2},
    {"usage_unknown_option", [] { return daemon_ptr(); }, {"--verbose"}, "", 2},
};

void PrintTo(const check_row &row, std::ostream *os) { *os << row.name; }

struct run_result {
    std::string out;
    int status = -1;
};

run_result run_check(const std::vector<std::string> &args, const std::vector<std::string> &environment)
{
    std::vector<std::string> argv;
#ifdef CHECK_UNDER_VALGRIND
    argv = {"valgrind", "--quiet", "--error-exitcode=99", "--leak-check=full", "--errors-for-leak-kinds=definite"};
#endif
    argv.push_back(CHECK_PROGRAM);
    argv.insert(argv.end(), args.begin(), args.end());
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        abort();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        for (auto &e : environment)
            putenv(const_cast<char *>(e.c_str()));
        std::vector<char *> v;
        for (auto &a : argv)
            v.push_back(const_cast<char *>(a.c_str()));
        v.push_back(nullptr);
        execvp(v[0], v.data());
        _exit(127);
    }
    close(out[1]);
    run_result r;
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0)
        r.out.append(buf, size_t(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

// Each "(12.3 ms)" as "(T ms)".
std::string without_times(std::string line)
{
    for (size_t at = 0; (at = line.find('(', at)) != std::string::npos; at++) {
        size_t end = at + 1;
        while (end < line.size() && isdigit(static_cast<unsigned char>(line[end])))
            end++;
        if (end > at + 1 && end + 1 < line.size() && line[end] == '.' &&
            isdigit(static_cast<unsigned char>(line[end + 1])) && line.compare(end + 2, 4, " ms)") == 0)
            line.replace(at, end + 6 - at, "(T ms)");
    }
    return line;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(without_times(text.substr(start, end - start)));
        start = end + 1;
    }
    return lines;
}

// The JSON document's checks as text lines, control characters escaped as
// the text output escapes them.
std::vector<std::string> lines_of_json(const std::string &text, bool *failed)
{
    std::string lines;
    json_node *doc = json_decode(text.c_str());
    if (!doc)
        return {"(not JSON)"};
    json_node *f = json_find_member(doc, "failed");
    *failed = f && f->tag == TAG_BOOL && f->bool_;
    json_node *checks = json_find_member(doc, "checks");
    for (json_node *c = checks ? json_first_child(checks) : nullptr; c; c = c->next) {
        auto field = [&](const char *key) {
            json_node *m = json_find_member(c, key);
            return std::string(m && m->tag == TAG_STRING ? m->string_ : "(missing)");
        };
        std::string line = field("result") + " " + field("module") + " " + field("check") + ": " + field("detail");
        for (unsigned char ch : line) {
            if (ch < 0x20 || ch == 0x7F) {
                char esc[8];
                snprintf(esc, sizeof esc, "#%03o", ch);
                lines += esc;
            } else {
                lines += char(ch);
            }
        }
        lines += '\n';
    }
    json_delete(doc);
    return lines_of(lines);
}

class Check : public testing::TestWithParam<check_row> {};

TEST_P(Check, SaysWhatTheModulesFind)
{
    const check_row &row = GetParam();
    daemon_ptr daemon = row.setup();
    clear_log();

    run_result text = run_check(row.args, row.environment);
    std::vector<std::string> lines = lines_of(text.out);
    EXPECT_EQ(text.status, row.exit_status) << text.out;
    if (row.expected.empty())
        EXPECT_EQ(text.out, "");
    else
        EXPECT_NE(std::find(lines.begin(), lines.end(), row.expected), lines.end()) << text.out;

    if (row.exit_status != 2) {
        std::vector<std::string> json_args = {"--json"};
        json_args.insert(json_args.end(), row.args.begin(), row.args.end());
        run_result json = run_check(json_args, row.environment);
        bool failed = false;
        EXPECT_EQ(lines_of_json(json.out, &failed), lines) << json.out;
        EXPECT_EQ(json.status, row.exit_status);
        EXPECT_EQ(failed, row.exit_status == 1);
    }

    // Nothing of what the module code logged reaches syslog, and the daemon
    // sees logins only, never a report.
    for (const log_event &e : log_events())
        EXPECT_TRUE(e.ident != "PAM-brud" && e.ident != "PAM-tamlo" && e.ident != "pam_suqvo") << e.raw;
    if (daemon) {
        EXPECT_EQ(daemon->received().find("ACTION"), std::string::npos) << daemon->received();
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Check, testing::ValuesIn(ROWS),
                         [](const testing::TestParamInfo<check_row> &row) { return std::string(row.param.name); });

}  // namespace
