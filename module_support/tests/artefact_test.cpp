// What each built module shows to the process that loads it: exactly its
// exports, no dependency beyond its own libraries and no C++ runtime, full
// RELRO, no executable stack, nothing that pins it in memory, and its own
// calls bound to itself even where the host defines the same names.
#include "brud.h"
#include "json.h"
#include "pam_app.h"
#include "readline.h"
#include "sandbox.h"
#include "suqvo.h"
#include "tamlo.h"

#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// The host's own functions under the modules' exported names. Each answers
// what would let a wrong password in or keep the module's work from showing,
// so a module whose calls reached one of them fails its row below.
namespace {
int host_calls = 0;
}

extern "C" {
int readline(char *buf, FILE *, int)
{
    host_calls++;
    strcpy(buf, "host");
    return 7;
}

char *json_encode_string(const char *)
{
    host_calls++;
    return strdup("\"host\"");
}

bool strn_iseq(const char *, const char *, size_t)
{
    host_calls++;
    return true;
}

int has_invalid_username_chars(const char *)
{
    host_calls++;
    return 0;
}

int validate_tamlo_user_pass(const char *, char *)
{
    host_calls++;
    return 1;
}

void *init_qvotoken(void)
{
    host_calls++;
    return nullptr;
}

void destroy_qvotoken(void *) { host_calls++; }
}

namespace {

// ---- Reading a built file ---------------------------------------------------

std::string output_of(const std::string &command)
{
    std::string out;
    if (FILE *p = popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

std::vector<std::string> output_lines(const std::string &command)
{
    std::vector<std::string> lines;
    std::istringstream in(output_of(command));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string first_word(const std::string &line) { return line.substr(0, line.find(' ')); }

std::set<std::string> exports_of(const std::string &path)
{
    std::set<std::string> names;
    for (auto &line : output_lines("nm -D --defined-only --format=posix '" + path + "'"))
        names.insert(first_word(line.substr(0, line.find('@'))));
    return names;
}

struct import {
    std::string name, version;  // version empty when unversioned
    bool weak;
};

std::vector<import> imports_of(const std::string &path)
{
    std::vector<import> out;
    for (auto &line : output_lines("nm -D --undefined-only --format=posix '" + path + "'")) {
        std::string symbol = first_word(line);
        auto at = symbol.find('@');
        std::string version = at == std::string::npos ? "" : symbol.substr(symbol.find_first_not_of('@', at));
        bool weak = line.size() > symbol.size() + 1 && line[symbol.size() + 1] == 'w';
        out.push_back({symbol.substr(0, at), version, weak});
    }
    return out;
}

// "name@VERSION" of every import that comes from a C++ runtime library.
std::vector<std::string> cxx_runtime_imports(const std::string &path)
{
    std::vector<std::string> out;
    for (auto &i : imports_of(path)) {
        std::string full = i.name + "@" + i.version;
        bool cxx = full.rfind("_Z", 0) == 0;
        for (const char *mark : {"CXXABI", "GLIBCXX", "GCC_", "__gxx_personality", "_Unwind"})
            cxx = cxx || full.find(mark) != std::string::npos;
        // __cxa_finalize and __cxa_atexit of libc are not the C++ runtime's.
        if (full.rfind("__cxa_", 0) == 0 && i.version.rfind("GLIBC_", 0) != 0)
            cxx = true;
        if (cxx)
            out.push_back(full);
    }
    return out;
}

std::string readelf(const std::string &options, const std::string &path)
{
    return output_of("readelf " + options + " '" + path + "'");
}

// The sanitizer build links its runtimes into every module, and binds the
// libc functions they intercept to them, unversioned.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitizer_build = true;
#else
constexpr bool sanitizer_build = false;
#endif

bool is_sanitizer_runtime(const std::string &lib)
{
    return sanitizer_build && (lib.rfind("libasan.so", 0) == 0 || lib.rfind("libubsan.so", 0) == 0);
}

// The bracketed names of one kind of dynamic entry: "Shared library"
// (DT_NEEDED) or "Library soname" (DT_SONAME).
std::vector<std::string> dynamic_names(const std::string &path, const std::string &kind)
{
    std::vector<std::string> out;
    const std::string mark = kind + ": [";
    for (auto &line : output_lines("readelf -dW '" + path + "'")) {
        auto open = line.find(mark);
        if (open != std::string::npos)
            out.push_back(line.substr(open + mark.size(), line.find(']', open) - open - mark.size()));
    }
    return out;
}

std::set<std::string> needed_of(const std::string &path)
{
    std::set<std::string> out;
    for (auto &lib : dynamic_names(path, "Shared library"))
        if (!is_sanitizer_runtime(lib))
            out.insert(lib);
    return out;
}

// The soname of the libcrypt that -lcrypt links against here:
// libcrypt.so.1 on Debian and EL8, libcrypt.so.2 on EL9.
std::string libcrypt_soname()
{
    std::string soname = "(no libcrypt.so to be loaded)";
    void *so = dlopen("libcrypt.so", RTLD_LAZY | RTLD_LOCAL);
    link_map *map = nullptr;
    if (so && dlinfo(so, RTLD_DI_LINKMAP, &map) == 0)
        for (auto &name : dynamic_names(map->l_name, "Library soname"))
            soname = name;
    if (so)
        dlclose(so);
    return soname;
}

// The path of a file mapped into this process whose path holds `part`, or "".
std::string mapped_file(const std::string &part)
{
    std::string found;
    FILE *maps = fopen("/proc/self/maps", "re");
    char line[4096];
    while (maps && fgets(line, sizeof line, maps))
        if (strstr(line, part.c_str()) && strchr(line, '/'))
            found = std::string(strchr(line, '/'), strcspn(strchr(line, '/'), "\n"));
    if (maps)
        fclose(maps);
    return found;
}

bool is_mapped(const std::string &path) { return !mapped_file(path).empty(); }

template <typename F> F symbol(void *so, const char *name)
{
    void *p = dlsym(so, name);
    EXPECT_NE(p, nullptr) << name;
    return reinterpret_cast<F>(p);
}

// ---- Each module's own calls, through calls whose result would show a host
// definition reached instead ---------------------------------------------------

void brud_own_calls(void *so)
{
    // get_brud_key reads through readline; the host's would give "host".
    write_file("/var/vesnar/quorixd/keys/pam", "module-key\nsecond line\n", 0600);
    char key[BRUD_KEY_SIZE] = "";
    EXPECT_EQ(symbol<decltype(&get_brud_key)>(so, "get_brud_key")(key), 1);
    EXPECT_STREQ(key, "module-key");

    // tell_brud quotes the user with json_encode_string; the host's would
    // send "host". The verdict waits in the socket before the report goes.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    ASSERT_EQ(write(pair[1], "200 ok\n", 7), 7);
    auto tell = symbol<decltype(&tell_brud)>(so, "tell_brud");
    EXPECT_EQ(tell(pair[0], BRUD_ACTION_AUTHENTICATE, "alice", nullptr, nullptr, 1, nullptr, nullptr,
                   nullptr),
              BRUD_ALLOWED);
    char report[1024] = {};
    ssize_t n = read(pair[1], report, sizeof report - 1);
    close(pair[0]);
    close(pair[1]);
    EXPECT_GT(n, 0);
    EXPECT_NE(strstr(report, "\"username\":\"alice\""), nullptr) << report;
}

void tamlo_own_calls(void *so)
{
    write_file("/var/vesnar/tamlo/keys/alice:tamlo_s1", "right-key", 0600);
    write_file("/var/vesnar/tamlo/keys/al.ice:tamlo_s1", "right-key", 0600);
    auto validate = symbol<decltype(&validate_tamlo_user_pass)>(so, "validate_tamlo_user_pass");
    char right[] = "tamlo_s1_right-key";
    EXPECT_EQ(validate("alice", right), 1) << "control: the key file is found";
    char wrong[] = "tamlo_s1_wrong-key";
    EXPECT_EQ(validate("alice", wrong), 0) << "the host's strn_iseq says equal";
    char bad_user[] = "tamlo_s1_right-key";
    EXPECT_EQ(validate("al.ice", bad_user), 0) << "the host's name check lets al.ice pass";

    // libpam reaches pam_sm_authenticate, whose validation the host's would
    // answer with success.
    pam_app app("tamlo-own-calls", {std::string("auth required ") + PAM_TAMLO_SO});
    app.replies.push_back({PAM_SUCCESS, true, "tamlo_s1_wrong-key", false});
    ASSERT_EQ(app.start("alice"), PAM_SUCCESS);
    EXPECT_PAM(app.authenticate(), PAM_AUTH_ERR);

    // The module never calls its readline, but carries its own.
    write_file("/tmp/line", "module\nnext\n");
    FILE *f = fopen("/tmp/line", "re");
    ASSERT_NE(f, nullptr);
    char line[16] = {};
    EXPECT_EQ(symbol<decltype(&readline)>(so, "readline")(line, f, 15), 1);
    EXPECT_STREQ(line, "module");
    fclose(f);
}

void suqvo_own_calls(void *)
{
    // The host's init_qvotoken gives no token, so no banner would be shown.
    setenv("QVO_STANDIN_ANSWER", "inside", 1);
    pam_app app("suqvo-own-calls", {std::string("session optional ") + PAM_SUQVO_SO});
    ASSERT_EQ(app.start("alice"), PAM_SUCCESS);
    app.open_session();
    EXPECT_EQ(app.messages.size(), 9u);
}

// ---- The table ----------------------------------------------------------------

// What a module must never call: the process's signal actions, masks,
// timers and syslog identity belong to the host, which may be threaded.
std::vector<std::string> process_state_imports(const std::string &path)
{
    static const std::set<std::string> borrowing = {
        "sigaction", "signal", "sigprocmask", "pthread_sigmask", "sigtimedwait", "alarm",
        "setitimer", "openlog", "closelog", "syslog", "vsyslog", "__syslog_chk", "__vsyslog_chk"};
    std::vector<std::string> out;
    for (auto &i : imports_of(path))
        if (borrowing.count(i.name))
            out.push_back(i.name);
    return out;
}

struct module_row {
    const char *name;
    const char *path;
    std::set<std::string> exports;
    std::set<std::string> needed;
    std::vector<std::string> versions;       // version nodes its imports may carry
    std::set<std::string> pinned_imports;    // name@VERSION that must be imported
    std::vector<std::pair<const char *, void *>> host_defined;
    void (*own_calls)(void *so);
};

void *host(auto *fn) { return reinterpret_cast<void *>(fn); }

const module_row modules[] = {
    {"pam_brud", PAM_BRUD_SO,
     {"pam_sm_authenticate", "pam_sm_setcred", "connect_brud", "tell_brud", "disconnect_brud",
      "get_brud_key", "readline", "brud_enabled", "contains_invalid_chars", "pam_brud_version",
      "json_mknull", "json_mkbool", "json_mkstring", "json_mknumber", "json_mkarray", "json_mkobject",
      "json_append_element", "json_prepend_element", "json_append_member", "json_prepend_member",
      "json_remove_from_parent", "json_delete", "json_find_element", "json_find_member",
      "json_first_child", "json_decode", "json_validate", "json_encode", "json_stringify",
      "json_encode_string", "json_check"},
     {"libc.so.6", "libpam.so.0", libcrypt_soname()},
     {"GLIBC_", "LIBPAM_", "XCRYPT_"},
     {},
     {{"readline", host(&readline)}, {"json_encode_string", host(&json_encode_string)}},
     brud_own_calls},
    {"pam_tamlo", PAM_TAMLO_SO,
     {"pam_sm_authenticate", "pam_sm_setcred", "pam_sm_acct_mgmt", "pam_sm_open_session",
      "pam_sm_close_session", "pam_sm_chauthtok", "validate_tamlo_user_pass",
      "has_invalid_username_chars", "strn_iseq", "readline", "pam_tamlo_version"},
     {"libc.so.6", "libpam.so.0"},
     {"GLIBC_", "LIBPAM_"},
     {},
     {{"readline", host(&readline)}, {"strn_iseq", host(&strn_iseq)},
      {"has_invalid_username_chars", host(&has_invalid_username_chars)},
      {"validate_tamlo_user_pass", host(&validate_tamlo_user_pass)}},
     tamlo_own_calls},
    {"pam_suqvo", PAM_SUQVO_SO,
     {"pam_sm_open_session", "pam_sm_close_session", "init_qvotoken", "destroy_qvotoken"},
     {"libc.so.6", "libpam.so.0", "libqvo.so.0"},
     {"GLIBC_", "LIBPAM_", "QVO_1_5"},
     {"init_qvo@QVO_1_5", "is_in_qvo@QVO_1_5", "destroy_qvo@QVO_1_5"},
     {{"init_qvotoken", host(&init_qvotoken)}, {"destroy_qvotoken", host(&destroy_qvotoken)}},
     suqvo_own_calls},
};

void PrintTo(const module_row &row, std::ostream *out) { *out << row.name; }

class Artefact : public testing::TestWithParam<module_row> {};

TEST_P(Artefact, ExportsExactlyItsInterface)
{
    EXPECT_EQ(exports_of(GetParam().path), GetParam().exports);
}

TEST_P(Artefact, NeedsOnlyItsLibrariesAndNoSearchPath)
{
    EXPECT_EQ(needed_of(GetParam().path), GetParam().needed);
    std::string dynamic = readelf("-dW", GetParam().path);
    EXPECT_EQ(dynamic.find("RPATH"), std::string::npos) << dynamic;
    EXPECT_EQ(dynamic.find("RUNPATH"), std::string::npos) << dynamic;
}

TEST_P(Artefact, ImportsNoCxxRuntimeAndOnlyFromItsLibraries)
{
    const module_row &row = GetParam();
    EXPECT_EQ(cxx_runtime_imports(row.path), std::vector<std::string>{});
    std::set<std::string> imported;
    for (auto &i : imports_of(row.path)) {
        imported.insert(i.name + "@" + i.version);
        if (i.version.empty()) {
            EXPECT_TRUE(i.weak || sanitizer_build) << "unversioned import " << i.name;
            continue;
        }
        bool known = false;
        for (auto &node : row.versions)
            known = known || i.version.rfind(node, 0) == 0;
        EXPECT_TRUE(known) << i.name << "@" << i.version;
    }
    for (auto &pinned : row.pinned_imports)
        EXPECT_TRUE(imported.count(pinned)) << pinned;
    EXPECT_EQ(process_state_imports(row.path), std::vector<std::string>{});
}

TEST_P(Artefact, FullRelroNoExecutableStackNoUniqueSymbols)
{
    const std::string path = GetParam().path;
    EXPECT_NE(readelf("-dW", path).find("BIND_NOW"), std::string::npos);
    std::string headers = readelf("-lW", path);
    EXPECT_NE(headers.find("GNU_RELRO"), std::string::npos);
    auto stack = headers.find("GNU_STACK");
    ASSERT_NE(stack, std::string::npos);
    std::string stack_line = headers.substr(stack, headers.find('\n', stack) - stack);
    EXPECT_EQ(stack_line.find("RWE"), std::string::npos) << stack_line;
    EXPECT_EQ(readelf("-sW", path).find(" UNIQUE "), std::string::npos);
}

TEST_P(Artefact, OwnCallsReachOwnCodeAndDlcloseUnloads)
{
    const module_row &row = GetParam();
    // Control: to anything bound through the global scope these names are
    // the host's.
    for (auto &[name, fn] : row.host_defined)
        ASSERT_EQ(dlsym(RTLD_DEFAULT, name), fn) << name;
    ASSERT_FALSE(is_mapped(row.path));
    for (int round = 0; round < 10; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        void *so = dlopen(row.path, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(so, nullptr) << dlerror();
        ASSERT_TRUE(is_mapped(row.path)) << "control: a loaded module is seen";
        row.own_calls(so);
        ASSERT_EQ(dlclose(so), 0);
        ASSERT_FALSE(is_mapped(row.path)) << "still mapped after dlclose";
        if (HasFailure())
            break;
    }
    EXPECT_EQ(host_calls, 0);
}

INSTANTIATE_TEST_SUITE_P(Modules, Artefact, testing::ValuesIn(modules),
                         [](const auto &test) { return std::string(test.param.name); });

// Controls for the checks above: the test program itself imports the C++
// runtime, a module that borrows the alarm and the log imports their calls,
// and libstdc++ carries GNU_UNIQUE symbols.
TEST(ArtefactChecks, SeeTheCxxRuntimeWhereItIs)
{
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    EXPECT_FALSE(cxx_runtime_imports(self).empty());
    EXPECT_FALSE(process_state_imports(BORROWING_MODULE_SO).empty());
    std::string libstdcxx = mapped_file("libstdc++");
    ASSERT_NE(libstdcxx, "");
    EXPECT_NE(readelf("-sW", libstdcxx).find(" UNIQUE "), std::string::npos);
}

}  // namespace
