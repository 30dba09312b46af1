// The answers of libpam that a real PAM handle never gives: this program
// defines pam_get_user and pam_get_item itself, and the module, which looks
// them up globally, reaches these instead of the library's.
#include "syslog_capture.h"
#include "tamlo_module.h"

#include <security/pam_appl.h>

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
__attribute__((visibility("default"))) int pam_get_user(pam_handle_t *, const char **user, const char *)
{
    fake.user_calls++;
    *user = fake.user;
    return fake.user_result;
}

__attribute__((visibility("default"))) int pam_get_item(const pam_handle_t *, int item, const void **value)
{
    fake.item_calls++;
    EXPECT_EQ(item, PAM_CONV);
    *value = fake.conv;
    return fake.item_result;
}
}

namespace {

int never_called(int, const pam_message **, pam_response **, void *)
{
    ADD_FAILURE() << "conversation called";
    return PAM_CONV_ERR;
}

pam_conv a_conv{never_called, nullptr};

class TamloFakePam : public testing::Test {
protected:
    tamlo_module mod;
    tamlo_module::entry_fn authenticate = nullptr;
    void SetUp() override
    {
        ASSERT_NE(mod.handle, nullptr);
        authenticate = mod.entry("pam_sm_authenticate");
        ASSERT_NE(authenticate, nullptr);
        fake = fake_state{};
        fake.conv = &a_conv;
        clear_log();
    }
    void TearDown() override { EXPECT_TRUE(log_messages("PAM-tamlo").empty()); }
    // Any non-null handle: the fakes never look at it.
    pam_handle_t *handle() { return reinterpret_cast<pam_handle_t *>(&fake); }
};

TEST_F(TamloFakePam, UserNameFailureOrNoNameIsAServiceError)
{
    for (int code : {PAM_SYSTEM_ERR, PAM_BUF_ERR, PAM_CONV_AGAIN, PAM_ABORT}) {
        fake.user_result = code;
        EXPECT_EQ(authenticate(handle(), 0, 0, nullptr), PAM_SERVICE_ERR) << code;
    }
    fake.user_result = PAM_SUCCESS;
    fake.user = nullptr;
    EXPECT_EQ(authenticate(handle(), 0, 0, nullptr), PAM_SERVICE_ERR);
    // Positive control: the module reached these definitions, and went no further.
    EXPECT_EQ(fake.user_calls, 5);
    EXPECT_EQ(fake.item_calls, 0);
}

TEST_F(TamloFakePam, ConversationItemFailureIsASystemError)
{
    fake.item_result = PAM_BAD_ITEM;
    EXPECT_EQ(authenticate(handle(), 0, 0, nullptr), PAM_SYSTEM_ERR);
    fake.item_result = PAM_SYSTEM_ERR;
    EXPECT_EQ(authenticate(handle(), 0, 0, nullptr), PAM_SYSTEM_ERR);
    EXPECT_EQ(fake.item_calls, 2);
}

TEST_F(TamloFakePam, MissingConversationItemIsAConversationError)
{
    fake.conv = nullptr;
    EXPECT_EQ(authenticate(handle(), 0, 0, nullptr), PAM_CONV_ERR);
    EXPECT_EQ(fake.item_calls, 1);
}

}  // namespace
