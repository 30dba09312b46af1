// What the built pam_tamlo.so shows to the process that loads it: its
// exports, its dependencies, and that it keeps its own calls to itself.
#include "elf_info.h"
#include "pam_app.h"
#include "sandbox.h"
#include "syslog_capture.h"
#include "tamlo_module.h"

#include <stdio.h>
#include <string.h>

#include <gtest/gtest.h>

// The host program's own functions under the module's exported names.  They
// answer "yes" to everything, so a module whose calls reached them would let
// a wrong password in.
static int host_calls = 0;

extern "C" {
__attribute__((visibility("default"), noinline)) bool strn_iseq(const char *, const char *, size_t)
{
    host_calls++;
    return true;
}

__attribute__((visibility("default"), noinline)) int has_invalid_username_chars(const char *)
{
    host_calls++;
    return 0;
}

__attribute__((visibility("default"), noinline)) int validate_tamlo_user_pass(const char *, char *)
{
    host_calls++;
    return 1;
}

__attribute__((visibility("default"), noinline)) int readline(char *buf, FILE *, int)
{
    host_calls++;
    strcpy(buf, "host");
    return 7;
}
}

namespace {

const std::string module_path = PAM_TAMLO_SO;

TEST(TamloBuild, ExportsExactlyTheModuleInterface)
{
    std::set<std::string> expected = {
        "pam_sm_authenticate", "pam_sm_setcred", "pam_sm_acct_mgmt", "pam_sm_open_session",
        "pam_sm_close_session", "pam_sm_chauthtok", "validate_tamlo_user_pass",
        "has_invalid_username_chars", "strn_iseq", "readline", "pam_tamlo_version"};
    EXPECT_EQ(expected, exported_symbols(module_path));
}

TEST(TamloBuild, NeedsOnlyLibcAndLibpam)
{
    std::set<std::string> needed;
    for (auto &lib : needed_libraries(module_path)) {
#if defined(__SANITIZE_ADDRESS__)
        if (lib.rfind("libasan.so", 0) == 0 || lib.rfind("libubsan.so", 0) == 0)
            continue;
#endif
        needed.insert(lib);
    }
    EXPECT_EQ((std::set<std::string>{"libc.so.6", "libpam.so.0"}), needed);
    for (auto &name : imported_symbols(module_path)) {
        EXPECT_NE(0u, name.rfind("_Z", 0)) << name;
        EXPECT_EQ(std::string::npos, name.find("__cxa_throw")) << name;
        EXPECT_EQ(std::string::npos, name.find("__gxx_personality")) << name;
        EXPECT_EQ(std::string::npos, name.find("_Unwind")) << name;
    }
}

TEST(TamloBuild, HasNoUniqueSymbolsAndBindsNow)
{
    EXPECT_FALSE(has_gnu_unique_symbols(module_path));
    EXPECT_NE(std::string::npos, dynamic_section(module_path).find("BIND_NOW"));
}

TEST(TamloBuild, OwnCallsStayInsideTheModule)
{
    // Positive control: the host's definitions are what global lookup finds,
    // so a module that bound its calls that way would reach them.
    using iseq_fn = bool (*)(const char *, const char *, size_t);
    ASSERT_EQ(reinterpret_cast<void *>(&strn_iseq), dlsym(RTLD_DEFAULT, "strn_iseq"));
    ASSERT_TRUE(reinterpret_cast<iseq_fn>(dlsym(RTLD_DEFAULT, "strn_iseq"))("a", "b", 1));
    host_calls = 0;

    write_file(tamlo_key_path("alice", "s1"), "right-key");
    {
        tamlo_module mod;
        ASSERT_NE(nullptr, mod.handle);
        ASSERT_NE(reinterpret_cast<void *>(&strn_iseq), reinterpret_cast<void *>(mod.strn_iseq));
        char wrong[] = "tamlo_s1_wrong-key";
        EXPECT_EQ(0, mod.validate("alice", wrong));
        char bad_user[] = "tamlo_s1_right-key";
        EXPECT_EQ(0, mod.validate("al.ice", bad_user));
        char right[] = "tamlo_s1_right-key";
        EXPECT_EQ(1, mod.validate("alice", right));

        write_file("/tmp/tamlo-line", "module\n");
        FILE *f = fopen("/tmp/tamlo-line", "r");
        ASSERT_NE(nullptr, f);
        char buf[16] = {};
        EXPECT_EQ(1, mod.readline(buf, f, 15));
        EXPECT_STREQ("module", buf);
        fclose(f);
    }
    {
        // Through libpam: pam_sm_authenticate must use the module's validation.
        pam_app app("tamlo-interpose", {"auth required " + module_path});
        app.replies.push_back({PAM_SUCCESS, true, "tamlo_s1_wrong-key", false});
        ASSERT_EQ(PAM_SUCCESS, app.start("alice"));
        EXPECT_PAM(PAM_AUTH_ERR, app.authenticate());
    }
    EXPECT_EQ(0, host_calls);
    EXPECT_EQ(3u, log_messages("PAM-tamlo").size());
}

TEST(TamloBuild, UnloadsCompletely)
{
    ASSERT_FALSE(is_mapped(module_path));
    for (int i = 0; i < 25; i++) {
        void *h = dlopen(module_path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, h) << dlerror();
        ASSERT_TRUE(is_mapped(module_path));
        auto iseq = reinterpret_cast<bool (*)(const char *, const char *, size_t)>(
            dlsym(h, "strn_iseq"));
        ASSERT_NE(nullptr, iseq);
        EXPECT_TRUE(iseq("same", "same", 255));
        ASSERT_EQ(0, dlclose(h));
        ASSERT_FALSE(is_mapped(module_path)) << "still mapped after dlclose, round " << i;
    }
}

}  // namespace
