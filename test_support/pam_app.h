// A small PAM application for tests: writes its own service file naming the
// built module by absolute path, starts libpam with pam_start_confdir and
// answers the conversation from a script.
#ifndef VESNAR_PAM_APP_H
#define VESNAR_PAM_APP_H

#include <security/pam_appl.h>

#include <deque>
#include <string>
#include <vector>

struct conv_message {
    int style;
    std::string text;
};

// One scripted answer of the conversation function.
struct conv_reply {
    int result = PAM_SUCCESS;
    bool with_response = true;   // false: success without a response array
    std::string text;            // response text for prompts
    bool null_text = false;      // response array present, text null
};

class pam_app {
public:
    // service_lines: the lines of the service file, e.g. "auth required /x.so".
    pam_app(const std::string &service, const std::vector<std::string> &service_lines);
    // The service as /etc/pam.d configures it.
    explicit pam_app(const std::string &service);
    ~pam_app();

    // user may be null: libpam then prompts for it.
    int start(const char *user);
    int set_item(int item, const void *value);
    int authenticate(int flags = 0);
    int setcred(int flags);
    int open_session(int flags = 0);
    int close_session(int flags = 0);
    int acct_mgmt(int flags = 0);
    int chauthtok(int flags = 0);
    pam_handle_t *handle() const { return handle_; }

    // Replies are used in order; once exhausted, prompts get `fallback`.
    std::deque<conv_reply> replies;
    conv_reply fallback;
    std::vector<conv_message> messages;  // every message the modules sent
    int conv_calls = 0;

private:
    static int converse(int n, const pam_message **msg, pam_response **resp, void *data);
    std::string service_;
    std::string confdir_;
    pam_handle_t *handle_ = nullptr;
    pam_conv conv_{};
    int last_ = PAM_SUCCESS;
};

// Name of a PAM result, for readable failures.
std::string pam_result_name(int code);

#define EXPECT_PAM(actual, expected) EXPECT_EQ(pam_result_name(actual), pam_result_name(expected))

#endif
