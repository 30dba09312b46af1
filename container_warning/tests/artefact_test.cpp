// What pam_suqvo.so and the libqvo.so.0 stand-in look like from outside,
// and whether the module unloads cleanly.
#include "elf_info.h"
#include "sandbox.h"

#include <dlfcn.h>

#include <algorithm>
#include <gtest/gtest.h>

namespace {

const std::string module = PAM_SUQVO_SO;
const std::string standin = QVO_STANDIN_SO;

bool is_sanitizer_runtime(const std::string &lib)
{
#if defined(__SANITIZE_ADDRESS__)
    return lib.rfind("libasan.so", 0) == 0 || lib.rfind("libubsan.so", 0) == 0;
#else
    (void)lib;
    return false;
#endif
}

TEST(SuqvoArtefact, ExportsOnlyItsFourNames)
{
    std::set<std::string> expected = {"pam_sm_open_session", "pam_sm_close_session", "init_qvotoken",
                                      "destroy_qvotoken"};
    EXPECT_EQ(exported_symbols(module), expected);
}

TEST(SuqvoArtefact, NeedsOnlyLibcLibpamAndLibqvo)
{
    std::set<std::string> needed;
    for (auto &lib : needed_libraries(module))
        if (!is_sanitizer_runtime(lib))
            needed.insert(lib);
    EXPECT_EQ(needed, (std::set<std::string>{"libc.so.6", "libpam.so.0", "libqvo.so.0"}));
}

TEST(SuqvoArtefact, BindsTheContainerLibraryAtQVO_1_5)
{
    auto imported = imported_symbols(module);
    for (const char *name : {"init_qvo@QVO_1_5", "is_in_qvo@QVO_1_5", "destroy_qvo@QVO_1_5"})
        EXPECT_TRUE(imported.count(name)) << name;
    for (auto &sym : imported)
        EXPECT_TRUE(sym.rfind("qvo_standin", 0) != 0) << "bound to a test-only name: " << sym;
}

TEST(SuqvoArtefact, NoRunPathIntoTheBuildTreeAndNoUniqueSymbols)
{
    std::string dynamic = dynamic_section(module);
    EXPECT_EQ(dynamic.find("RUNPATH"), std::string::npos) << dynamic;
    EXPECT_EQ(dynamic.find("RPATH"), std::string::npos) << dynamic;
    EXPECT_NE(dynamic.find("BIND_NOW"), std::string::npos) << dynamic;
    EXPECT_FALSE(has_gnu_unique_symbols(module));
}

TEST(SuqvoArtefact, StandInLooksLikeThePlatformLibrary)
{
    EXPECT_NE(dynamic_section(standin).find("Library soname: [libqvo.so.0]"), std::string::npos);
    std::string symbols = run_command("nm -D --defined-only '" + standin + "'");
    for (const char *name : {"init_qvo@@QVO_1_5", "is_in_qvo@@QVO_1_5", "destroy_qvo@@QVO_1_5"})
        EXPECT_NE(symbols.find(name), std::string::npos) << name << " in\n" << symbols;
}

TEST(SuqvoArtefact, UnloadsCompletely)
{
    ASSERT_FALSE(is_mapped(module));
    for (int i = 0; i < 20; i++) {
        void *so = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(so, nullptr) << dlerror();
        ASSERT_TRUE(is_mapped(module));
        ASSERT_EQ(dlclose(so), 0);
        ASSERT_FALSE(is_mapped(module)) << "still mapped after dlclose, round " << i;
    }
}

// Installing the project must never place the stand-in where it would
// shadow the platform's own libqvo.so.0.
TEST(SuqvoArtefact, InstallLeavesTheStandInBehind)
{
    const std::string root = "/tmp/install-root";
    std::string out = run_command("DESTDIR=" + root + " cmake --install '" PAMX_BINARY_DIR
                                  "' --prefix /usr 2>&1; echo rc=$?");
    ASSERT_NE(out.find("rc=0"), std::string::npos) << out;
    std::string found = run_command("find " + root + " -name 'libqvo*' 2>/dev/null");
    EXPECT_EQ(found, "");
    EXPECT_EQ(out.find("libqvo"), std::string::npos) << out;
}

}  // namespace
