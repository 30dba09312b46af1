// pam_tamlo in front of Debian's common-auth inside the real sshd, under
// both of sshd's password methods.
#include "sandbox.h"
#include "service_host.h"

#include <gtest/gtest.h>

#include <syslog.h>

namespace {

const std::string OWN_PASSWORD = "alice's own 9";
const std::string SESSION_PASSWORD = "tamlo_web1_t0ken-42";

TEST(TamloSshd, SessionUserAndAccountOwnerUnderBothPasswordMethods)
{
    if (!service_sandbox_ready())
        GTEST_SKIP() << "needs the host's root";
    add_account("alice", OWN_PASSWORD);
    write_file("/var/vesnar/tamlo/keys/alice:tamlo_web1", "t0ken-42", 0600);
    pam_service("sshd", {std::string("auth [success=done default=ignore] ") + PAM_TAMLO_SO, "@include common-auth"});
    sshd_service sshd({"KbdInteractiveAuthentication yes"});

    // Password authentication answers every prompt with the one password,
    // so pam_tamlo and pam_unix both see it. Keyboard-interactive puts each
    // prompt to the user: an account owner is asked a second time, which
    // sshpass reports with its status 5.
    struct row {
        const char *method;
        std::string password;
        int status;
        const char *tamlo_message;  // null: none
    } rows[] = {
        {"password", SESSION_PASSWORD, 0, nullptr},
        {"password", "tamlo_web1_wrong", 255, "failed tamlo auth for user: alice with tamlouser: web1"},
        {"password", OWN_PASSWORD, 0, "Expected tamlo_ in password missing."},
        {"keyboard-interactive", SESSION_PASSWORD, 0, nullptr},
        {"keyboard-interactive", OWN_PASSWORD, 5, "Expected tamlo_ in password missing."},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.method) + " " + r.password);
        forget_log();
        ssh_login login("alice", r.password, {"echo", "in-session"});
        login.options = {std::string("PreferredAuthentications=") + r.method};
        client_result s = run_ssh(login);
        EXPECT_EQ(s.status, r.status) << s.output;
        EXPECT_EQ(s.output.find("in-session") != std::string::npos, r.status == 0) << s.output;
        std::vector<std::string> expected;
        if (r.tamlo_message) {
            EXPECT_TRUE(await_log("PAM-tamlo", r.tamlo_message, 2));
            expected.push_back(r.tamlo_message);
        }
        EXPECT_EQ(service_log("PAM-tamlo"), expected);
        for (auto &line : service_log()) {
            if (line.ident == "PAM-tamlo") {
                EXPECT_EQ(line.priority, LOG_AUTH | LOG_ERR);
            }
        }
    }
}

}  // namespace
