// Each banner line must reach pam_prompt as the argument of a "%s" format,
// never as the format itself, so that a "%" in a line can never be read as
// a conversion. This executable puts its own pam_prompt in front of
// libpam's (it is exported, so the module binds to it), records how it was
// called and hands the call on to libpam's pam_vprompt.
#include "qvo_standin.h"
#include "suqvo_test.h"

#include <security/pam_ext.h>
#include <stdarg.h>
#include <stdlib.h>

#include <gtest/gtest.h>

namespace {

struct prompt_call {
    int style;
    std::string format;
    std::string argument;  // the string argument of a "%s" format
};

std::vector<prompt_call> &prompt_calls()
{
    static std::vector<prompt_call> calls;
    return calls;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int
pam_prompt(pam_handle_t *pamh, int style, char **response, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    prompt_call call{style, fmt ? fmt : "", ""};
    if (call.format == "%s") {
        va_list copy;
        va_copy(copy, ap);
        const char *arg = va_arg(copy, const char *);
        call.argument = arg ? arg : "(null)";
        va_end(copy);
    }
    prompt_calls().push_back(call);
    int rc = pam_vprompt(pamh, style, response, fmt, ap);
    va_end(ap);
    return rc;
}

namespace {

// Lines that went to pam_prompt as something other than the argument of
// "%s", in the order sent.
std::vector<std::string> lines_not_sent_as_argument()
{
    std::vector<std::string> out;
    for (auto &c : prompt_calls())
        if (c.format != "%s")
            out.push_back(c.format);
    return out;
}

TEST(SuqvoPromptFormat, EveryLineIsTheArgumentOfPercentS)
{
    setenv("QVO_STANDIN_ANSWER", "inside", 1);
    pam_app app("suqvo", suqvo_stack());
    ASSERT_EQ(app.start("alice"), PAM_SUCCESS);
    app.open_session();

    ASSERT_EQ(prompt_calls().size(), 9u) << "the module did not bind to this pam_prompt";
    EXPECT_TRUE(lines_not_sent_as_argument().empty());
    for (size_t i = 0; i < prompt_calls().size(); i++) {
        EXPECT_EQ(prompt_calls()[i].style, PAM_ERROR_MSG);
        EXPECT_EQ(expected_banner[i], prompt_calls()[i].argument);
    }
    ASSERT_EQ(app.messages.size(), 9u);
    for (size_t i = 0; i < 9; i++)
        EXPECT_EQ(expected_banner[i], app.messages[i].text) << "line " << i + 1 << " changed on its way";
    EXPECT_EQ(qvo_standin_calls()->tokens_live, 0);
}

// Control: a caller that passes the line as the format is caught by the
// same check, and a "%" in such a line is read as a conversion.
TEST(SuqvoPromptFormat, LineAsFormatIsDetected)
{
    pam_app app("suqvo", suqvo_stack());
    ASSERT_EQ(app.start("alice"), PAM_SUCCESS);
    const char *line = "*      https://docs.vesnar.example/100%%25-safe                            *";
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    pam_prompt(app.handle(), PAM_ERROR_MSG, nullptr, line);
#pragma GCC diagnostic pop

    EXPECT_EQ(lines_not_sent_as_argument(), std::vector<std::string>{line});
    ASSERT_EQ(app.messages.size(), 1u);
    EXPECT_NE(line, app.messages[0].text);
}

}  // namespace
