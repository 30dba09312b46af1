// pam_tamlo driven through the real libpam: service file naming the built
// module, scripted conversation, key files in the sandboxed /var.
#include "pam_app.h"
#include "sandbox.h"
#include "syslog_capture.h"
#include "tamlo_module.h"

#include <security/pam_appl.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include <gtest/gtest.h>

namespace {

const std::string module_path = PAM_TAMLO_SO;
const char *const good_token = "s3cr3t-K3y!.with spaces";

void write_key(const std::string &user, const std::string &session_user, const std::string &key)
{
    write_file(tamlo_key_path(user, session_user), key, 0600);
}

std::string password(const std::string &session_user, const std::string &token)
{
    return "tamlo_" + session_user + "_" + token;
}

// Every message under the module's identity comes with its own open and
// close, with the fixed options, facility and priority.
void expect_tamlo_log(const std::vector<std::string> &expected)
{
    std::vector<std::string> texts;
    const auto &events = log_events();
    size_t opens = 0, closes = 0;
    for (size_t i = 0; i < events.size(); i++) {
        const log_event &e = events[i];
        if (e.ident != "PAM-tamlo")
            continue;
        EXPECT_EQ(LOG_CONS | LOG_PID, e.option);
        EXPECT_EQ(e.facility, LOG_AUTH);
        if (e.kind == log_event::open) {
            opens++;
            ASSERT_LT(i + 2, events.size()) << "open without message and close";
            EXPECT_EQ(log_event::message, events[i + 1].kind);
            EXPECT_EQ(log_event::close, events[i + 2].kind);
        } else if (e.kind == log_event::message) {
            EXPECT_EQ(e.priority, LOG_ERR);
            EXPECT_TRUE(e.log_open);
            texts.push_back(e.text);
        } else {
            closes++;
        }
    }
    EXPECT_EQ(texts, expected);
    EXPECT_EQ(expected.size(), opens);
    EXPECT_EQ(expected.size(), closes);
}

std::vector<std::string> full_stack()
{
    return {"auth required " + module_path, "account required " + module_path,
            "session required " + module_path, "password required " + module_path};
}

// One PAM transaction for `user` whose conversation answers `replies`.
struct transaction {
    pam_app app{"tamlo-test", full_stack()};

    explicit transaction(const char *user = "alice", std::deque<conv_reply> replies = {})
    {
        app.replies = std::move(replies);
        EXPECT_PAM(app.start(user), PAM_SUCCESS);
    }
};

conv_reply answer(const std::string &text) { return conv_reply{PAM_SUCCESS, true, text, false}; }
conv_reply failure(int code) { return conv_reply{code, false, "", false}; }

// Authenticates `user` with `pass`; returns the PAM result.
int authenticate(const char *user, const std::string &pass, int flags = 0)
{
    transaction t(user, {answer(pass)});
    int rc = t.app.authenticate(flags);
    EXPECT_EQ(t.app.conv_calls, 1) << "a wrong password never leads to another prompt";
    return rc;
}

class TamloAuth : public testing::Test {
protected:
    void SetUp() override
    {
        write_key("alice", "sess1", good_token);
        clear_log();
    }
};

TEST_F(TamloAuth, RightPasswordSucceedsWithoutLog)
{
    transaction t("alice", {answer(password("sess1", good_token))});
    int fds = count_open_fds();
    EXPECT_PAM(t.app.authenticate(), PAM_SUCCESS);
    EXPECT_EQ(fds, count_open_fds()) << "the key file is closed again";
    ASSERT_EQ(t.app.messages.size(), 1u);
    EXPECT_EQ(t.app.messages[0].style, PAM_PROMPT_ECHO_OFF);
    EXPECT_EQ(t.app.messages[0].text, "Password:");
    expect_tamlo_log({});
}

TEST_F(TamloAuth, WrongTokenIsRefusedOnceAndLogged)
{
    int fds = count_open_fds();
    EXPECT_PAM(authenticate("alice", password("sess1", "s3cr3t-K3y!.with spaceS")), PAM_AUTH_ERR);
    EXPECT_EQ(fds, count_open_fds());
    expect_tamlo_log({"failed tamlo auth for user: alice with tamlouser: sess1"});
}

TEST_F(TamloAuth, EachFailingCheckLogsItsOwnMessage)
{
    write_key("alice", "empty", "");
    const std::string too_long = "tamlo_sess1_" + std::string(261, 'k');
    ASSERT_EQ(too_long.size(), 273u);
    struct row {
        const char *user;
        std::string pass;
        std::string message;
    } rows[] = {
        {"al.ice", password("sess1", good_token), "user has invalid characters."},
        {"al-ice", password("sess1", good_token), "user has invalid characters."},
        {"al@ice", password("sess1", good_token), "user has invalid characters."},
        {"al ice", password("sess1", good_token), "user has invalid characters."},
        {"al\xc3\xa9", password("sess1", good_token), "user has invalid characters."},
        // The user name is checked before the password is looked at.
        {"al.ice", "x", "user has invalid characters."},
        {"alice", "tamlo_ab",
         "Password shorter than expected. The format of the password requires at least 9 "
         "characters, but only 8 were seen."},
        {"alice", "",
         "Password shorter than expected. The format of the password requires at least 9 "
         "characters, but only 0 were seen."},
        {"alice", too_long,
         "Password longer than expected. The format of the password supports at most 272 "
         "characters, but more than this were given."},
        {"alice", std::string(5000, 'a'),
         "Password longer than expected. The format of the password supports at most 272 "
         "characters, but more than this were given."},
        {"alice", "tamloXsess1Xtoken", "Expected tamlo_ in password missing."},
        {"alice", "TAMLO_sess1_token", "Password does not start with tamlo_."},
        {"alice", "Tamlo_sess1_token", "Password does not start with tamlo_."},
        {"alice", "tamlox_sess1_token", "Password does not start with tamlo_."},
        {"alice", "_tamlo_sess1_token", "Password does not start with tamlo_."},
        {"alice", "tamlo_sess1token", "Expected tamlo_ user in password missing."},
        {"alice", "tamlo_ab-cdefghij_token", "tamlo_ user has invalid characters."},
        {"alice", "tamlo_a.b_token", "tamlo_ user has invalid characters."},
        {"alice", "tamlo_../x_token", "tamlo_ user has invalid characters."},
        {"alice", "tamlo_nobody_token",
         "failed opening: /var/vesnar/tamlo/keys/alice:tamlo_nobody for password"},
        {"bob", password("sess1", good_token),
         "failed opening: /var/vesnar/tamlo/keys/bob:tamlo_sess1 for password"},
        {"alice", "tamlo_empty_token", "No password file found for user: alice, tamlo_user: empty"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.user) + " / " + r.pass.substr(0, 40));
        clear_log();
        EXPECT_PAM(authenticate(r.user, r.pass), PAM_AUTH_ERR);
        expect_tamlo_log({r.message});
    }
}

TEST_F(TamloAuth, PasswordLengthLimitsAreNineAndTwoHundredSeventyTwo)
{
    write_key("alice", "a", "b");
    ASSERT_EQ(password("a", "b").size(), 9u);
    EXPECT_PAM(authenticate("alice", password("a", "b")), PAM_SUCCESS);

    std::string token(264, 't');
    for (size_t i = 0; i < token.size(); i++)
        token[i] = static_cast<char>('A' + i % 26);
    ASSERT_EQ(password("s", token).size(), 272u);
    write_key("alice", "s", token.substr(0, 255));
    EXPECT_PAM(authenticate("alice", password("s", token)), PAM_SUCCESS);
    expect_tamlo_log({});

    EXPECT_PAM(authenticate("alice", password("s", token + "t")), PAM_AUTH_ERR);
    expect_tamlo_log({"Password longer than expected. The format of the password supports at most "
                      "272 characters, but more than this were given."});
}

TEST_F(TamloAuth, OnlyTheFirst255KeyBytesCount)
{
    std::string key(300, 'k');
    for (size_t i = 0; i < key.size(); i++)
        key[i] = static_cast<char>('!' + i % 90);
    write_key("alice", "cap", key);
    EXPECT_PAM(authenticate("alice", password("cap", key.substr(0, 255))), PAM_SUCCESS);
    EXPECT_PAM(authenticate("alice", password("cap", key.substr(0, 255) + "zz")), PAM_SUCCESS);
    expect_tamlo_log({});
    EXPECT_PAM(authenticate("alice", password("cap", key.substr(0, 254))), PAM_AUTH_ERR);
    std::string last_differs = key.substr(0, 255);
    last_differs[254] ^= 1;
    EXPECT_PAM(authenticate("alice", password("cap", last_differs)), PAM_AUTH_ERR);
    expect_tamlo_log({"failed tamlo auth for user: alice with tamlouser: cap",
                      "failed tamlo auth for user: alice with tamlouser: cap"});
}

TEST_F(TamloAuth, SessionUserIsCutToTenCharacters)
{
    write_key("alice", "abcdefghij", "tok");
    EXPECT_PAM(authenticate("alice", "tamlo_abcdefghij-k_tok"), PAM_SUCCESS);
    EXPECT_PAM(authenticate("alice", "tamlo_abcdefghijZZ_tok"), PAM_SUCCESS);
    expect_tamlo_log({});
    EXPECT_PAM(authenticate("alice", "tamlo_abcdefghij-k_tak"), PAM_AUTH_ERR);
    EXPECT_PAM(authenticate("alice", "tamlo_ab-defghij_tok"), PAM_AUTH_ERR);
    expect_tamlo_log({"failed tamlo auth for user: alice with tamlouser: abcdefghij",
                      "tamlo_ user has invalid characters."});
}

TEST_F(TamloAuth, EmptySessionUserNamesFileEndingInTamloUnderscore)
{
    EXPECT_PAM(authenticate("alice", "tamlo__s3cr3tkey"), PAM_AUTH_ERR);
    expect_tamlo_log({"failed opening: /var/vesnar/tamlo/keys/alice:tamlo_ for password"});
    write_key("alice", "", "s3cr3tkey");
    EXPECT_PAM(authenticate("alice", "tamlo__s3cr3tkey"), PAM_SUCCESS);
}

TEST_F(TamloAuth, TokenKeepsFurtherUnderscores)
{
    write_key("alice", "u", "se_cr_et");
    EXPECT_PAM(authenticate("alice", "tamlo_u_se_cr_et"), PAM_SUCCESS);
    write_key("alice", "u", "se");
    EXPECT_PAM(authenticate("alice", "tamlo_u_se_cr_et"), PAM_AUTH_ERR);
}

TEST_F(TamloAuth, EmptyTokenNeverAuthenticates)
{
    write_key("alice", "session1", "x");
    EXPECT_PAM(authenticate("alice", "tamlo_session1_"), PAM_AUTH_ERR);
    expect_tamlo_log({"failed tamlo auth for user: alice with tamlouser: session1"});
    // A key file that starts with NUL holds an empty key; it must not let an
    // empty token in.
    clear_log();
    write_key("alice", "session1", std::string("\0abc", 4));
    EXPECT_PAM(authenticate("alice", "tamlo_session1_"), PAM_AUTH_ERR);
    expect_tamlo_log({"No password file found for user: alice, tamlo_user: session1"});
}

TEST_F(TamloAuth, KeyBytesAreTakenRaw)
{
    write_key("alice", "nl", "s3cr3t\n");
    EXPECT_PAM(authenticate("alice", password("nl", "s3cr3t")), PAM_AUTH_ERR);
    EXPECT_PAM(authenticate("alice", password("nl", "s3cr3t\n")), PAM_SUCCESS);

    write_key("alice", "nul", std::string("ab\0cd", 5));
    EXPECT_PAM(authenticate("alice", password("nul", "ab")), PAM_SUCCESS);
    EXPECT_PAM(authenticate("alice", password("nul", "abcd")), PAM_AUTH_ERR);
    EXPECT_PAM(authenticate("alice", password("nul", "a")), PAM_AUTH_ERR);
}

TEST_F(TamloAuth, EmptyUserNamePassesTheNameCheck)
{
    write_key("", "sess1", good_token);
    EXPECT_PAM(authenticate("", password("sess1", good_token)), PAM_SUCCESS);
    expect_tamlo_log({});
}

TEST_F(TamloAuth, SilentFlagStillAsksWithEmptyPrompt)
{
    transaction t("alice", {answer(password("sess1", good_token))});
    EXPECT_PAM(t.app.authenticate(PAM_SILENT), PAM_SUCCESS);
    ASSERT_EQ(t.app.messages.size(), 1u);
    EXPECT_EQ(t.app.messages[0].style, PAM_PROMPT_ECHO_OFF);
    EXPECT_EQ(t.app.messages[0].text, "");
}

TEST_F(TamloAuth, OnlyFailedConversationsAreRetriedAndTheLastCodeDecides)
{
    const std::string right = password("sess1", good_token);
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
    const std::string right = password("sess1", good_token);
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

TEST_F(TamloAuth, MissingConversationFunctionIsAConversationError)
{
    transaction t;
    pam_conv conv{nullptr, nullptr};
    ASSERT_EQ(t.app.set_item(PAM_CONV, &conv), PAM_SUCCESS);
    EXPECT_PAM(t.app.authenticate(), PAM_CONV_ERR);
    expect_tamlo_log({});
}

TEST_F(TamloAuth, UnobtainableUserNameIsAServiceError)
{
    for (int code : {PAM_CONV_ERR, PAM_BUF_ERR}) {
        transaction t(nullptr);
        t.app.fallback = failure(code);
        EXPECT_PAM(t.app.authenticate(), PAM_SERVICE_ERR);
        for (auto &m : t.app.messages)
            EXPECT_NE(m.text, "Password:") << "no password prompt without a user";
    }
    expect_tamlo_log({});
}

TEST_F(TamloAuth, UserNameIsAskedWithTheLibraryPrompt)
{
    transaction t(nullptr, {answer("alice"), answer(password("sess1", good_token))});
    EXPECT_PAM(t.app.authenticate(), PAM_SUCCESS);
    ASSERT_EQ(t.app.messages.size(), 2u);
    EXPECT_EQ(t.app.messages[0].style, PAM_PROMPT_ECHO_ON);
    EXPECT_EQ(t.app.messages[0].text, "login:");
    EXPECT_EQ(t.app.messages[1].text, "Password:");
}

TEST_F(TamloAuth, OtherEntryPointsGiveFixedAnswers)
{
    transaction t;
    EXPECT_PAM(t.app.setcred(PAM_ESTABLISH_CRED), PAM_SUCCESS);
    EXPECT_PAM(t.app.acct_mgmt(), PAM_SUCCESS);
    EXPECT_PAM(t.app.open_session(), PAM_SUCCESS);
    EXPECT_PAM(t.app.close_session(), PAM_SUCCESS);
    EXPECT_PAM(t.app.chauthtok(), PAM_SERVICE_ERR) << "password change is refused";
    EXPECT_EQ(t.app.conv_calls, 0);
    expect_tamlo_log({});
}

}  // namespace
