// What pam_brud.so looks like to the process that loads it: its exports,
// its dependencies, its link flags, and that it unloads cleanly.
#include "elf_info.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <fstream>
#include <regex>
#include <sstream>

namespace {

// Names of the JSON library's public operations, as its header declares them.
std::set<std::string> json_header_names()
{
    std::ifstream in(JSON_HEADER);
    std::stringstream text;
    text << in.rdbuf();
    std::set<std::string> names;
    std::string all = text.str();
    std::regex declaration(R"(JSON_API[^;(]*?\b(json_\w+)\s*\()");
    for (std::sregex_iterator it(all.begin(), all.end(), declaration), end; it != end; ++it)
        names.insert((*it)[1]);
    return names;
}

// Every function or object defined in the file, hidden ones included.
std::set<std::string> defined_anywhere(const std::string &path)
{
    std::set<std::string> out;
    std::stringstream lines(run_command("nm --defined-only --format=posix '" + path + "'"));
    std::string line;
    while (std::getline(lines, line))
        out.insert(line.substr(0, line.find(' ')));
    return out;
}

}  // namespace

TEST(BrudBuild, ExportsExactlyItsInterface)
{
    std::set<std::string> expected = {
        "pam_sm_authenticate", "pam_sm_setcred", "connect_brud", "tell_brud",
        "disconnect_brud", "get_brud_key", "readline", "brud_enabled",
        "contains_invalid_chars", "pam_brud_version"};
    // A JSON operation counts once the library defines it; defined, it must
    // be exported.
    auto declared = json_header_names();
    ASSERT_GE(declared.size(), 10u) << "header not parsed";
    ASSERT_TRUE(declared.count("json_encode_string"));
    auto defined = defined_anywhere(PAM_BRUD_SO);
    ASSERT_TRUE(defined.count("connect_brud")) << "no symbol table to read";
    for (auto &name : declared)
        if (defined.count(name))
            expected.insert(name);
        else
            std::cout << "note: " << name << " is declared but not yet defined\n";
    EXPECT_EQ(exported_symbols(PAM_BRUD_SO), expected);
}

TEST(BrudBuild, NeedsOnlyLibcLibpamAndLibcrypt)
{
    std::set<std::string> allowed = {"libc.so.6", "libpam.so.0", "libcrypt.so.1"};
    std::set<std::string> needed;
    for (auto &lib : needed_libraries(PAM_BRUD_SO)) {
#ifdef PAMX_SANITIZE_BUILD
        if (lib.rfind("libasan.so", 0) == 0 || lib.rfind("libubsan.so", 0) == 0)
            continue;
#endif
        needed.insert(lib);
    }
    EXPECT_EQ(needed, allowed);
    for (auto &sym : imported_symbols(PAM_BRUD_SO)) {
        EXPECT_NE(sym.rfind("_Z", 0), 0u) << "C++ runtime import: " << sym;
        EXPECT_EQ(sym.find("@CXXABI"), std::string::npos) << sym;
        EXPECT_EQ(sym.find("@GLIBCXX"), std::string::npos) << sym;
        EXPECT_EQ(sym.find("@GCC_"), std::string::npos) << sym;
        EXPECT_EQ(sym.find("__gxx_personality"), std::string::npos) << sym;
    }
}

TEST(BrudBuild, BindsNowWithRelroAndNoUniqueSymbols)
{
    EXPECT_FALSE(has_gnu_unique_symbols(PAM_BRUD_SO));
    std::string dynamic = dynamic_section(PAM_BRUD_SO);
    EXPECT_NE(dynamic.find("BIND_NOW"), std::string::npos) << dynamic;
    EXPECT_NE(dynamic.find("NOW"), std::string::npos);
    std::string headers = run_command(std::string("readelf -lW '") + PAM_BRUD_SO + "'");
    EXPECT_NE(headers.find("GNU_RELRO"), std::string::npos);
    auto stack = headers.find("GNU_STACK");
    ASSERT_NE(stack, std::string::npos);
    std::string stack_line = headers.substr(stack, headers.find('\n', stack) - stack);
    EXPECT_EQ(stack_line.find("RWE"), std::string::npos) << "executable stack: " << stack_line;
}

TEST(BrudBuild, UnloadsCompletelyAfterUse)
{
    ASSERT_FALSE(is_mapped(PAM_BRUD_SO));
    int fds = count_open_fds();
    for (int i = 0; i < 20; i++) {
        void *module = dlopen(PAM_BRUD_SO, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module, nullptr) << dlerror();
        ASSERT_TRUE(is_mapped(PAM_BRUD_SO));  // control: the check sees a loaded module
        auto invalid = reinterpret_cast<int (*)(const char *)>(dlsym(module, "contains_invalid_chars"));
        auto key = reinterpret_cast<int (*)(char *)>(dlsym(module, "get_brud_key"));
        ASSERT_TRUE(invalid && key);
        EXPECT_EQ(invalid("a b"), 1);
        char buf[256];
        EXPECT_EQ(key(buf), 0);  // no key file here
        ASSERT_EQ(dlclose(module), 0);
        EXPECT_FALSE(is_mapped(PAM_BRUD_SO)) << "still mapped after dlclose, round " << i;
    }
    EXPECT_EQ(count_open_fds(), fds);
}
