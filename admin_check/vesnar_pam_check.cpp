// vesnar-pam-check: says whether each module will work in this host, and
// why not, one line per check; exit status 0 when nothing failed, 1 when
// something did, 2 for bad usage.
#include "check.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr char USAGE[] = "usage: vesnar-pam-check [--as USER] [--tamlo ACCOUNT:SESSIONUSER] [--json] [SERVICE...]\n";
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

struct options {
    const char *as_user = nullptr;
    char tamlo[1024] = "";
    const char *account = nullptr;       // points into tamlo
    const char *session_user = nullptr;  // points into tamlo
    bool json = false;
    char *const *services = nullptr;
    int service_count = 0;
};

bool usage_error(const char *what)
{
    fprintf(stderr, "vesnar-pam-check: %s\n%s", what, USAGE);
    return false;
}

bool parse_options(int argc, char **argv, options *opts)
{
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "--") == 0) {
            i++;
            break;
        }
        if (strcmp(arg, "--json") == 0) {
            opts->json = true;
        } else if (strcmp(arg, "--as") == 0 || strcmp(arg, "--tamlo") == 0) {
            if (i + 1 >= argc || !argv[i + 1][0])
                return usage_error("an option needs its value");
            const char *value = argv[++i];
            if (arg[2] == 'a') {
                opts->as_user = value;
                continue;
            }
            if (snprintf(opts->tamlo, sizeof opts->tamlo, "%s", value) >= int(sizeof opts->tamlo))
                return usage_error("--tamlo: too long");
            char *colon = strchr(opts->tamlo, ':');
            if (!colon || colon == opts->tamlo)
                return usage_error("--tamlo takes ACCOUNT:SESSIONUSER");
            *colon = '\0';
            opts->account = opts->tamlo;
            opts->session_user = colon + 1;
        } else {
            return usage_error("unknown option");
        }
    }
    opts->services = argv + i;
    opts->service_count = argc - i;
    return true;
}

// Groups, group and user of USER, each step checked: what follows sees
// files and the socket as a host running as that user would.
bool become(const char *name)
{
    constexpr char MODULE[] = "check";
    constexpr char CHECK[] = "as";
    const struct passwd *pw = getpwnam(name);
    if (!pw) {
        report_line(CHECK_FAIL, MODULE, CHECK, "%s: no such user", name);
        return false;
    }
    uid_t uid = pw->pw_uid;
    gid_t gid = pw->pw_gid;
    if (initgroups(name, gid) != 0) {
        report_line(CHECK_FAIL, MODULE, CHECK, "%s: setting its groups: %s", name, strerror(errno));
        return false;
    }
    if (setgid(gid) != 0) {
        report_line(CHECK_FAIL, MODULE, CHECK, "%s: setgid(%u): %s", name, unsigned(gid), strerror(errno));
        return false;
    }
    if (setuid(uid) != 0) {
        report_line(CHECK_FAIL, MODULE, CHECK, "%s: setuid(%u): %s", name, unsigned(uid), strerror(errno));
        return false;
    }
    if (getuid() != uid || geteuid() != uid || getgid() != gid || getegid() != gid ||
        (uid != 0 && setuid(0) == 0)) {
        report_line(CHECK_FAIL, MODULE, CHECK, "%s: the user could not be taken on for good", name);
        return false;
    }
    report_line(CHECK_OK, MODULE, CHECK,
                "%s (uid %u, gid %u): files and the socket are tried with its rights; the SELinux "
                "domain and any chroot are still this program's own",
                name, unsigned(uid), unsigned(gid));
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    options opts;
    if (!parse_options(argc, argv, &opts))
        return EXIT_USAGE;
    if (!opts.as_user || become(opts.as_user)) {
        check_brud();
        check_tamlo(opts.account, opts.session_user);
        check_suqvo();
        check_selinux(opts.account, opts.session_user);
        check_stacks(opts.services, opts.service_count);
    }
    bool failed = report_failed();
    print_report(stdout, opts.json);
    return failed ? EXIT_FAILED : 0;
}
