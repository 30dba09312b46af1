// What each module finds in this host: pam_brud's switch, key, socket and
// daemon; pam_tamlo's keys; pam_suqvo's marker and library; SELinux's mode
// and labels. The key file and the daemon protocol are the modules' own
// code; nothing is reported to the daemon and no key is ever shown.
#include "brud.h"
#include "check.h"
#include "descriptor.h"
#include "key_file.h"
#include "qvo.h"
#include "suqvo.h"
#include "tamlo.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

constexpr char BRUD[] = "pam_brud";
constexpr char TAMLO[] = "pam_tamlo";
constexpr char SUQVO[] = "pam_suqvo";
constexpr char SELINUX[] = "selinux";

constexpr char SELINUX_ENFORCE[] = "/sys/fs/selinux/enforce";
constexpr char SELINUX_XATTR[] = "security.selinux";

// connect_brud's stages, in the order it passes them.
constexpr const char *BRUD_STAGES[] = {"connect", "welcome", "login"};
constexpr size_t BRUD_STAGE_COUNT = sizeof BRUD_STAGES / sizeof BRUD_STAGES[0];
constexpr const char *BRUD_STAGE_PASSED[BRUD_STAGE_COUNT] = {BRUD_SOCKET_PATH, "received",
                                                             "the key is accepted; no report sent"};

// Ownership and mode: "root:www-data 0640".
void describe_owner(const struct stat &st, char *out, size_t size)
{
    const struct passwd *pw = getpwuid(st.st_uid);
    const struct group *gr = getgrgid(st.st_gid);
    char uid[16], gid[16];
    snprintf(uid, sizeof uid, "%u", unsigned(st.st_uid));
    snprintf(gid, sizeof gid, "%u", unsigned(st.st_gid));
    snprintf(out, size, "%s:%s %04o", pw ? pw->pw_name : uid, gr ? gr->gr_name : gid,
             unsigned(st.st_mode & 07777));
}

// The file opened from path: "root:root 0600", and where path is a link,
// ", a link to /its/target".
void describe_opened(int fd, const char *path, char *out, size_t size)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        snprintf(out, size, "%s", strerror(errno));
        return;
    }
    describe_owner(st, out, size);
    char target[PATH_MAX];
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode) && realpath(path, target)) {
        size_t used = strlen(out);
        snprintf(out + used, size - used, ", a link to %s", target);
    }
}

// Why open_key_file gave -1: the open's own error, or a file of another type.
const char *open_failure(int error) { return error ? strerror(error) : "not a regular file"; }

// ---- pam_brud ----------------------------------------------------------------

bool check_brud_feature()
{
    char why[512] = "";
    size_t used = 0;
    struct stat st;
    for (const char *flag : BRUD_FLAG_FILES) {
        if (stat(flag, &st) == 0) {
            report_line(CHECK_OK, BRUD, "feature", "on (%s exists)", flag);
            return true;
        }
        if (errno != ENOENT && used < sizeof why)
            used += size_t(snprintf(why + used, sizeof why - used, "; %s: %s", flag, strerror(errno)));
    }
    report_line(CHECK_WARN, BRUD, "feature",
                "off (neither %s nor %s exists%s): pam_brud answers PAM_SUCCESS and reports nothing",
                BRUD_FLAG_FILES[0], BRUD_FLAG_FILES[1], why);
    return false;
}

bool check_brud_key()
{
    double start = now_ms();
    errno = 0;
    unique_fd key(open_key_file(BRUD_KEY_PATH));
    int error = errno;
    double took = now_ms() - start;
    if (key.get() < 0) {
        report_line(CHECK_FAIL, BRUD, "key file",
                    "%s: %s (%.1f ms): every call logs \"error getting brud key\" and goes unreported",
                    BRUD_KEY_PATH, open_failure(error), took);
        return false;
    }
    char owner[PATH_MAX + 64];
    describe_opened(key.get(), BRUD_KEY_PATH, owner, sizeof owner);
    report_line(CHECK_OK, BRUD, "key file", "%s: readable (%.1f ms)", BRUD_KEY_PATH, took);
    key_file_report weak;
    if (inspect_key_file(key.get(), BRUD_KEY_PATH, nullptr, BRUD_KEY_WARNED, &weak) & BRUD_KEY_WARNED)
        report_line(CHECK_WARN, BRUD, "key modes", "%s (%s): %s", BRUD_KEY_PATH, owner, weak.reasons);
    else
        report_line(CHECK_OK, BRUD, "key modes", "%s (%s)", BRUD_KEY_PATH, owner);
    return true;
}

void check_brud_socket()
{
    struct stat st;
    if (stat(BRUD_SOCKET_PATH, &st) != 0) {
        report_line(CHECK_FAIL, BRUD, "socket", "%s: %s", BRUD_SOCKET_PATH, strerror(errno));
        return;
    }
    char owner[160];
    describe_owner(st, owner, sizeof owner);
    if (!S_ISSOCK(st.st_mode))
        report_line(CHECK_FAIL, BRUD, "socket", "%s (%s): not a socket", BRUD_SOCKET_PATH, owner);
    else
        report_line(CHECK_OK, BRUD, "socket", "%s (%s): present", BRUD_SOCKET_PATH, owner);
}

// The module's own connect_brud: key, connection, welcome and login, each
// stage timed from the one before. Its messages come back through the
// program's log sink: the last is the failing stage's reason, with the
// errno it was written under where the message carries no text of its own.
void check_brud_daemon()
{
    forget_captured();
    double start = now_ms();
    int fd = connect_brud();
    double end = now_ms(), previous = start;
    size_t passed = stages_passed();
    for (size_t i = 0; i < passed && i < BRUD_STAGE_COUNT; i++) {
        report_line(CHECK_OK, BRUD, BRUD_STAGES[i], "%s (%.1f ms)", BRUD_STAGE_PASSED[i],
                    stage_at(i) - previous);
        previous = stage_at(i);
    }
    if (fd >= 0) {
        disconnect_brud(fd);
        return;
    }
    const char *stage = BRUD_STAGES[passed < BRUD_STAGE_COUNT ? passed : BRUD_STAGE_COUNT - 1];
    size_t count = captured_count();
    const captured_message *m = count ? captured(count - 1) : nullptr;
    if (!m)
        report_line(CHECK_FAIL, BRUD, stage, "failed (%.1f ms)", end - previous);
    else if (m->has_fields)
        report_line(CHECK_FAIL, BRUD, stage, "%s (%.1f ms)", m->text, m->at_ms - previous);
    else
        report_line(CHECK_FAIL, BRUD, stage, "%s: %s (%.1f ms)", m->text, strerror(m->error),
                    m->at_ms - previous);
}

// ---- pam_tamlo ---------------------------------------------------------------

void check_tamlo_dir()
{
    unique_fd dir(open(TAMLO_KEY_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) {
        report_line(CHECK_WARN, TAMLO, "keys directory", "%s: %s: no session user can log in",
                    TAMLO_KEY_DIR, strerror(errno));
        return;
    }
    char owner[160];
    describe_opened(dir.get(), TAMLO_KEY_DIR, owner, sizeof owner);
    // A directory is listed by everyone as a rule: only who may write it counts.
    constexpr unsigned WRITERS = KEY_WRITABLE_BY_OTHERS | KEY_FOREIGN_OWNER | KEY_WRITABLE_BY_GROUP;
    key_file_report weak;
    unsigned found = inspect_key_file(dir.get(), TAMLO_KEY_DIR, "root", WRITERS, &weak) & WRITERS;
    if (found & TAMLO_KEY_REFUSED)
        report_line(CHECK_FAIL, TAMLO, "keys directory", "%s (%s): %s: pam_tamlo refuses every key in it",
                    TAMLO_KEY_DIR, owner, weak.reasons);
    else if (found)
        report_line(CHECK_WARN, TAMLO, "keys directory", "%s (%s): %s", TAMLO_KEY_DIR, owner, weak.reasons);
    else
        report_line(CHECK_OK, TAMLO, "keys directory", "%s (%s)", TAMLO_KEY_DIR, owner);
}

// The key of one account and session user: presence, owner and modes,
// never its content.
void check_tamlo_key(const char *account, const char *session_user)
{
    char path[PATH_MAX];
    tamlo_key_path(account, session_user, path, sizeof path);
    errno = 0;
    unique_fd key(open_key_file(path));
    if (key.get() < 0) {
        report_line(CHECK_FAIL, TAMLO, "key file", "%s: %s", path, open_failure(errno));
        return;
    }
    char owner[PATH_MAX + 64];
    describe_opened(key.get(), path, owner, sizeof owner);
    key_file_report weak;
    unsigned found = inspect_key_file(key.get(), path, account, TAMLO_KEY_REFUSED | TAMLO_KEY_WARNED, &weak);
    if (found & TAMLO_KEY_REFUSED)
        report_line(CHECK_FAIL, TAMLO, "key file", "%s (%s): %s: pam_tamlo refuses it", path, owner,
                    weak.reasons);
    else if (found & TAMLO_KEY_WARNED)
        report_line(CHECK_WARN, TAMLO, "key file", "%s (%s): %s", path, owner, weak.reasons);
    else
        report_line(CHECK_OK, TAMLO, "key file", "%s (%s)", path, owner);
}

// ---- pam_suqvo ---------------------------------------------------------------

using init_qvo_fn = decltype(&init_qvo);
using is_in_qvo_fn = decltype(&is_in_qvo);
using destroy_qvo_fn = decltype(&destroy_qvo);

// The library's answer through dlopen, so that the program never needs it.
void check_qvo_library()
{
    void *lib = dlopen(SUQVO_QVO_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        report_line(CHECK_WARN, SUQVO, "libqvo", "%s cannot be loaded (%s): pam_suqvo cannot load either",
                    SUQVO_QVO_LIBRARY, dlerror());
        return;
    }
    auto init = reinterpret_cast<init_qvo_fn>(dlvsym(lib, "init_qvo", SUQVO_QVO_VERSION));
    auto is_in = reinterpret_cast<is_in_qvo_fn>(dlvsym(lib, "is_in_qvo", SUQVO_QVO_VERSION));
    auto destroy = reinterpret_cast<destroy_qvo_fn>(dlvsym(lib, "destroy_qvo", SUQVO_QVO_VERSION));
    if (!init || !is_in || !destroy) {
        report_line(CHECK_FAIL, SUQVO, "libqvo", "%s lacks init_qvo, is_in_qvo or destroy_qvo at %s",
                    SUQVO_QVO_LIBRARY, SUQVO_QVO_VERSION);
    } else {
        errno = 0;
        void *token = init(malloc, free);
        if (!token) {
            report_line(CHECK_FAIL, SUQVO, "libqvo", "init_qvo failed: %s: pam_suqvo shows no banner",
                        strerror(errno));
        } else {
            int answer = is_in(token);
            destroy(token);
            report_line(CHECK_OK, SUQVO, "libqvo", "loaded; is_in_qvo answers %d: %s", answer,
                        answer ? "inside a container, the banner shows" : "not inside a container, no banner");
        }
    }
    dlclose(lib);
}

// ---- SELinux -----------------------------------------------------------------

// 1 enforcing, 0 permissive, -1 not enabled.
int selinux_mode()
{
    unique_fd fd(open(SELINUX_ENFORCE, O_RDONLY | O_CLOEXEC));
    char c = 0;
    if (fd.get() < 0 || read(fd.get(), &c, 1) != 1)
        return -1;
    return c == '1' ? 1 : 0;
}

void report_label(const char *path)
{
    char label[256];
    ssize_t n = getxattr(path, SELINUX_XATTR, label, sizeof label - 1);
    if (n < 0) {
        report_line(CHECK_WARN, SELINUX, "label", "%s: %s", path, strerror(errno));
        return;
    }
    label[n] = '\0';
    report_line(CHECK_WARN, SELINUX, "label", "%s: %s", path, label);
}

}  // namespace

void tamlo_key_path(const char *account, const char *session_user, char *path, size_t size)
{
    char shortened[TAMLO_SESSION_USER_MAX + 1];
    snprintf(shortened, sizeof shortened, "%s", session_user);
    snprintf(path, size, TAMLO_KEY_PATH_FORMAT, TAMLO_KEY_DIR, account, shortened);
}

void check_brud()
{
    if (!check_brud_feature())
        return;
    bool have_key = check_brud_key();
    check_brud_socket();
    if (have_key)
        check_brud_daemon();
}

void check_tamlo(const char *account, const char *session_user)
{
    check_tamlo_dir();
    if (account)
        check_tamlo_key(account, session_user);
}

void check_suqvo()
{
    struct stat st;
    if (stat(SUQVO_CONTAINER_MARKER, &st) == 0)
        report_line(CHECK_OK, SUQVO, "container marker", "%s exists: a container host, pam_suqvo does nothing",
                    SUQVO_CONTAINER_MARKER);
    else if (errno == ENOENT)
        report_line(CHECK_OK, SUQVO, "container marker", "%s absent: pam_suqvo asks %s", SUQVO_CONTAINER_MARKER,
                    SUQVO_QVO_LIBRARY);
    else
        report_line(CHECK_WARN, SUQVO, "container marker", "%s: %s", SUQVO_CONTAINER_MARKER, strerror(errno));
    check_qvo_library();
}

void check_selinux(const char *account, const char *session_user)
{
    int mode = selinux_mode();
    if (mode < 0) {
        report_line(CHECK_OK, SELINUX, "mode", "not enabled (no %s)", SELINUX_ENFORCE);
        return;
    }
    if (mode == 0) {
        report_line(CHECK_OK, SELINUX, "mode", "permissive");
        return;
    }
    report_line(CHECK_WARN, SELINUX, "mode",
                "enforcing: the host's own domain must be allowed to read the keys and connect to the "
                "socket; --as changes no domain, so the checks above do not show it");
    report_label(BRUD_KEY_PATH);
    report_label(BRUD_SOCKET_PATH);
    report_label(TAMLO_KEY_DIR);
    if (account) {
        char path[PATH_MAX];
        tamlo_key_path(account, session_user, path, sizeof path);
        report_label(path);
    }
}
