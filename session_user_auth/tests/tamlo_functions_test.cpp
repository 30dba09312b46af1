// The exported helpers of pam_tamlo.so, called directly through dlsym.
#include "sandbox.h"
#include "syslog_capture.h"
#include "tamlo_module.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <thread>

#include <gtest/gtest.h>

namespace {

class TamloFunctions : public testing::Test {
protected:
    tamlo_module mod;
    void SetUp() override
    {
        ASSERT_NE(mod.handle, nullptr);
        clear_log();
    }
};

TEST_F(TamloFunctions, StrnIseqAgreesWithBoundedStringCompare)
{
    // Bytes above 127 included: they are negative as signed chars.
    const char alphabet[] = {'a', 'b', '\x80', '\xff'};
    std::mt19937 rng(20240611);
    for (int round = 0; round < 50000; round++) {
        char a[8] = {}, b[8] = {};
        int la = rng() % 7, lb = rng() % 7;
        for (int i = 0; i < la; i++)
            a[i] = alphabet[rng() % 4];
        for (int i = 0; i < lb; i++)
            b[i] = (rng() % 3 == 0 && i < la) ? a[i] : alphabet[rng() % 4];
        size_t n = rng() % 9;
        ASSERT_EQ(strncmp(a, b, n) == 0, mod.strn_iseq(a, b, n))
            << "a=" << testing::PrintToString(std::string(a)) << " b="
            << testing::PrintToString(std::string(b)) << " n=" << n;
    }
}

TEST_F(TamloFunctions, StrnIseqEdgeCases)
{
    EXPECT_TRUE(mod.strn_iseq("abc", "xyz", 0));
    EXPECT_TRUE(mod.strn_iseq("", "", 0));
    EXPECT_FALSE(mod.strn_iseq(nullptr, "abc", 0));
    EXPECT_FALSE(mod.strn_iseq("abc", nullptr, 0));
    EXPECT_FALSE(mod.strn_iseq(nullptr, nullptr, 5));
    EXPECT_FALSE(mod.strn_iseq("abc", "abcd", 255));
    EXPECT_TRUE(mod.strn_iseq("abc", "abcd", 3));
    EXPECT_FALSE(mod.strn_iseq("abcd", "abc", 255));
    EXPECT_TRUE(mod.strn_iseq("abcd", "abc", 3));
    EXPECT_TRUE(mod.strn_iseq("abc", "abc", 255));
    EXPECT_FALSE(mod.strn_iseq("", "a", 255));
    EXPECT_TRUE(mod.strn_iseq("", "", 255));
    EXPECT_FALSE(mod.strn_iseq("xbc", "abc", 255)) << "first byte differs";
    EXPECT_FALSE(mod.strn_iseq("ab\x80", "ab\x7f", 255));
}

// A text placed so that its terminator is the last byte before an
// inaccessible page: reading past it faults.
struct guarded_text {
    char *page = nullptr;
    size_t size = 0;
    char *text = nullptr;

    explicit guarded_text(const std::string &s)
    {
        size = sysconf(_SC_PAGESIZE);
        page = static_cast<char *>(mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE,
                                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        EXPECT_NE(MAP_FAILED, page);
        EXPECT_EQ(mprotect(page + size, size, PROT_NONE), 0);
        text = page + size - (s.size() + 1);
        memcpy(text, s.c_str(), s.size() + 1);
    }
    ~guarded_text() { munmap(page, 2 * size); }
};

TEST_F(TamloFunctions, StrnIseqReadsNeitherTextPastItsTerminator)
{
    guarded_text key("ab");
    std::string long_token(300, 'a');
    EXPECT_FALSE(mod.strn_iseq(long_token.c_str(), key.text, 255));
    EXPECT_FALSE(mod.strn_iseq(long_token.c_str(), key.text, SIZE_MAX));
    guarded_text token("ab");
    EXPECT_FALSE(mod.strn_iseq(token.text, long_token.c_str(), 255));
    EXPECT_TRUE(mod.strn_iseq(token.text, key.text, SIZE_MAX));
}

TEST_F(TamloFunctions, NameCheckAcceptsOnlyAsciiAlphanumericsAndUnderscore)
{
    for (int c = 1; c < 256; c++) {
        char s[2] = {static_cast<char>(c), 0};
        bool valid = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                     c == '_';
        EXPECT_EQ(valid ? 0 : 1, mod.has_invalid_chars(s)) << "byte " << c;
    }
    EXPECT_EQ(mod.has_invalid_chars(""), 0);
    EXPECT_EQ(mod.has_invalid_chars("Alice_01_zZ9"), 0);
    EXPECT_EQ(mod.has_invalid_chars("alice.b"), 1);
    EXPECT_EQ(mod.has_invalid_chars("alice\xc3\xa9"), 1);
    EXPECT_EQ(mod.has_invalid_chars(nullptr), 1) << "a missing name fails";
}

TEST_F(TamloFunctions, ValidationCutsThePasswordInPlace)
{
    write_file(tamlo_key_path("alice", "sess1"), "to_ken");
    char pass[] = "tamlo_sess1_to_ken";
    EXPECT_EQ(mod.validate("alice", pass), 1);
    EXPECT_EQ(memcmp(pass, "tamlo\0sess1\0to_ken", sizeof pass), 0);
    EXPECT_TRUE(log_messages("PAM-tamlo").empty());

    char wrong[] = "tamlo_sess1_to_kem";
    EXPECT_EQ(mod.validate("alice", wrong), 0);
    EXPECT_EQ(log_messages("PAM-tamlo"), std::vector<std::string>{"failed tamlo auth for user: alice with tamlouser: sess1"});
}

TEST_F(TamloFunctions, ValidationRefusesMissingArguments)
{
    char pass[] = "tamlo_sess1_token";
    EXPECT_EQ(mod.validate(nullptr, pass), 0);
    EXPECT_EQ(mod.validate("alice", nullptr), 0);
    EXPECT_EQ(log_messages("PAM-tamlo"), (std::vector<std::string>{
                  "user has invalid characters.",
                  "Password shorter than expected. The format of the password requires at least 9 "
                  "characters, but only 0 were seen."}));
}

TEST_F(TamloFunctions, ValidationLeavesNoDescriptorOpen)
{
    write_file(tamlo_key_path("alice", "s"), "key");
    write_file(tamlo_key_path("alice", "empty"), "");
    int before = count_open_fds();
    for (const char *p : {"tamlo_s_key", "tamlo_s_kez", "tamlo_empty_x", "tamlo_none_x"}) {
        std::string copy = p;
        mod.validate("alice", copy.data());
    }
    EXPECT_EQ(before, count_open_fds());
    EXPECT_EQ(log_messages("PAM-tamlo").size(), 3u);
}

TEST_F(TamloFunctions, OverlongKeyPathIsCutAndOpensNothing)
{
    const std::string user(5000, 'a');
    char pass[] = "tamlo_sess1_token";
    EXPECT_EQ(mod.validate(user.c_str(), pass), 0);
    auto messages = log_messages("PAM-tamlo");
    ASSERT_EQ(messages.size(), 1u);
    // (The capture keeps 4095 bytes of a message, so only its start is compared.)
    EXPECT_EQ(messages[0].find("failed opening: " + tamlo_key_dir + "/" + user.substr(0, 3000)), 0u);
}

// Flags of an open descriptor, from /proc/self/fdinfo.
long fd_flags(int fd)
{
    std::ifstream in("/proc/self/fdinfo/" + std::to_string(fd));
    std::string word;
    while (in >> word)
        if (word == "flags:") {
            std::string octal;
            in >> octal;
            return strtol(octal.c_str(), nullptr, 8);
        }
    return -1;
}

// Descriptors of this process that refer to `path`, other than `except`.
std::vector<int> fds_of(const std::string &path, int except)
{
    std::vector<int> out;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (dirent *e = readdir(d)) {
            char target[PATH_MAX + 1] = {};
            std::string link = std::string("/proc/self/fd/") + e->d_name;
            if (e->d_name[0] == '.' || readlink(link.c_str(), target, PATH_MAX) < 0)
                continue;
            int fd = atoi(e->d_name);
            if (fd != except && path == target)
                out.push_back(fd);
        }
        closedir(d);
    }
    return out;
}

// The key file is a FIFO here, so the module's open waits for this test to
// open the other end; meanwhile its descriptor can be inspected.
TEST_F(TamloFunctions, KeyFileIsOpenedCloseOnExec)
{
    const std::string path = tamlo_key_path("alice", "fifo");
    make_dirs(tamlo_key_dir);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);

    int result = -1;
    std::thread reader([&] {
        char pass[] = "tamlo_fifo_pipekey";
        result = mod.validate("alice", pass);
    });
    int writer = open(path.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    std::vector<int> theirs;
    for (int i = 0; i < 500 && theirs.empty(); i++) {
        theirs = fds_of(path, writer);
        if (theirs.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(theirs.size(), 1u) << "the module's descriptor of the key file";
    long flags = fd_flags(theirs[0]);
    // Positive control: our own end was opened without the flag.
    long own = fd_flags(writer);
    ASSERT_NE(own, -1);
    EXPECT_EQ(own & O_CLOEXEC, 0);
    EXPECT_NE(flags & O_CLOEXEC, 0) << "flags " << std::oct << flags;

    ASSERT_EQ(write(writer, "pipekey", 7), 7);
    close(writer);
    reader.join();
    EXPECT_EQ(result, 1);
}

std::string write_temp(const std::string &content)
{
    std::string path = "/tmp/tamlo-readline-" + std::to_string(getpid());
    write_file(path, content);
    return path;
}

TEST_F(TamloFunctions, ReadlineSplitsAtLineFeedAndCarriageReturn)
{
    FILE *f = fopen(write_temp("first\r\nsecond line\nlast").c_str(), "r");
    ASSERT_NE(f, nullptr);
    char buf[256];
    std::vector<std::string> lines;
    for (int i = 0; i < 5; i++) {
        memset(buf, 'x', sizeof buf);
        EXPECT_EQ(mod.readline(buf, f, 255), 1);
        lines.push_back(buf);
    }
    fclose(f);
    // The CR ends the first line and leaves its LF for the next call.
    EXPECT_EQ(lines, (std::vector<std::string>{"first", "", "second line", "last", ""}));
}

TEST_F(TamloFunctions, ReadlineDropsTheRestOfALongLineAndReadsNoFurther)
{
    int fd = open(write_temp("abcdefgh\nnext\nmore").c_str(), O_RDONLY);
    FILE *f = fdopen(fd, "r");
    ASSERT_NE(f, nullptr);
    char buf[4];
    EXPECT_EQ(mod.readline(buf, f, 3), 1);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 9) << "stops right after the line end";
    EXPECT_EQ(mod.readline(buf, f, 3), 1);
    EXPECT_STREQ(buf, "nex");
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 14);
    fclose(f);
}

TEST_F(TamloFunctions, VersionText)
{
    ASSERT_NE(mod.version, nullptr);
    EXPECT_STREQ(*mod.version, "tamlo_version_1.1");
}

TEST_F(TamloFunctions, FixedEntryPointsIgnoreTheirArguments)
{
    const char *argv[] = {"debug", "use_first_pass"};
    for (const char *name : {"pam_sm_setcred", "pam_sm_acct_mgmt", "pam_sm_open_session",
                             "pam_sm_close_session"}) {
        auto fn = mod.entry(name);
        ASSERT_NE(fn, nullptr);
        EXPECT_EQ(fn(nullptr, 0, 0, nullptr), PAM_SUCCESS) << name;
        EXPECT_EQ(fn(nullptr, PAM_SILENT | PAM_ESTABLISH_CRED, 2, argv), PAM_SUCCESS) << name;
    }
    auto chauthtok = mod.entry("pam_sm_chauthtok");
    ASSERT_NE(chauthtok, nullptr);
    EXPECT_EQ(chauthtok(nullptr, 0, 0, nullptr), PAM_SERVICE_ERR);
    EXPECT_EQ(chauthtok(nullptr, PAM_UPDATE_AUTHTOK, 2, argv), PAM_SERVICE_ERR);
    EXPECT_TRUE(log_events().empty());
}

}  // namespace
