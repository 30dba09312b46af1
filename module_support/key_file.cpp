#include "key_file.h"

#include "secret.h"

#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>

#include <memory>

namespace {

constexpr uid_t ROOT_UID = 0;
constexpr size_t PASSWD_BUFFER = 4096;

struct free_deleter {
    void operator()(char *p) const { free(p); }
};
using unique_path = std::unique_ptr<char, free_deleter>;

// The account's uid, looked up only once an owner other than root is met.
class allowed_owner {
public:
    explicit allowed_owner(const char *name) : name_(name) {}

    bool allows(uid_t uid)
    {
        if (uid == ROOT_UID || !name_)
            return true;
        if (!looked_up_) {
            looked_up_ = true;
            found_ = look_up(&uid_);
        }
        return found_ && uid == uid_;
    }

private:
    bool look_up(uid_t *uid) const
    {
        char buffer[PASSWD_BUFFER];
        struct passwd entry, *result = nullptr;
        if (getpwnam_r(name_, &entry, buffer, sizeof buffer, &result) != 0 || !result)
            return false;
        *uid = result->pw_uid;
        return true;
    }

    const char *name_;
    bool looked_up_ = false, found_ = false;
    uid_t uid_ = ROOT_UID;
};

class inspection {
public:
    inspection(const char *owner_name, unsigned describe, key_file_report *report)
        : owner_(owner_name), describe_(describe), report_(report)
    {
        report_->weaknesses = 0;
        report_->reasons[0] = '\0';
    }

    // dir is null for the key file itself.
    void look_at(const struct stat &st, const char *dir)
    {
        if (st.st_mode & S_IWOTH)
            note(KEY_WRITABLE_BY_OTHERS, dir, "writable by others");
        if (!owner_.allows(st.st_uid)) {
            char owned[32];
            snprintf(owned, sizeof owned, "owned by uid %u", unsigned(st.st_uid));
            note(KEY_FOREIGN_OWNER, dir, owned);
        }
        if (st.st_mode & S_IWGRP)
            note(KEY_WRITABLE_BY_GROUP, dir, "writable by the group");
        if (!dir && (st.st_mode & S_IROTH))
            note(KEY_READABLE_BY_OTHERS, dir, "readable by others");
    }

    // The directory `path` and each one above it. path is changed.
    void look_up_from(char *path)
    {
        for (;;) {
            struct stat st;
            if (stat(path, &st) == 0)
                look_at(st, path);
            char *slash = strrchr(path, '/');
            if (!slash || (slash == path && path[1] == '\0'))
                return;
            slash[slash == path ? 1 : 0] = '\0';
        }
    }

private:
    // The first finding of each weakness is the one described.
    void note(unsigned weakness, const char *dir, const char *what)
    {
        if (report_->weaknesses & weakness)
            return;
        report_->weaknesses |= weakness;
        if (!(describe_ & weakness))
            return;
        size_t used = strlen(report_->reasons);
        snprintf(report_->reasons + used, sizeof report_->reasons - used, "%s%s%s%s%s",
                 used ? "; " : "", dir ? "directory " : "", dir ? dir : "", dir ? " " : "", what);
    }

    allowed_owner owner_;
    unsigned describe_;
    key_file_report *report_;
};

// The directory that holds path, its links resolved.
unique_path resolved_parent(const char *path)
{
    const char *slash = strrchr(path, '/');
    if (!slash)
        return unique_path(realpath(".", nullptr));
    unique_path parent(strndup(path, slash == path ? 1 : size_t(slash - path)));
    return unique_path(parent ? realpath(parent.get(), nullptr) : nullptr);
}

// The directory that holds the file fd has open, as the kernel resolved its
// path. Asked of the descriptor, not of the path, so that no library keeps a
// copy of a file name that holds part of a password.
bool opened_parent(int fd, char *dir, size_t size)
{
    char link[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, dir, size - 1);
    if (n <= 0 || dir[0] != '/')
        return false;
    dir[n] = '\0';
    char *slash = strrchr(dir, '/');
    slash[slash == dir ? 1 : 0] = '\0';
    return true;
}

}  // namespace

unsigned inspect_key_file(int fd, const char *path, const char *owner_name, unsigned describe,
                          key_file_report *report)
{
    inspection look(owner_name, describe, report);
    struct stat st;
    if (fstat(fd, &st) == 0)
        look.look_at(st, nullptr);
    // A link in the keys directory may lead elsewhere: whoever may write
    // either place decides what the key is. Where the file lies in the very
    // directory it was named in, the two are one.
    char target[PATH_MAX];
    wipe_on_exit wipe_target(target, sizeof target);
    bool opened = opened_parent(fd, target, sizeof target);
    const char *slash = strrchr(path, '/');
    size_t named_length = slash ? size_t(slash - path) : 0;
    bool as_named = opened && strlen(target) == named_length && memcmp(target, path, named_length) == 0;
    unique_path named = as_named ? nullptr : resolved_parent(path);
    if (named && (!opened || strcmp(target, named.get()) != 0))
        look.look_up_from(named.get());
    if (opened)
        look.look_up_from(target);
    return report->weaknesses;
}
