// pam_suqvo's banner through the real sshd: shown on an interactive login
// inside a container, and nowhere else.
#include "expected_banner.h"
#include "sandbox.h"
#include "service_host.h"

#include <gtest/gtest.h>

namespace {

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

TEST(SuqvoSshd, BannerOnlyOnInteractiveLoginsInsideAContainer)
{
    if (!service_sandbox_ready())
        GTEST_SKIP() << "needs the host's root";
    add_account("alice", "alice's own 9");
    std::string banner;
    for (const std::string &line : expected_banner)
        banner += line + "\n";

    // sshd shows what sessions modules say only where it would show the
    // message of the day: with a terminal, no command and no ~/.hushlogin.
    struct row {
        const char *answer;  // of the libqvo stand-in
        bool interactive;
        bool hushlogin;
        bool banner;
    } rows[] = {
        {"inside", true, false, true},
        {"outside", true, false, false},
        {"inside", false, false, false},
        {"inside", true, true, false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.answer) + (r.interactive ? " interactive" : " command") +
                     (r.hushlogin ? " hushlogin" : ""));
        if (r.hushlogin)
            write_file(home_of("alice") + "/.hushlogin", "");
        pam_service("sshd", {"@include common-auth"}, {std::string("session optional ") + PAM_SUQVO_SO});
        sshd_service sshd({}, {std::string("QVO_STANDIN_ANSWER=") + r.answer});
        ssh_login login("alice", "alice's own 9");
        if (r.interactive) {
            login.terminal = true;
            login.input = SHELL_INPUT;
        } else {
            login.command = {"echo shell-$((6*7))"};
        }
        ssh_result s = run_ssh(login);
        std::string out = session_output(s.output);
        EXPECT_EQ(s.status, 0) << out;
        EXPECT_NE(out.find("shell-42\n"), std::string::npos) << out;
        EXPECT_EQ(out.find(banner) != std::string::npos, r.banner) << out;
        EXPECT_EQ(out.find("INSIDE QVO") != std::string::npos, r.banner) << out;
        remove_tree(home_of("alice") + "/.hushlogin");
    }
}

}  // namespace
