// pam_suqvo in a libpam session, with the libqvo.so.0 stand-in answering.
// The module is linked in and its entry points are called on the handle
// that libpam set up, because libpam folds PAM_IGNORE into the result of
// the whole stack.
//
// This program also puts its own pam_prompt in front of libpam's (it is
// exported, so the module binds to it): it records how each line was passed
// and hands the call on to pam_vprompt. A banner line must be the argument
// of a "%s" format, never the format itself, so that a "%" in a line can
// never be read as a conversion.
#include "expected_banner.h"
#include "pam_app.h"
#include "qvo_standin.h"
#include "sandbox.h"
#include "suqvo.h"
#include "syslog_capture.h"

#include <security/pam_ext.h>
#include <security/pam_modules.h>

#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <syslog.h>

#include <gtest/gtest.h>

namespace {

struct prompt_call {
    int style;
    std::string format;
    std::string argument;  // the string argument of a "%s" format
};

std::vector<prompt_call> prompt_calls;

}  // namespace

extern "C" int pam_prompt(pam_handle_t *pamh, int style, char **response, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    prompt_call call{style, fmt, ""};
    if (call.format == "%s") {
        va_list copy;
        va_copy(copy, ap);
        const char *arg = va_arg(copy, const char *);
        call.argument = arg ? arg : "(null)";
        va_end(copy);
    }
    prompt_calls.push_back(call);
    int rc = pam_vprompt(pamh, style, response, fmt, ap);
    va_end(ap);
    return rc;
}

namespace {

const char container_marker[] = "/etc/zelvaronix-container";

std::vector<std::string> texts_of(const std::vector<conv_message> &messages)
{
    std::vector<std::string> out;
    for (auto &m : messages)
        out.push_back(m.text);
    return out;
}

class SuqvoSession : public testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("QVO_STANDIN_ANSWER");
        ASSERT_EQ(app.start("alice"), PAM_SUCCESS);
        clear_log();
        qvo_standin_reset();
        prompt_calls.clear();
    }

    void answer(const std::string &mode) { setenv("QVO_STANDIN_ANSWER", mode.c_str(), 1); }

    int open_session(int flags = 0) { return pam_sm_open_session(app.handle(), flags, 0, nullptr); }
    int close_session(int flags = 0) { return pam_sm_close_session(app.handle(), flags, 0, nullptr); }

    void expect_token_released()
    {
        EXPECT_EQ(qvo.init_calls, 1);
        EXPECT_EQ(qvo.destroy_calls, 1);
        EXPECT_EQ(qvo.tokens_live, 0);
    }

    pam_app app{"suqvo", {std::string("session optional ") + PAM_SUQVO_SO}};
    const qvo_standin_record &qvo = *qvo_standin_calls();
};

// --- container host: the marker file, of whatever type, silences everything

class SuqvoMarker : public SuqvoSession, public testing::WithParamInterface<bool> {};

TEST_P(SuqvoMarker, NothingHappensOnAContainerHost)
{
    if (GetParam())
        make_dirs(container_marker);
    else
        write_file(container_marker, "");
    answer("inside");

    EXPECT_PAM(open_session(), PAM_IGNORE);
    EXPECT_EQ(app.conv_calls, 0);
    EXPECT_EQ(qvo.init_calls + qvo.is_in_calls + qvo.destroy_calls, 0);
    EXPECT_TRUE(log_events().empty()) << "the log was touched";

    // Control: without the marker the same setup shows the banner.
    remove_tree(container_marker);
    EXPECT_PAM(open_session(), PAM_IGNORE);
    EXPECT_EQ(texts_of(app.messages), expected_banner);
}

INSTANTIATE_TEST_SUITE_P(FileOrDirectory, SuqvoMarker, testing::Bool(),
                         [](const auto &test) { return test.param ? "directory" : "file"; });

// --- inside a container: the banner, line by line

class SuqvoInside : public SuqvoSession,
                    public testing::WithParamInterface<std::tuple<std::string, int>> {};

TEST_P(SuqvoInside, ShowsTheNineLinesInOrder)
{
    auto [mode, flags] = GetParam();
    answer(mode);

    EXPECT_PAM(open_session(flags), PAM_IGNORE);

    EXPECT_EQ(texts_of(app.messages), expected_banner);
    EXPECT_EQ(app.conv_calls, 9) << "each line is its own conversation call";
    for (auto &m : app.messages)
        EXPECT_EQ(m.style, PAM_ERROR_MSG);
    std::vector<std::string> arguments;
    for (auto &c : prompt_calls) {
        EXPECT_EQ(c.format, "%s") << "a line passed as the format";
        arguments.push_back(c.argument);
    }
    EXPECT_EQ(arguments, expected_banner);

    expect_token_released();
    EXPECT_EQ(qvo.is_in_calls, 1);
    EXPECT_TRUE(qvo.last_alloc == &malloc && qvo.last_free == &free)
        << "the token must come from the process heap";
    EXPECT_TRUE(log_messages("pam_suqvo").empty());
}

INSTANTIATE_TEST_SUITE_P(
    AnswersAndFlags, SuqvoInside,
    testing::Combine(testing::Values("inside", "inside:-1", "inside:7"), testing::Values(0, PAM_SILENT)),
    [](const auto &test) {
        std::string name = std::get<0>(test.param);
        for (auto &c : name)
            if (!isalnum((unsigned char)c))
                c = '_';
        return name + (std::get<1>(test.param) ? "_silent" : "");
    });

TEST_F(SuqvoSession, BannerIsSentWhileTokenIsHeld)
{
    // Seen from the conversation: each line arrives between init_qvotoken
    // and destroy_qvotoken.
    struct observed {
        int messages = 0;
        int with_token = 0;
    } seen;
    pam_conv conv{};
    conv.appdata_ptr = &seen;
    conv.conv = [](int n, const pam_message **, pam_response **resp, void *data) {
        auto *s = static_cast<observed *>(data);
        s->messages += n;
        if (qvo_standin_calls()->tokens_live == 1)
            s->with_token += n;
        if (resp)
            *resp = nullptr;
        return PAM_SUCCESS;
    };
    ASSERT_EQ(app.set_item(PAM_CONV, &conv), PAM_SUCCESS);
    answer("inside");

    EXPECT_PAM(open_session(), PAM_IGNORE);
    EXPECT_EQ(seen.messages, 9);
    EXPECT_EQ(seen.with_token, 9);
    expect_token_released();
}

TEST_F(SuqvoSession, FailingConversationStillGetsEveryLine)
{
    app.fallback.result = PAM_CONV_ERR;
    answer("inside");

    EXPECT_PAM(open_session(), PAM_IGNORE);
    EXPECT_EQ(app.conv_calls, 9);
    EXPECT_EQ(texts_of(app.messages), expected_banner);
    expect_token_released();
    EXPECT_TRUE(log_messages("pam_suqvo").empty());
}

// --- outside a container

TEST_F(SuqvoSession, OutsideShowsNothing)
{
    for (const char *mode : {static_cast<const char *>("outside"), static_cast<const char *>(nullptr)}) {
        SCOPED_TRACE(mode ? mode : "unset");
        qvo_standin_reset();
        clear_log();
        if (mode)
            answer(mode);
        else
            unsetenv("QVO_STANDIN_ANSWER");

        EXPECT_PAM(open_session(), PAM_IGNORE);
        EXPECT_EQ(app.conv_calls, 0);
        EXPECT_EQ(qvo.is_in_calls, 1);
        expect_token_released();
        EXPECT_TRUE(log_events().empty());
    }
}

// --- the library cannot give a token

class SuqvoInitFailure : public SuqvoSession, public testing::WithParamInterface<int> {};

TEST_P(SuqvoInitFailure, LogsTheErrnoOnceAndShowsNothing)
{
    int err = GetParam();
    answer("fail:" + std::to_string(err));

    EXPECT_PAM(open_session(), PAM_IGNORE);

    EXPECT_EQ(app.conv_calls, 0);
    EXPECT_EQ(qvo.init_calls, 1);
    EXPECT_EQ(qvo.is_in_calls, 0);
    EXPECT_EQ(qvo.destroy_calls, 0) << "there was no token to release";
    EXPECT_EQ(qvo.tokens_live, 0);

    EXPECT_EQ(log_messages("pam_suqvo"),
              std::vector<std::string>{"Unable to initialize check QVO " + std::to_string(err)});
    EXPECT_EQ(log_events().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Errnos, SuqvoInitFailure, testing::Values(ENOENT, EACCES, ENOSYS));

// --- closing a session

TEST_F(SuqvoSession, CloseSessionIgnoresWhateverHappenedBefore)
{
    EXPECT_PAM(close_session(), PAM_IGNORE);

    answer("inside");
    EXPECT_PAM(open_session(), PAM_IGNORE);
    EXPECT_PAM(close_session(PAM_SILENT), PAM_IGNORE);

    answer("fail:5");
    EXPECT_PAM(open_session(), PAM_IGNORE);
    qvo_standin_reset();
    clear_log();
    EXPECT_PAM(close_session(), PAM_IGNORE);

    EXPECT_EQ(app.messages.size(), 9u) << "only the one banner";
    EXPECT_EQ(qvo.init_calls + qvo.is_in_calls + qvo.destroy_calls, 0);
    EXPECT_TRUE(log_events().empty());
}

// --- the exported token functions on their own

TEST_F(SuqvoSession, TokenFunctionsHoldAndReleaseTheToken)
{
    answer("outside");
    void *token = init_qvotoken();
    ASSERT_NE(token, nullptr);
    EXPECT_EQ(qvo.tokens_live, 1);
    destroy_qvotoken(token);
    EXPECT_EQ(qvo.tokens_live, 0);
    destroy_qvotoken(nullptr);  // no token: nothing to release
    EXPECT_EQ(qvo.destroy_calls, 1);
    EXPECT_TRUE(log_events().empty());

    answer("fail:12");
    EXPECT_EQ(init_qvotoken(), nullptr);
    EXPECT_EQ(log_messages("pam_suqvo"), std::vector<std::string>{"Unable to initialize check QVO 12"});
}

// Control for the format check: a line passed as the format is recorded as
// such, and a "%" in it is read as a conversion.
TEST_F(SuqvoSession, LineAsFormatIsDetected)
{
    const char *line = "*      https://docs.vesnar.example/100%%25-safe                            *";
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    pam_prompt(app.handle(), PAM_ERROR_MSG, nullptr, line);
#pragma GCC diagnostic pop

    ASSERT_EQ(prompt_calls.size(), 1u);
    EXPECT_EQ(prompt_calls[0].format, line);
    ASSERT_EQ(app.messages.size(), 1u);
    EXPECT_NE(app.messages[0].text, line);
}

}  // namespace
