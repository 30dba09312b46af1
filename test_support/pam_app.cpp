#include "pam_app.h"
#include "sandbox.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>

static std::atomic<int> app_counter{0};  // threads of one test may each start a handle

pam_app::pam_app(const std::string &service, const std::vector<std::string> &lines)
    : service_(service), confdir_("/tmp/pam-confdir-" + std::to_string(++app_counter))
{
    std::string text;
    for (auto &l : lines)
        text += l + "\n";
    write_file(confdir_ + "/" + service_, text);
    conv_.conv = &pam_app::converse;
    conv_.appdata_ptr = this;
}

pam_app::pam_app(const std::string &service) : service_(service)
{
    conv_.conv = &pam_app::converse;
    conv_.appdata_ptr = this;
}

pam_app::~pam_app()
{
    if (handle_)
        pam_end(handle_, last_);
    if (!confdir_.empty())
        remove_tree(confdir_);
}

int pam_app::start(const char *user)
{
    if (confdir_.empty())
        return pam_start(service_.c_str(), user, &conv_, &handle_);
    return pam_start_confdir(service_.c_str(), user, &conv_, confdir_.c_str(), &handle_);
}

int pam_app::set_item(int item, const void *value) { return pam_set_item(handle_, item, value); }
int pam_app::authenticate(int flags) { return last_ = pam_authenticate(handle_, flags); }
int pam_app::setcred(int flags) { return last_ = pam_setcred(handle_, flags); }
int pam_app::open_session(int flags) { return last_ = pam_open_session(handle_, flags); }
int pam_app::close_session(int flags) { return last_ = pam_close_session(handle_, flags); }
int pam_app::acct_mgmt(int flags) { return last_ = pam_acct_mgmt(handle_, flags); }
int pam_app::chauthtok(int flags) { return last_ = pam_chauthtok(handle_, flags); }

int pam_app::converse(int n, const pam_message **msg, pam_response **resp, void *data)
{
    auto *self = static_cast<pam_app *>(data);
    self->conv_calls++;
    bool wants_answer = false;
    for (int i = 0; i < n; i++) {
        self->messages.push_back({msg[i]->msg_style, msg[i]->msg ? msg[i]->msg : ""});
        if (msg[i]->msg_style == PAM_PROMPT_ECHO_OFF || msg[i]->msg_style == PAM_PROMPT_ECHO_ON)
            wants_answer = true;
    }
    conv_reply reply = self->fallback;
    if (!self->replies.empty()) {
        reply = self->replies.front();
        self->replies.pop_front();
    }
    if (reply.result != PAM_SUCCESS || !wants_answer || !reply.with_response) {
        if (resp)
            *resp = nullptr;
        return reply.result;
    }
    auto *out = static_cast<pam_response *>(calloc(n, sizeof(pam_response)));
    for (int i = 0; i < n; i++)
        out[i].resp = reply.null_text ? nullptr : strdup(reply.text.c_str());
    *resp = out;
    return PAM_SUCCESS;
}

std::string pam_result_name(int code)
{
    switch (code) {
    case PAM_SUCCESS: return "PAM_SUCCESS";
    case PAM_OPEN_ERR: return "PAM_OPEN_ERR";
    case PAM_SYMBOL_ERR: return "PAM_SYMBOL_ERR";
    case PAM_SERVICE_ERR: return "PAM_SERVICE_ERR";
    case PAM_SYSTEM_ERR: return "PAM_SYSTEM_ERR";
    case PAM_BUF_ERR: return "PAM_BUF_ERR";
    case PAM_PERM_DENIED: return "PAM_PERM_DENIED";
    case PAM_AUTH_ERR: return "PAM_AUTH_ERR";
    case PAM_USER_UNKNOWN: return "PAM_USER_UNKNOWN";
    case PAM_CONV_ERR: return "PAM_CONV_ERR";
    case PAM_IGNORE: return "PAM_IGNORE";
    case PAM_ABORT: return "PAM_ABORT";
    case PAM_MODULE_UNKNOWN: return "PAM_MODULE_UNKNOWN";
    default: return "PAM_" + std::to_string(code);
    }
}
