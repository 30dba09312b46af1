// Key files that others could have written, for both modules at once:
// pam_tamlo refuses what others may write or own and warns of what its
// group may write or others read; pam_brud uses its key whatever the modes
// and warns of every such weakness.
#include "sandbox.h"
#include "syslog_capture.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <gtest/gtest.h>

namespace {

const std::string TAMLO_DIR = "/var/vesnar/tamlo/keys";
const std::string TAMLO_KEY = TAMLO_DIR + "/alice:tamlo_s1";
const std::string BRUD_DIR = "/var/vesnar/quorixd/keys";
const std::string BRUD_KEY = BRUD_DIR + "/pam";
constexpr uid_t ALICE = 1500, STRANGER = 1001;
constexpr gid_t WWW_DATA = 33;

// The text with every "{keys}" replaced by dir.
std::string in(std::string text, const std::string &dir)
{
    for (size_t at; (at = text.find("{keys}")) != std::string::npos;)
        text.replace(at, 6, dir);
    return text;
}

void set(const std::string &path, mode_t mode, uid_t owner = 0, gid_t group = 0)
{
    ASSERT_EQ(chown(path.c_str(), owner, group), 0) << path;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

// Each module's key in place of a link to a file elsewhere.
void link_both_to(const std::string &dir, mode_t dir_mode)
{
    make_dirs(dir);
    set(dir, dir_mode);
    for (auto *key : {&TAMLO_KEY, &BRUD_KEY}) {
        std::string target = dir + "/" + (key == &TAMLO_KEY ? "tamlo" : "brud");
        write_file(target, read_file(*key), 0600);
        remove_tree(*key);
        ASSERT_EQ(symlink(target.c_str(), key->c_str()), 0);
    }
}

class KeyFiles : public testing::Test {
protected:
    void SetUp() override
    {
        tamlo_ = dlopen(PAM_TAMLO_SO, RTLD_NOW | RTLD_LOCAL);
        brud_ = dlopen(PAM_BRUD_SO, RTLD_NOW | RTLD_LOCAL);
        ASSERT_TRUE(tamlo_ && brud_) << dlerror();
        validate_ = reinterpret_cast<int (*)(const char *, char *)>(dlsym(tamlo_, "validate_tamlo_user_pass"));
        get_key_ = reinterpret_cast<int (*)(char *)>(dlsym(brud_, "get_brud_key"));
        ASSERT_TRUE(validate_ && get_key_);
        write_file("/etc/passwd", read_file("/etc/passwd") + "alice:x:1500:1500::/tmp:/bin/sh\n");
    }
    void TearDown() override
    {
        dlclose(tamlo_);
        dlclose(brud_);
    }

    void *tamlo_ = nullptr, *brud_ = nullptr;
    int (*validate_)(const char *, char *) = nullptr;
    int (*get_key_)(char *) = nullptr;
};

}  // namespace

TEST_F(KeyFiles, WhatOthersMayWriteIsRefusedOrWarnedOf)
{
    struct row {
        const char *what;
        std::function<void()> make;
        bool tamlo_refuses;
        const char *tamlo_reasons;  // null: no message
        const char *brud_reasons;   // null: no message
        bool needs_owners = false;  // chown to other users
    };
    const row rows[] = {
        {"the Apache layout: root, group www-data, 0640",
         [] { for (auto *k : {&TAMLO_KEY, &BRUD_KEY}) set(*k, 0640, 0, WWW_DATA); }, false, nullptr,
         nullptr, true},
        {"root's own, 0600", [] {}, false, nullptr, nullptr},
        {"file writable by others", [] { for (auto *k : {&TAMLO_KEY, &BRUD_KEY}) set(*k, 0602); },
         true, "writable by others", "writable by others"},
        {"file writable by the group", [] { for (auto *k : {&TAMLO_KEY, &BRUD_KEY}) set(*k, 0620); },
         false, "writable by the group", "writable by the group"},
        {"file readable by others", [] { for (auto *k : {&TAMLO_KEY, &BRUD_KEY}) set(*k, 0644); },
         false, "readable by others", "readable by others"},
        {"every weakness of the file and its directory at once",
         [] {
             for (auto *k : {&TAMLO_KEY, &BRUD_KEY}) set(*k, 0606);
             set(TAMLO_DIR, 0775);
             set(BRUD_DIR, 0775);
         },
         true, "writable by others; readable by others; directory {keys} writable by the group",
         "writable by others; readable by others; directory {keys} writable by the group"},
        {"file owned by the account", [] { for (auto *k : {&TAMLO_KEY, &BRUD_KEY}) set(*k, 0600, ALICE); },
         false, nullptr, nullptr, true},
        {"file owned by a stranger", [] { for (auto *k : {&TAMLO_KEY, &BRUD_KEY}) set(*k, 0600, STRANGER); },
         true, "owned by uid 1001", nullptr, true},
        {"keys directory writable by others", [] { set(TAMLO_DIR, 0757); set(BRUD_DIR, 0757); },
         true, "directory {keys} writable by others", "directory {keys} writable by others"},
        {"keys directory sticky and writable by others", [] { set(TAMLO_DIR, 01757); set(BRUD_DIR, 01757); },
         true, "directory {keys} writable by others", "directory {keys} writable by others"},
        {"keys directory writable by the group", [] { set(TAMLO_DIR, 0770); set(BRUD_DIR, 0770); },
         false, "directory {keys} writable by the group", "directory {keys} writable by the group"},
        {"keys directory owned by a stranger",
         [] { set(TAMLO_DIR, 0755, STRANGER); set(BRUD_DIR, 0755, STRANGER); }, true,
         "directory {keys} owned by uid 1001", nullptr, true},
        {"a directory further up writable by others", [] { set("/var/vesnar", 0757); }, true,
         "directory /var/vesnar writable by others", "directory /var/vesnar writable by others"},
        {"a link to a file in a directory others may write", [] { link_both_to("/run/open", 0757); },
         true, "directory /run/open writable by others", "directory /run/open writable by others"},
        {"a link to a file in a safe directory", [] { link_both_to("/etc/vesnar-keys", 0700); }, false,
         nullptr, nullptr},
    };
    for (auto &r : rows) {
        SCOPED_TRACE(r.what);
        remove_tree("/var/vesnar");
        remove_tree("/run/open");
        remove_tree("/etc/vesnar-keys");
        make_dirs(TAMLO_DIR);
        make_dirs(BRUD_DIR);
        for (auto *dir : {"/var/vesnar", "/var/vesnar/tamlo", TAMLO_DIR.c_str(), "/var/vesnar/quorixd",
                          BRUD_DIR.c_str()})
            set(dir, 0755);
        write_file(TAMLO_KEY, "right-key", 0600);
        write_file(BRUD_KEY, "brud-key\n", 0600);
        if (r.needs_owners && !host_root()) {
            std::cout << "[ SKIPPED  ] " << r.what << ": other owners need the host's root\n";
            continue;
        }
        r.make();
        clear_log();

        char password[] = "tamlo_s1_right-key";
        EXPECT_EQ(validate_("alice", password), r.tamlo_refuses ? 0 : 1);
        char key[256] = "";
        EXPECT_EQ(get_key_(key), 1);
        EXPECT_STREQ(key, "brud-key");

        std::vector<std::string> tamlo, brud;
        if (r.tamlo_reasons)
            tamlo.push_back((r.tamlo_refuses ? "refusing key file " : "weak key file ") + TAMLO_KEY +
                            ": " + in(r.tamlo_reasons, TAMLO_DIR));
        if (r.brud_reasons)
            brud.push_back("weak key file " + BRUD_KEY + ": " + in(r.brud_reasons, BRUD_DIR));
        EXPECT_EQ(log_messages("PAM-tamlo"), tamlo);
        EXPECT_EQ(log_messages("PAM-brud"), brud);
    }
}
