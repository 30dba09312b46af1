// pam_tamlo driven through the real libpam: service file naming the built
// module, scripted conversation, key files in the sandboxed /var.
#include "pam_app.h"
#include "sandbox.h"
#include "syslog_capture.h"

#include <security/pam_appl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

const std::string module_path = PAM_TAMLO_SO;
const std::string good_token = "s3cr3t-K3y!.with spaces";

void expect_tamlo_log(const std::vector<std::string> &expected)
{
    EXPECT_EQ(log_messages("PAM-tamlo"), expected);
}

// One PAM transaction for `user` whose conversation answers `replies`.
struct transaction {
    pam_app app{"tamlo-test", {"auth required " + module_path}};

    explicit transaction(const char *user = "alice", std::deque<conv_reply> replies = {})
    {
        app.replies = std::move(replies);
        EXPECT_PAM(app.start(user), PAM_SUCCESS);
    }
};

conv_reply answer(const std::string &text) { return conv_reply{PAM_SUCCESS, true, text, false}; }
conv_reply failure(int code) { return conv_reply{code, false, "", false}; }

// Authenticates `user` with `pass`; returns the PAM result.
int authenticate(const char *user, const std::string &pass)
{
    transaction t(user, {answer(pass)});
    int rc = t.app.authenticate();
    EXPECT_EQ(t.app.conv_calls, 1) << "a wrong password never leads to another prompt";
    return rc;
}

// A 300-byte key, of which only the first 255 bytes count.
std::string long_key()
{
    std::string key(300, 'k');
    for (size_t i = 0; i < key.size(); i++)
        key[i] = static_cast<char>('!' + i % 90);
    return key;
}

class TamloAuth : public testing::Test {
protected:
    void SetUp() override
    {
        const std::pair<std::string, std::string> keys[] = {
            {"alice:tamlo_sess1", good_token}, {":tamlo_sess1", good_token},
            {"alice:tamlo_empty", ""},          {"alice:tamlo_a", "b"},
            {"alice:tamlo_s", long_key()},      {"alice:tamlo_abcdefghij", "tok"},
            {"alice:tamlo_", "s3cr3tkey"},      {"alice:tamlo_u", "se_cr_et"},
            {"alice:tamlo_v", "se"},            {"alice:tamlo_session1", "x"},
            {"alice:tamlo_nulfirst", std::string("\0abc", 4)},
            {"alice:tamlo_nl", "s3cr3t\n"},     {"alice:tamlo_nul", std::string("ab\0cd", 5)},
        };
        for (auto &[name, key] : keys)
            write_file("/var/vesnar/tamlo/keys/" + name, key, 0600);
        // Key files that must not hold a login: they count as missing.
        remove_tree("/var/vesnar/tamlo/keys/alice:tamlo_fifo");
        remove_tree("/var/vesnar/tamlo/keys/alice:tamlo_zero");
        ASSERT_EQ(mkfifo("/var/vesnar/tamlo/keys/alice:tamlo_fifo", 0600), 0);
        ASSERT_EQ(symlink("/dev/zero", "/var/vesnar/tamlo/keys/alice:tamlo_zero"), 0);
        write_file("/var/vesnar/tamlo/keys/alice:tamlo_huge", long_key() + std::string(20 << 20, 'x'), 0600);
        clear_log();
    }
};

TEST_F(TamloAuth, PasswordsAreCheckedAndEachRefusalLogsItsOwnMessage)
{
    const std::string invalid_user = "user has invalid characters.";
    const std::string too_long = "Password longer than expected. The format of the password supports at "
                                 "most 272 characters, but more than this were given.";
    const std::string no_prefix = "Password does not start with tamlo_.";
    const std::string bad_session_user = "tamlo_ user has invalid characters.";
    auto too_short = [](int n) {
        return "Password shorter than expected. The format of the password requires at least 9 "
               "characters, but only " + std::to_string(n) + " were seen.";
    };
    auto failed = [](const std::string &session_user) {
        return "failed tamlo auth for user: alice with tamlouser: " + session_user;
    };
    auto not_opened = [](const std::string &name) {
        return "failed opening: /var/vesnar/tamlo/keys/" + name + " for password";
    };
    const std::string key = long_key();
    std::string last_differs = key.substr(0, 255);
    last_differs[254] ^= 1;
    const std::string good = "tamlo_sess1_" + good_token;
    struct row {
        const char *user;
        std::string pass;
        int expected;
        std::string message;  // the one message logged, or none
    } rows[] = {
        {"alice", good, PAM_SUCCESS, ""},
        {"", good, PAM_SUCCESS, ""},
        {"alice", good.substr(0, good.size() - 1) + "S", PAM_AUTH_ERR, failed("sess1")},
        // The user name, checked before the password is looked at.
        {"al.ice", good, PAM_AUTH_ERR, invalid_user},
        {"al-ice", good, PAM_AUTH_ERR, invalid_user},
        {"al@ice", good, PAM_AUTH_ERR, invalid_user},
        {"al ice", good, PAM_AUTH_ERR, invalid_user},
        {"al\xc3\xa9", good, PAM_AUTH_ERR, invalid_user},
        {"al.ice", "x", PAM_AUTH_ERR, invalid_user},
        // Length: 9 to 272 bytes.
        {"alice", "tamlo_a_b", PAM_SUCCESS, ""},
        {"alice", "tamlo_ab", PAM_AUTH_ERR, too_short(8)},
        {"alice", "", PAM_AUTH_ERR, too_short(0)},
        {"alice", "tamlo_s_" + key.substr(0, 264), PAM_SUCCESS, ""},
        {"alice", "tamlo_s_" + key.substr(0, 264) + "t", PAM_AUTH_ERR, too_long},
        {"alice", std::string(5000, 'a'), PAM_AUTH_ERR, too_long},
        // Prefix and separators.
        {"alice", "tamloXsess1Xtoken", PAM_AUTH_ERR, "Expected tamlo_ in password missing."},
        {"alice", "TAMLO_sess1_token", PAM_AUTH_ERR, no_prefix},
        {"alice", "Tamlo_sess1_token", PAM_AUTH_ERR, no_prefix},
        {"alice", "tamlox_sess1_token", PAM_AUTH_ERR, no_prefix},
        {"alice", "_tamlo_sess1_token", PAM_AUTH_ERR, no_prefix},
        {"alice", "tamlo_sess1token", PAM_AUTH_ERR, "Expected tamlo_ user in password missing."},
        // The session user: its first ten characters name the key file.
        {"alice", "tamlo_abcdefghij-k_tok", PAM_SUCCESS, ""},
        {"alice", "tamlo_abcdefghijZZ_tok", PAM_SUCCESS, ""},
        {"alice", "tamlo_abcdefghij-k_tak", PAM_AUTH_ERR, failed("abcdefghij")},
        {"alice", "tamlo_ab-defghij_tok", PAM_AUTH_ERR, bad_session_user},
        {"alice", "tamlo_a.b_token", PAM_AUTH_ERR, bad_session_user},
        {"alice", "tamlo_../x_token", PAM_AUTH_ERR, bad_session_user},
        {"alice", "tamlo__s3cr3tkey", PAM_SUCCESS, ""},
        {"bob", "tamlo__s3cr3tkey", PAM_AUTH_ERR, not_opened("bob:tamlo_")},
        {"bob", good, PAM_AUTH_ERR, not_opened("bob:tamlo_sess1")},
        {"alice", "tamlo_nobody_token", PAM_AUTH_ERR, not_opened("alice:tamlo_nobody")},
        // The token: everything after the second "_", against the raw key.
        {"alice", "tamlo_u_se_cr_et", PAM_SUCCESS, ""},
        {"alice", "tamlo_v_se_cr_et", PAM_AUTH_ERR, failed("v")},
        {"alice", "tamlo_session1_", PAM_AUTH_ERR, failed("session1")},
        {"alice", "tamlo_empty_token", PAM_AUTH_ERR,
         "No password file found for user: alice, tamlo_user: empty"},
        {"alice", "tamlo_nulfirst_", PAM_AUTH_ERR,
         "No password file found for user: alice, tamlo_user: nulfirst"},
        {"alice", "tamlo_nl_s3cr3t", PAM_AUTH_ERR, failed("nl")},
        {"alice", "tamlo_nl_s3cr3t\n", PAM_SUCCESS, ""},
        {"alice", "tamlo_nul_ab", PAM_SUCCESS, ""},
        {"alice", "tamlo_nul_abcd", PAM_AUTH_ERR, failed("nul")},
        {"alice", "tamlo_nul_a", PAM_AUTH_ERR, failed("nul")},
        // Only the first 255 key bytes count.
        {"alice", "tamlo_s_" + key.substr(0, 255), PAM_SUCCESS, ""},
        {"alice", "tamlo_s_" + key.substr(0, 255) + "zz", PAM_SUCCESS, ""},
        {"alice", "tamlo_s_" + key.substr(0, 254), PAM_AUTH_ERR, failed("s")},
        {"alice", "tamlo_s_" + last_differs, PAM_AUTH_ERR, failed("s")},
        {"alice", "tamlo_huge_" + key.substr(0, 255), PAM_SUCCESS, ""},
        // Neither a FIFO that nobody writes nor a device can hold the login.
        {"alice", "tamlo_fifo_token", PAM_AUTH_ERR, not_opened("alice:tamlo_fifo")},
        {"alice", "tamlo_zero_token", PAM_AUTH_ERR, not_opened("alice:tamlo_zero")},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.user) + " / " + r.pass.substr(0, 40));
        clear_log();
        EXPECT_PAM(authenticate(r.user, r.pass), r.expected);
        expect_tamlo_log(r.message.empty() ? std::vector<std::string>{} : std::vector<std::string>{r.message});
    }
}

TEST_F(TamloAuth, PromptIsPasswordOrEmptyUnderSilent)
{
    for (int flags : {0, int(PAM_SILENT)}) {
        transaction t("alice", {answer("tamlo_sess1_" + good_token)});
        EXPECT_PAM(t.app.authenticate(flags), PAM_SUCCESS);
        ASSERT_EQ(t.app.messages.size(), 1u);
        EXPECT_EQ(t.app.messages[0].style, PAM_PROMPT_ECHO_OFF);
        EXPECT_EQ(t.app.messages[0].text, flags ? "" : "Password:");
    }
}

TEST_F(TamloAuth, OnlyFailedConversationsAreRetriedAndTheLastCodeDecides)
{
    const std::string right = "tamlo_sess1_" + good_token;
    {
        transaction t("alice", {failure(PAM_CONV_ERR), failure(PAM_BUF_ERR), answer(right)});
        EXPECT_PAM(t.app.authenticate(), PAM_SUCCESS);
        EXPECT_EQ(t.app.conv_calls, 3);
        for (auto &m : t.app.messages)
            EXPECT_EQ(m.text, "Password:");
    }
    struct row {
        int first, second, third, expected;
    } rows[] = {
        {PAM_CONV_ERR, PAM_CONV_ERR, PAM_CONV_ERR, PAM_CONV_ERR},
        {PAM_BUF_ERR, PAM_BUF_ERR, PAM_BUF_ERR, PAM_AUTH_ERR},
        {PAM_BUF_ERR, PAM_BUF_ERR, PAM_CONV_ERR, PAM_CONV_ERR},
        {PAM_CONV_ERR, PAM_CONV_ERR, PAM_SYSTEM_ERR, PAM_AUTH_ERR},
    };
    for (const row &r : rows) {
        // A fourth, right answer is queued: it must never be asked for.
        transaction t("alice", {failure(r.first), failure(r.second), failure(r.third), answer(right)});
        EXPECT_PAM(t.app.authenticate(), r.expected);
        EXPECT_EQ(t.app.conv_calls, 3);
    }
    expect_tamlo_log({});
}

TEST_F(TamloAuth, SuccessWithoutResponseFailsAtOnce)
{
    const std::string right = "tamlo_sess1_" + good_token;
    {
        transaction t("alice", {conv_reply{PAM_SUCCESS, false, "", false}, answer(right)});
        EXPECT_PAM(t.app.authenticate(), PAM_AUTH_ERR);
        EXPECT_EQ(t.app.conv_calls, 1);
    }
    {
        transaction t("alice", {conv_reply{PAM_SUCCESS, true, "", true}, answer(right)});
        EXPECT_PAM(t.app.authenticate(), PAM_AUTH_ERR);
        EXPECT_EQ(t.app.conv_calls, 1);
    }
    expect_tamlo_log({});
}

// A conversation that fails but still hands back a response: the module
// releases the text and the array (the leak checkers of the sanitizer and
// valgrind builds watch this), then asks again.
int failing_with_response(int, const pam_message **, pam_response **resp, void *data)
{
    int *calls = static_cast<int *>(data);
    auto *r = static_cast<pam_response *>(calloc(1, sizeof(pam_response)));
    if (++*calls == 1) {
        r->resp = strdup("tamlo_sess1_not-taken");
        *resp = r;
        return PAM_CONV_ERR;
    }
    r->resp = strdup("tamlo_sess1_s3cr3t-K3y!.with spaces");
    *resp = r;
    return PAM_SUCCESS;
}

TEST_F(TamloAuth, ResponseOfAFailedConversationIsReleased)
{
    transaction t;
    int calls = 0;
    pam_conv conv{failing_with_response, &calls};
    ASSERT_EQ(t.app.set_item(PAM_CONV, &conv), PAM_SUCCESS);
    EXPECT_PAM(t.app.authenticate(), PAM_SUCCESS);
    EXPECT_EQ(calls, 2);
}

}  // namespace
