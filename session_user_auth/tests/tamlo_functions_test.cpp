// pam_tamlo's exported functions, called directly on the linked module.
// This program defines pam_get_user and pam_get_item itself, so the module,
// which looks them up globally, gets answers a real PAM handle never gives.
#include "open_probe.h"
#include "sandbox.h"
#include "syslog_capture.h"
#include "tamlo.h"

#include <security/pam_modules.h>

#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <random>

#include <gtest/gtest.h>

namespace {
struct fake_state {
    int user_result = PAM_SUCCESS;
    const char *user = "alice";
    int item_result = PAM_SUCCESS;
    const void *conv = nullptr;
    int user_calls = 0, item_calls = 0;
} fake;
}  // namespace

extern "C" {
int pam_get_user(pam_handle_t *, const char **user, const char *)
{
    fake.user_calls++;
    *user = fake.user;
    return fake.user_result;
}

int pam_get_item(const pam_handle_t *, int item, const void **value)
{
    fake.item_calls++;
    EXPECT_EQ(item, PAM_CONV);
    *value = fake.conv;
    return fake.item_result;
}
}

namespace {

class TamloFunctions : public testing::Test {
protected:
    void SetUp() override { clear_log(); }
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
        ASSERT_EQ(strn_iseq(a, b, n), strncmp(a, b, n) == 0)
            << "a=" << testing::PrintToString(std::string(a)) << " b="
            << testing::PrintToString(std::string(b)) << " n=" << n;
    }
}

TEST_F(TamloFunctions, StrnIseqEdgeCases)
{
    struct row {
        const char *a, *b;
        size_t n;
        bool equal;
    } rows[] = {
        {"abc", "xyz", 0, true},     {"", "", 0, true},
        {nullptr, "abc", 0, false},  {"abc", nullptr, 0, false},
        {nullptr, nullptr, 5, false}, {"abc", "abcd", 255, false},
        {"abc", "abcd", 3, true},    {"abcd", "abc", 255, false},
        {"abcd", "abc", 3, true},    {"abc", "abc", 255, true},
        {"", "a", 255, false},       {"", "", 255, true},
        {"xbc", "abc", 255, false},  {"ab\x80", "ab\x7f", 255, false},
    };
    for (const row &r : rows)
        EXPECT_EQ(strn_iseq(r.a, r.b, r.n), r.equal)
            << (r.a ? r.a : "(null)") << " / " << (r.b ? r.b : "(null)") << " / " << r.n;
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
        EXPECT_NE(page, MAP_FAILED);
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
    EXPECT_FALSE(strn_iseq(long_token.c_str(), key.text, 255));
    EXPECT_FALSE(strn_iseq(long_token.c_str(), key.text, SIZE_MAX));
    guarded_text token("ab");
    EXPECT_FALSE(strn_iseq(token.text, long_token.c_str(), 255));
    EXPECT_TRUE(strn_iseq(token.text, key.text, SIZE_MAX));
}

TEST_F(TamloFunctions, NameCheckAcceptsOnlyAsciiAlphanumericsAndUnderscore)
{
    const std::string accepted = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz";
    for (int c = 1; c < 256; c++) {
        char s[2] = {static_cast<char>(c), 0};
        bool valid = accepted.find(static_cast<char>(c)) != std::string::npos;
        EXPECT_EQ(has_invalid_username_chars(s), valid ? 0 : 1) << "byte " << c;
    }
    EXPECT_EQ(has_invalid_username_chars(""), 0);
    EXPECT_EQ(has_invalid_username_chars("Alice_01_zZ9"), 0);
    EXPECT_EQ(has_invalid_username_chars("alice.b"), 1);
    EXPECT_EQ(has_invalid_username_chars(nullptr), 1) << "a missing name fails";
}

TEST_F(TamloFunctions, ValidationCutsThePasswordInPlace)
{
    write_file("/var/vesnar/tamlo/keys/alice:tamlo_sess1", "to_ken", 0600);
    char pass[] = "tamlo_sess1_to_ken";
    EXPECT_EQ(validate_tamlo_user_pass("alice", pass), 1);
    EXPECT_EQ(memcmp(pass, "tamlo\0sess1\0to_ken", sizeof pass), 0);
    EXPECT_TRUE(log_messages("PAM-tamlo").empty());
}

TEST_F(TamloFunctions, ValidationRefusesMissingArguments)
{
    char pass[] = "tamlo_sess1_token";
    EXPECT_EQ(validate_tamlo_user_pass(nullptr, pass), 0);
    EXPECT_EQ(validate_tamlo_user_pass("alice", nullptr), 0);
    EXPECT_EQ(log_messages("PAM-tamlo"), (std::vector<std::string>{
                  "user has invalid characters.",
                  "Password shorter than expected. The format of the password requires at least 9 "
                  "characters, but only 0 were seen."}));
}

TEST_F(TamloFunctions, ValidationLeavesNoDescriptorOpen)
{
    write_file("/var/vesnar/tamlo/keys/alice:tamlo_s", "key", 0600);
    write_file("/var/vesnar/tamlo/keys/alice:tamlo_empty", "", 0600);
    int before = count_open_fds();
    for (const char *p : {"tamlo_s_key", "tamlo_s_kez", "tamlo_empty_x", "tamlo_none_x"}) {
        std::string copy = p;
        validate_tamlo_user_pass("alice", copy.data());
    }
    EXPECT_EQ(count_open_fds(), before);
    EXPECT_EQ(log_messages("PAM-tamlo").size(), 3u);
}

TEST_F(TamloFunctions, OverlongKeyPathIsCutAndOpensNothing)
{
    const std::string user(5000, 'a');
    char pass[] = "tamlo_sess1_token";
    EXPECT_EQ(validate_tamlo_user_pass(user.c_str(), pass), 0);
    auto messages = log_messages("PAM-tamlo");
    ASSERT_EQ(messages.size(), 1u);
    // (The capture keeps 4095 bytes of a message, so only its start is compared.)
    EXPECT_EQ(messages[0].find("failed opening: /var/vesnar/tamlo/keys/" + user.substr(0, 3000)), 0u);
}

TEST_F(TamloFunctions, KeyFileIsOpenedCloseOnExecWithoutWaiting)
{
    write_file("/var/vesnar/tamlo/keys/alice:tamlo_probe", "probekey", 0600);
    int flags = open_flags_during("/var/vesnar/tamlo/keys/alice:tamlo_probe", [] {
        char pass[] = "tamlo_probe_probekey";
        EXPECT_EQ(validate_tamlo_user_pass("alice", pass), 1);
    });
    ASSERT_GE(flags, 0) << "the key file's open was not seen";
    EXPECT_EQ(flags & (O_CLOEXEC | O_NONBLOCK), O_CLOEXEC | O_NONBLOCK);
}

TEST_F(TamloFunctions, VersionText) { EXPECT_STREQ(pam_tamlo_version, "tamlo_version_1.1"); }

// ---- The entry points ---------------------------------------------------------

int never_called(int, const pam_message **, pam_response **, void *)
{
    ADD_FAILURE() << "conversation called";
    return PAM_CONV_ERR;
}

const pam_conv a_conv{never_called, nullptr};
const pam_conv no_function{nullptr, nullptr};

// Any non-null handle: the fakes never look at it.
pam_handle_t *const handle = reinterpret_cast<pam_handle_t *>(&fake);

TEST_F(TamloFunctions, AuthenticateRefusesWhatLibpamCannotGive)
{
    struct row {
        int user_result;
        const char *user;
        int item_result;
        const void *conv;
        int expected;
    } rows[] = {
        {PAM_SYSTEM_ERR, "alice", PAM_SUCCESS, &a_conv, PAM_SERVICE_ERR},
        {PAM_BUF_ERR, "alice", PAM_SUCCESS, &a_conv, PAM_SERVICE_ERR},
        {PAM_CONV_AGAIN, "alice", PAM_SUCCESS, &a_conv, PAM_SERVICE_ERR},
        {PAM_ABORT, "alice", PAM_SUCCESS, &a_conv, PAM_SERVICE_ERR},
        {PAM_SUCCESS, nullptr, PAM_SUCCESS, &a_conv, PAM_SERVICE_ERR},
        {PAM_SUCCESS, "alice", PAM_BAD_ITEM, &a_conv, PAM_SYSTEM_ERR},
        {PAM_SUCCESS, "alice", PAM_SYSTEM_ERR, &a_conv, PAM_SYSTEM_ERR},
        {PAM_SUCCESS, "alice", PAM_SUCCESS, nullptr, PAM_CONV_ERR},
        {PAM_SUCCESS, "alice", PAM_SUCCESS, &no_function, PAM_CONV_ERR},
    };
    for (const row &r : rows) {
        fake = fake_state{r.user_result, r.user, r.item_result, r.conv};
        EXPECT_EQ(pam_sm_authenticate(handle, 0, 0, nullptr), r.expected)
            << "user " << r.user_result << ", item " << r.item_result;
        // Positive control: the module reached these definitions, and asked
        // for the conversation only once it had a user.
        EXPECT_EQ(fake.user_calls, 1);
        EXPECT_EQ(fake.item_calls, r.user_result == PAM_SUCCESS && r.user ? 1 : 0);
    }
    EXPECT_TRUE(log_events().empty());
}

TEST_F(TamloFunctions, OtherEntryPointsGiveFixedAnswersWhateverTheArguments)
{
    const char *argv[] = {"debug", "use_first_pass"};
    struct row {
        decltype(&pam_sm_setcred) entry;
        const char *name;
        int expected;
    } rows[] = {
        {pam_sm_setcred, "setcred", PAM_SUCCESS},
        {pam_sm_acct_mgmt, "acct_mgmt", PAM_SUCCESS},
        {pam_sm_open_session, "open_session", PAM_SUCCESS},
        {pam_sm_close_session, "close_session", PAM_SUCCESS},
        {pam_sm_chauthtok, "chauthtok", PAM_SERVICE_ERR},
    };
    fake = fake_state{};
    for (const row &r : rows) {
        EXPECT_EQ(r.entry(nullptr, 0, 0, nullptr), r.expected) << r.name;
        EXPECT_EQ(r.entry(handle, PAM_SILENT | PAM_ESTABLISH_CRED | PAM_UPDATE_AUTHTOK, 2, argv),
                  r.expected)
            << r.name;
    }
    EXPECT_EQ(fake.user_calls + fake.item_calls, 0);
    EXPECT_TRUE(log_events().empty());
}

}  // namespace
