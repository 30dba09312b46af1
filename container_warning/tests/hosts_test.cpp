// pam_suqvo's banner through the real hosts: shown on a session that opens
// inside a container, and nowhere else.
#include "expected_banner.h"
#include "sandbox.h"
#include "service_host.h"

#include <gtest/gtest.h>

namespace {

const std::string PASSWORD = "alice's own 9";
constexpr char SHELL_INPUT[] = "echo shell-$((6*7)); exit\n";

// The terminal's echo of the input may land between the banner's lines,
// which the session writes one by one.
std::string session_output(std::string text)
{
    std::erase(text, '\r');
    for (size_t at; (at = text.find(SHELL_INPUT)) != std::string::npos;)
        text.erase(at, sizeof SHELL_INPUT - 1);
    return text;
}

TEST(SuqvoHosts, BannerOnlyOnSessionsInsideAContainer)
{
    if (!service_sandbox_ready())
        GTEST_SKIP() << "needs the host's root";
    add_account("alice", PASSWORD);
    add_account("caller", "caller's own 3");
    std::string banner;
    for (const std::string &line : expected_banner)
        banner += line + "\n";

    // sshd shows what session modules say only where it would show the
    // message of the day: with a terminal, no command and no ~/.hushlogin.
    // su, run by another user on a terminal, shows it with a command too;
    // login, on a terminal, before the shell starts.
    struct row {
        const char *host;
        const char *answer;  // of the libqvo stand-in
        bool interactive;
        bool hushlogin;
        bool banner;
    } rows[] = {
        {"sshd", "inside", true, false, true},
        {"sshd", "outside", true, false, false},
        {"sshd", "inside", false, false, false},
        {"sshd", "inside", true, true, false},
        {"su", "inside", false, false, true},
        {"su", "outside", false, false, false},
        {"login", "inside", true, false, true},
        {"login", "outside", true, false, false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.host) + " " + r.answer + (r.interactive ? " interactive" : " command") +
                     (r.hushlogin ? " hushlogin" : ""));
        if (r.hushlogin)
            write_file(home_of("alice") + "/.hushlogin", "");
        const std::string answer = std::string("QVO_STANDIN_ANSWER=") + r.answer;
        pam_service(r.host, {"@include common-auth"}, {std::string("session optional ") + PAM_SUQVO_SO});
        client_result s;
        if (std::string(r.host) == "su") {
            s = run_on_pty("caller", {"/bin/su", "alice", "-c", "echo shell-$((6*7))"}, {{"Password:", PASSWORD}},
                           {answer});
        } else if (std::string(r.host) == "login") {
            // -p keeps the stand-in's answer, which login would clear from
            // its environment as it starts.
            const std::string typed(SHELL_INPUT, sizeof SHELL_INPUT - 2);  // the line feed is the answer's
            s = run_on_pty("root", {"/bin/login", "-p"}, {{"login:", "alice"}, {"Password:", PASSWORD}, {"$ ", typed}},
                           {answer});
        } else {
            sshd_service sshd({}, {answer});
            ssh_login login("alice", PASSWORD);
            if (r.interactive) {
                login.terminal = true;
                login.input = SHELL_INPUT;
            } else {
                login.command = {"echo shell-$((6*7))"};
            }
            s = run_ssh(login);
        }
        std::string out = session_output(s.output);
        EXPECT_EQ(s.status, 0) << out;
        EXPECT_NE(out.find("shell-42\n"), std::string::npos) << out;
        EXPECT_EQ(out.find(banner) != std::string::npos, r.banner) << out;
        EXPECT_EQ(out.find("INSIDE QVO") != std::string::npos, r.banner) << out;
        remove_tree(home_of("alice") + "/.hushlogin");
    }
}

}  // namespace
