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
    EXPECT_EQ(exported_symbols(module_path), expected);
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
    EXPECT_EQ(needed, (std::set<std::string>{"libc.so.6", "libpam.so.0"}));
    for (auto &name : imported_symbols(module_path)) {
        EXPECT_NE(name.rfind("_Z", 0), 0u) << name;
        EXPECT_EQ(name.find("__cxa_throw"), std::string::npos) << name;
        EXPECT_EQ(name.find("__gxx_personality"), std::string::npos) << name;
        EXPECT_EQ(name.find("_Unwind"), std::string::npos) << name;
    }
}

TEST(TamloBuild, HasNoUniqueSymbolsAndBindsNow)
{
    EXPECT_FALSE(has_gnu_unique_symbols(module_path));
    EXPECT_NE(dynamic_section(module_path).find("BIND_NOW"), std::string::npos);
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
        ASSERT_NE(mod.handle, nullptr);
        ASSERT_NE(reinterpret_cast<void *>(&strn_iseq), reinterpret_cast<void *>(mod.strn_iseq));
        char wrong[] = "tamlo_s1_wrong-key";
        EXPECT_EQ(mod.validate("alice", wrong), 0);
        char bad_user[] = "tamlo_s1_right-key";
        EXPECT_EQ(mod.validate("al.ice", bad_user), 0);
        char right[] = "tamlo_s1_right-key";
        EXPECT_EQ(mod.validate("alice", right), 1);

        write_file("/tmp/tamlo-line", "module\n");
        FILE *f = fopen("/tmp/tamlo-line", "r");
        ASSERT_NE(f, nullptr);
        char buf[16] = {};
        EXPECT_EQ(mod.readline(buf, f, 15), 1);
        EXPECT_STREQ(buf, "module");
        fclose(f);
    }
    {
        // Through libpam: pam_sm_authenticate must use the module's validation.
        pam_app app("tamlo-interpose", {"auth required " + module_path});
        app.replies.push_back({PAM_SUCCESS, true, "tamlo_s1_wrong-key", false});
        ASSERT_EQ(app.start("alice"), PAM_SUCCESS);
        EXPECT_PAM(app.authenticate(), PAM_AUTH_ERR);
    }
    EXPECT_EQ(host_calls, 0);
    EXPECT_EQ(log_messages("PAM-tamlo").size(), 3u);
}

TEST(TamloBuild, UnloadsCompletely)
{
    ASSERT_FALSE(is_mapped(module_path));
    for (int i = 0; i < 25; i++) {
        void *h = dlopen(module_path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(h, nullptr) << dlerror();
        ASSERT_TRUE(is_mapped(module_path));
        auto iseq = reinterpret_cast<bool (*)(const char *, const char *, size_t)>(
            dlsym(h, "strn_iseq"));
        ASSERT_NE(iseq, nullptr);
        EXPECT_TRUE(iseq("same", "same", 255));
        ASSERT_EQ(dlclose(h), 0);
        ASSERT_FALSE(is_mapped(module_path)) << "still mapped after dlclose, round " << i;
    }
}

}  // namespace
