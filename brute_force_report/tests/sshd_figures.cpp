// sshd_figures: what pam_brud does to logins of Debian's real sshd, the
// figures that the README and pam_brud(8) give administrators, measured
// afresh. Not a test: run by hand as root, it takes some minutes.
//
//   build/brute_force_report/tests/sshd_figures [users, 1 to 8; default 4]
#include "brud_harness.h"
#include "service_host.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

namespace {

const std::string PASSWORD = "Right pw 7";
const std::vector<std::string> AUTH = {std::string("auth requisite ") + PAM_BRUD_SO, "@include common-auth"};
// sshd pads every authentication attempt by a delay that it derives from
// the user name, its host keys and its configuration, so the figures are
// taken over several users.
const char *const USERS[] = {"alice", "bob", "carol", "dave", "erin", "frank", "grace", "heidi"};

client_result login(const std::string &user, double deadline = 90)
{
    ssh_login l(user, PASSWORD, {"true"});
    l.deadline = deadline;
    return run_ssh(l);
}

// Seconds from the start of a login until sshd logged the accepted
// password (the end of the time LoginGraceTime limits), or -1.
double accepted_after(const std::string &user, const client_result &s)
{
    double started = s.ended - s.seconds;
    for (auto &line : service_log())
        if (line.ident == "sshd" && line.text.rfind("Accepted password for " + user + " ", 0) == 0)
            return line.at - started;
    return -1;
}

void connections_per_login()
{
    pam_service("sshd", AUTH);
    sshd_service sshd;
    brud_daemon daemon;
    client_result s = login("alice");
    int connections = 0;
    printf("one login (status %d, %.2f s):", s.status, s.seconds);
    for (auto &line : daemon.lines()) {
        connections += line.rfind("AUTH pam ", 0) == 0;
        if (line.rfind("ACTION ", 0) == 0)
            printf(" %s", member(line, "action").c_str());
    }
    printf("\n  %d daemon connections\n", connections);
}

void daemon_gone()
{
    pam_service("sshd", AUTH);
    sshd_service sshd;
    forget_log();
    client_result s = login("alice");
    printf("daemon gone: status %d, login %.2f s\n", s.status, s.seconds);
    for (auto &text : service_log("PAM-brud"))
        printf("    PAM-brud: %s\n", text.c_str());
}

void silent_daemon(const char *stage, int users)
{
    printf("daemon silent at its %s:\n", stage);
    pam_service("sshd", AUTH);
    sshd_service sshd;
    for (int i = 0; i < users; i++) {
        brud_daemon daemon({"--silent", stage});
        forget_log();
        client_result s = login(USERS[i]);
        printf("  %-6s status %d, login %.2f s, authenticated after %.2f s\n", USERS[i], s.status, s.seconds,
               accepted_after(USERS[i], s));
        double started = s.ended - s.seconds;
        if (i == 0)
            for (auto &line : service_log())
                if (line.ident == "PAM-brud")
                    printf("    %6.2f s  PAM-brud: %s\n", line.at - started, line.text.c_str());
    }
}

// The daemon silent at its login reply: which logins a grace time lets
// through. Only the authentication counts, so ssh is stopped soon after
// it (the two credential calls that follow would add 20 s). A new sshd
// for each user stops the session that the last one left waiting on the
// daemon; the same keys and configuration keep sshd's delays.
void grace_time(int grace, int users)
{
    int in = 0;
    printf("LoginGraceTime %d, daemon silent at its login reply:\n", grace);
    for (int i = 0; i < users; i++) {
        pam_service("sshd", AUTH);
        sshd_service sshd({"LoginGraceTime " + std::to_string(grace)});
        brud_daemon daemon({"--silent", "login"});
        forget_log();
        client_result s = login(USERS[i], std::max(grace, 21) + 1);
        double accepted = accepted_after(USERS[i], s);
        in += accepted >= 0;
        printf("  %-6s %s after %.2f s\n", USERS[i], accepted >= 0 ? "authenticated" : "ended",
               accepted >= 0 ? accepted : s.seconds);
    }
    printf("  %d of %d logins authenticated\n", in, users);
}

}  // namespace

int main(int argc, char **argv)
{
    int users = argc > 1 ? std::clamp(atoi(argv[1]), 1, 8) : 4;
    if (!service_sandbox_ready())
        return 2;
    for (const char *user : USERS)
        add_account(user, PASSWORD);
    enable_brud();
    setvbuf(stdout, nullptr, _IOLBF, 0);
    connections_per_login();
    daemon_gone();
    for (const char *stage : {"welcome", "login", "verdict"})
        silent_daemon(stage, users);
    for (int grace : {10, 11, 15, 20})
        grace_time(grace, 2 * users);
    return 0;
}
