// pam_tamlo in front of Debian's common-auth inside the real hosts where
// session users log in: sshd under both of its password methods, ProFTPD
// and Dovecot IMAP.
#include "sandbox.h"
#include "service_host.h"

#include <gtest/gtest.h>

#include <syslog.h>

namespace {

const std::string OWN_PASSWORD = "alice's own 9";
const std::string SESSION_PASSWORD = "tamlo_web1_t0ken-42";

client_result ssh_by(const char *method, const std::string &password)
{
    ssh_login login("alice", password, {"echo", "in-session"});
    login.options = {std::string("PreferredAuthentications=") + method};
    return run_ssh(login);
}

TEST(TamloHosts, SessionUserAndAccountOwner)
{
    if (!service_sandbox_ready())
        GTEST_SKIP() << "needs the host's root";
    add_account("alice", OWN_PASSWORD);
    write_file("/var/vesnar/tamlo/keys/alice:tamlo_web1", "t0ken-42", 0600);
    for (const char *service : {"sshd", "proftpd", "dovecot"})
        pam_service(service, {std::string("auth [success=done default=ignore] ") + PAM_TAMLO_SO, "@include common-auth"});
    sshd_service sshd({"KbdInteractiveAuthentication yes"});
    proftpd_service ftpd;
    dovecot_service dovecot;

    // Password authentication, FTP and IMAP answer every prompt with the
    // one password, so pam_tamlo and pam_unix both see it.
    // Keyboard-interactive puts each prompt to the user: an account owner
    // is asked a second time, which sshpass reports with its status 5.
    // curl's status 67: the server refused the login.
    struct row {
        const char *client;
        client_result (*login)(const std::string &password);
        std::string password;
        int status;
        const char *tamlo_message;  // null: none
    };
    auto ssh_password = [](const std::string &pw) { return ssh_by("password", pw); };
    auto ssh_keyboard = [](const std::string &pw) { return ssh_by("keyboard-interactive", pw); };
    auto ftp = [](const std::string &pw) { return ftp_login("alice", pw); };
    auto imap = [](const std::string &pw) { return imap_login("alice", pw); };
    const char *wrong = "failed tamlo auth for user: alice with tamlouser: web1";
    const char *owner = "Expected tamlo_ in password missing.";
    const row rows[] = {
        {"ssh password", ssh_password, SESSION_PASSWORD, 0, nullptr},
        {"ssh password", ssh_password, "tamlo_web1_wrong", 255, wrong},
        {"ssh password", ssh_password, OWN_PASSWORD, 0, owner},
        {"ssh keyboard-interactive", ssh_keyboard, SESSION_PASSWORD, 0, nullptr},
        {"ssh keyboard-interactive", ssh_keyboard, OWN_PASSWORD, 5, owner},
        {"ftp", ftp, SESSION_PASSWORD, 0, nullptr},
        {"ftp", ftp, "tamlo_web1_wrong", 67, wrong},
        {"ftp", ftp, OWN_PASSWORD, 0, owner},
        {"imap", imap, SESSION_PASSWORD, 0, nullptr},
        {"imap", imap, "tamlo_web1_wrong", 67, wrong},
        {"imap", imap, OWN_PASSWORD, 0, owner},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.client) + " " + r.password);
        forget_log();
        client_result s = r.login(r.password);
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
