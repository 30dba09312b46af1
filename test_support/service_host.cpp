#include "service_host.h"

#include "descriptor.h"
#include "sandbox.h"
#include "syslog_capture.h"

#include <crypt.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace {

const std::string ROOT = HOST_ROOT;
const std::string HOST_LIBS = ROOT + "/usr/lib/" MULTIARCH ":" + ROOT + "/lib/" MULTIARCH;
constexpr char HOST_KEY[] = "/etc/ssh/ssh_host_ed25519_key";
constexpr char CONFIG[] = "/etc/ssh/sshd_config";
constexpr char CLIENT_HOME[] = "/tmp/ssh-client";

[[noreturn]] void fatal(const std::string &what)
{
    fprintf(stderr, "service_host: %s: %s\n", what.c_str(), strerror(errno));
    abort();
}

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

void append_file(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0 || write(fd, text.data(), text.size()) != ssize_t(text.size()))
        fatal(path);
    close(fd);
}

std::vector<char *> c_strings(std::vector<std::string> &strings)
{
    std::vector<char *> out;
    for (auto &s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Runs a helper to completion; its output goes to the test's standard error.
void run_quiet(std::vector<std::string> args)
{
    pid_t pid = fork();
    if (pid == 0) {
        auto argv = c_strings(args);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fatal(args[0] + " failed");
}


// ---- Processes ------------------------------------------------------------------

// The daemons running now: a leftover of one is never taken for another's.
std::vector<pid_t> running;

// The children of `pid`'s threads (of the test process's, for 0).
std::vector<pid_t> children_of(pid_t pid)
{
    std::string tasks = pid ? "/proc/" + std::to_string(pid) + "/task" : "/proc/self/task";
    std::vector<pid_t> pids;
    if (DIR *d = opendir(tasks.c_str())) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            std::string children = read_file(tasks + "/" + e->d_name + "/children");
            for (char *s = children.data(), *end; *s; s = end) {
                long child = strtol(s, &end, 10);
                if (end == s)
                    break;
                pids.push_back(pid_t(child));
            }
        }
        closedir(d);
    }
    return pids;
}

// Stops the test process's children that run a program of the unpacked
// packages and are no running host_daemon: what a stopped host left behind.
void stop_leftovers()
{
    for (pid_t pid : children_of(0)) {
        char exe[4096];
        ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
        if (n <= 0 || std::string(exe, size_t(n)).rfind(ROOT + "/", 0) != 0 ||
            std::find(running.begin(), running.end(), pid) != running.end())
            continue;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

int next_uid = 2001;

}  // namespace

bool service_sandbox_ready()
{
    if (!host_root()) {
        fprintf(stderr, "services tests run PAM hosts, which need the host's root\n");
        return false;
    }
    static bool ready = false;
    if (ready)
        return true;
    enter_service_sandbox();
    start_log_capture();
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    write_file("/etc/ld.so.conf.d/zz-qvo-standin.conf", std::string(QVO_STANDIN_DIR) + "\n");
    run_quiet({"/sbin/ldconfig", "-X"});  // the cache only, no links
    if (access(host_file("/usr/sbin/sshd").c_str(), X_OK) != 0)
        fatal(ROOT + " (unpacked by the host_packages test)");
    ready = true;
    return true;
}

// The lines that reached the sandbox's /dev/log, which the test process
// listens on from its start.
std::vector<log_line> service_log()
{
    std::vector<log_line> out;
    for (auto &e : log_events()) {
        log_line line{e.ident, e.text, e.facility | e.priority, e.at};
        while (!line.text.empty() && line.text.back() == '\n')
            line.text.pop_back();
        out.push_back(line);
    }
    return out;
}

void forget_log() { clear_log(); }

std::vector<std::string> service_log(const std::string &ident)
{
    std::vector<std::string> out;
    for (auto &line : service_log())
        if (line.ident == ident)
            out.push_back(line.text);
    return out;
}

bool await_log(const std::string &ident, const std::string &text, double seconds, double since)
{
    double until = now() + seconds;
    do {
        for (auto &line : service_log())
            if (line.at >= since && line.ident == ident && line.text.find(text) != std::string::npos)
                return true;
        usleep(10000);
    } while (now() < until);
    return false;
}

void add_account(const std::string &user, const std::string &password)
{
    int uid = next_uid++;
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    struct crypt_data data;
    memset(&data, 0, sizeof data);
    if (!crypt_gensalt_rn("$6$", 0, nullptr, 0, salt, sizeof salt))
        fatal("crypt_gensalt_rn");
    const char *hash = crypt_rn(password.c_str(), salt, &data, sizeof data);
    if (!hash || hash[0] == '*')
        fatal("crypt_rn");
    std::string id = std::to_string(uid);
    append_file("/etc/passwd", user + ":x:" + id + ":" + id + "::" + home_of(user) + ":/bin/sh\n");
    append_file("/etc/group", user + ":x:" + id + ":\n");
    append_file("/etc/shadow", user + ":" + hash + ":19000:0:99999:7:::\n");
    // The home, and what its FTP listing and IMAP folder list show once in.
    write_file(home_of(user) + "/in-session", "");
    for (const char *dir : {"", "/Maildir", "/Maildir/.in-session"}) {
        make_dirs(home_of(user) + dir);
        if (chown((home_of(user) + dir).c_str(), uid_t(uid), gid_t(uid)) != 0)
            fatal(home_of(user) + dir);
    }
}

std::string home_of(const std::string &user) { return "/tmp/home/" + user; }

void pam_service(const std::string &service, const std::vector<std::string> &auth,
                 const std::vector<std::string> &session)
{
    std::string text;
    for (auto &line : auth)
        text += line + "\n";
    text += "@include common-account\n";
    for (auto &line : session)
        text += line + "\n";
    write_file("/etc/pam.d/" + service, text + "@include common-session\n");
}

std::string host_file(const std::string &path) { return ROOT + path; }

host_daemon::host_daemon(const std::string &program, const std::vector<std::string> &args,
                         const std::vector<std::string> &env)
    : program_(host_file(program)), stderr_path_("/tmp/" + program.substr(program.rfind('/') + 1) + ".stderr")
{
    std::vector<std::string> argv = {program_};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                            "LD_LIBRARY_PATH=" + HOST_LIBS + ":" + QVO_STANDIN_DIR};
    environment.insert(environment.end(), env.begin(), env.end());
    int err = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (err < 0)
        fatal(stderr_path_);
    started_ = now();
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(err, 1);
        dup2(err, 2);
        close_range(3, ~0U, 0);  // as from init: only what the host opens itself
        auto c_argv = c_strings(argv);
        auto envp = c_strings(environment);
        execve(c_argv[0], c_argv.data(), envp.data());
        _exit(127);
    }
    close(err);
    if (pid_ < 0)
        fatal("fork");
    running.push_back(pid_);
}

host_daemon::~host_daemon()
{
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    std::erase(running, pid_);
    stop_leftovers();
}

std::string host_daemon::output() const { return read_file(stderr_path_); }

void host_daemon::failed(const std::string &what)
{
    fprintf(stderr, "%s did not start (%s):\n%s\n", program_.c_str(), what.c_str(), output().c_str());
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    abort();
}

void host_daemon::ready_at_log(const std::string &ident, const std::string &text, double seconds)
{
    if (!await_log(ident, text, seconds, started_))
        failed("no \"" + text + "\" in the log");
}

void host_daemon::ready_at_port(int port, double seconds)
{
    double until = now() + seconds;
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(uint16_t(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool up = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
        close(fd);
        if (up)
            return;
        if (now() > until || waitpid(pid_, nullptr, WNOHANG) == pid_)
            failed("nothing listens on port " + std::to_string(port));
        usleep(20000);
    }
}

namespace {

// An account a daemon switches to.
void add_system_account(const std::string &name)
{
    if (("\n" + read_file("/etc/passwd")).find("\n" + name + ":") != std::string::npos)
        return;
    std::string id = std::to_string(next_uid++);
    append_file("/etc/passwd", name + ":x:" + id + ":" + id + "::/nonexistent:/usr/sbin/nologin\n");
    append_file("/etc/group", name + ":x:" + id + ":\n");
}

// sshd's host key, privilege separation and configuration; /etc/pam.d/sshd
// is the test's.
std::vector<std::string> sshd_arguments(const std::vector<std::string> &config)
{
    if (!path_exists(HOST_KEY)) {
        make_dirs("/etc/ssh");
        run_quiet({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", HOST_KEY});
    }
    // Privilege separation: an empty root-owned directory and an account.
    make_dirs("/run/sshd");
    add_system_account("sshd");
    std::string text;
    for (auto &line : config)
        text += line + "\n";
    text += "ListenAddress 127.0.0.1:22\n"
            "ListenAddress [::1]:22\n"
            "HostKey " + std::string(HOST_KEY) + "\n"
            "UsePAM yes\n"
            "PasswordAuthentication yes\n"
            "KbdInteractiveAuthentication no\n"
            "PubkeyAuthentication no\n"
            "PermitRootLogin no\n"
            "PrintMotd no\n"
            "PrintLastLog no\n"
            "UseDNS no\n";
    write_file(CONFIG, text);
    return {"-D", "-f", CONFIG};
}

}  // namespace

sshd_service::sshd_service(const std::vector<std::string> &config, const std::vector<std::string> &env)
    : daemon_("/usr/sbin/sshd", sshd_arguments(config), env)
{
    daemon_.ready_at_log("sshd", "Server listening on 127.0.0.1 port 22");
    daemon_.ready_at_log("sshd", "Server listening on ::1 port 22", 5);
}

namespace {

constexpr char PROFTPD_CONFIG[] = "/etc/proftpd.conf";
constexpr char DOVECOT_CONFIG[] = "/etc/dovecot/dovecot.conf";
constexpr char DOVECOT_AUTH_CLIENT[] = "/run/dovecot/auth-client";

std::vector<std::string> proftpd_arguments(const std::vector<std::string> &config)
{
    std::string text;
    for (auto &line : config)
        text += line + "\n";
    // PAM alone decides (the star makes it authoritative, so mod_auth_unix
    // never checks the shadow behind it). mod_delay's table lives where the
    // maintainer scripts, which never run here, would have made room.
    text += "ServerType standalone\n"
            "DefaultServer on\n"
            "DefaultAddress 127.0.0.1\n"
            "Port 2121\n"
            "UseIPv6 off\n"
            "User nobody\n"
            "Group nogroup\n"
            "ScoreboardFile /run/proftpd.scoreboard\n"
            "PidFile /run/proftpd.pid\n"
            "WtmpLog off\n"
            "DelayEngine off\n"
            "UseReverseDNS off\n"
            "RequireValidShell off\n"
            "AuthOrder mod_auth_pam.c* mod_auth_unix.c\n"
            "AuthPAM on\n"
            "AuthPAMConfig proftpd\n"
            "DefaultRoot ~\n";
    write_file(PROFTPD_CONFIG, text);
    return {"-n", "-c", PROFTPD_CONFIG};
}

// Dovecot runs doveconf and its services by the paths it was built with
// (/usr/bin/doveconf, /usr/lib/dovecot/...): the unpacked /usr goes over
// the host's, in the sandbox's mount namespace only.
std::vector<std::string> dovecot_arguments()
{
    static bool overlaid = false;
    if (!overlaid) {
        std::string layers = "lowerdir=" + ROOT + "/usr:/usr";
        if (mount("host-packages", "/usr", "overlay", MS_RDONLY, layers.c_str()) != 0)
            fatal("overlay on /usr");
        overlaid = true;
    }
    add_system_account("dovecot");
    add_system_account("dovenull");
    make_dirs("/etc/dovecot");
    write_file(DOVECOT_CONFIG, "protocols = imap\n"
                               "listen = 127.0.0.1\n"
                               "base_dir = /run/dovecot\n"
                               "ssl = no\n"
                               "disable_plaintext_auth = no\n"
                               "auth_mechanisms = plain\n"
                               "mail_location = maildir:~/Maildir\n"
                               "log_path = /dev/stderr\n"
                               "passdb {\n"
                               "  driver = pam\n"
                               "  args = setcred=yes session=yes max_requests=100000 dovecot\n"
                               "}\n"
                               "userdb {\n"
                               "  driver = passwd\n"
                               "}\n"
                               "service imap-login {\n"
                               "  inet_listener imap {\n"
                               "    address = 127.0.0.1\n"
                               "    port = 1143\n"
                               "  }\n"
                               "  inet_listener imaps {\n"
                               "    port = 0\n"
                               "  }\n"
                               "}\n"
                               "service auth-worker {\n"
                               "  process_limit = 1\n"
                               "}\n");
    return {"-F", "-c", DOVECOT_CONFIG};
}

std::string base64(const std::string &in)
{
    constexpr char DIGITS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        unsigned v = unsigned(uint8_t(in[i])) << 16;
        if (i + 1 < in.size())
            v |= unsigned(uint8_t(in[i + 1])) << 8;
        if (i + 2 < in.size())
            v |= unsigned(uint8_t(in[i + 2]));
        for (size_t k = 0; k < 4; k++)
            out += i + k <= in.size() ? DIGITS[(v >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

client_result curl_login(const std::string &url, const std::string &user, const std::string &password,
                         double deadline)
{
    return run_client({"/usr/bin/curl", "-sS", "--user", user + ":" + password, url}, {"PATH=/usr/bin:/bin"}, "",
                      deadline);
}

}  // namespace

proftpd_service::proftpd_service(const std::vector<std::string> &config)
    : daemon_("/usr/sbin/proftpd", proftpd_arguments(config))
{
    daemon_.ready_at_port(2121);
}

dovecot_service::dovecot_service() : daemon_("/usr/sbin/dovecot", dovecot_arguments())
{
    daemon_.ready_at_port(1143);
}

pid_t dovecot_service::auth_worker() const
{
    for (pid_t pid : children_of(daemon_.pid())) {
        std::string command = read_file("/proc/" + std::to_string(pid) + "/cmdline");
        std::replace(command.begin(), command.end(), '\0', ' ');
        if (command.rfind("dovecot/auth -w", 0) == 0)
            return pid;
    }
    return -1;
}

int dovecot_service::authenticate(const std::string &user, const std::string &password, int n) const
{
    unique_fd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, DOVECOT_AUTH_CLIENT);
    if (sock.get() < 0 || connect(sock.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        fatal(DOVECOT_AUTH_CLIENT);
    std::string received;
    auto send_text = [&](const std::string &text) {
        if (write(sock.get(), text.data(), text.size()) != ssize_t(text.size()))
            fatal("auth-client write");
    };
    auto next_line = [&]() {
        size_t end;
        while ((end = received.find('\n')) == std::string::npos) {
            struct pollfd p = {sock.get(), POLLIN, 0};
            char buf[4096];
            ssize_t got = poll(&p, 1, 30000) == 1 ? read(sock.get(), buf, sizeof buf) : 0;
            if (got <= 0)
                fatal("no reply on the auth-client socket; Dovecot said:\n" + daemon_.output());
            received.append(buf, size_t(got));
        }
        std::string line = received.substr(0, end);
        received.erase(0, end + 1);
        return line;
    };
    send_text("VERSION\t1\t2\nCPID\t" + std::to_string(getpid()) + "\n");
    while (next_line() != "DONE") {
    }
    std::string plain = std::string(1, '\0') + user + '\0' + password;
    int succeeded = 0;
    for (int id = 1; id <= n; id++) {
        send_text("AUTH\t" + std::to_string(id) + "\tPLAIN\tservice=imap\tsecured\trip=127.0.0.1\tlip=127.0.0.1\tresp=" +
                  base64(plain) + "\n");
        succeeded += next_line().rfind("OK\t" + std::to_string(id) + "\t", 0) == 0;
        if (id % 20 == 0)
            forget_log();
    }
    return succeeded;
}

client_result ftp_login(const std::string &user, const std::string &password, double deadline)
{
    return curl_login("ftp://127.0.0.1:2121/", user, password, deadline);
}

client_result imap_login(const std::string &user, const std::string &password, double deadline)
{
    return curl_login("imap://127.0.0.1:1143/", user, password, deadline);
}

client_result run_ssh(const ssh_login &login)
{
    make_dirs(CLIENT_HOME);
    std::vector<std::string> args = {"/usr/bin/sshpass", "-e", "/usr/bin/ssh", "-F", "/dev/null"};
    // The first value given for an option wins, so the test's come first.
    for (auto &o : login.options)
        args.insert(args.end(), {"-o", o});
    for (const char *o : {"StrictHostKeyChecking=no", "UserKnownHostsFile=/dev/null",
                          "GlobalKnownHostsFile=/dev/null", "LogLevel=ERROR", "PubkeyAuthentication=no",
                          "PreferredAuthentications=password", "NumberOfPasswordPrompts=1",
                          "ConnectTimeout=10"})
        args.insert(args.end(), {"-o", o});
    args.push_back(login.terminal ? "-tt" : "-T");
    args.push_back(login.user + "@" + login.host);
    if (!login.command.empty())
        args.push_back("--");
    args.insert(args.end(), login.command.begin(), login.command.end());
    return run_client(args, {"PATH=/usr/bin:/bin", "HOME=" + std::string(CLIENT_HOME), "SSHPASS=" + login.password},
                      login.input, login.deadline);
}

namespace {

// Reads `fd` until its end or the deadline (then kills `pid`); each prompt
// of `turns`, once the output shows it after the previous one, has its
// answer written to `answer_fd`. Reaps `pid`.
client_result collect(pid_t pid, int fd, double start, double deadline, const dialogue &turns = {},
                      int answer_fd = -1)
{
    client_result result;
    size_t turn = 0, seen = 0;  // the next prompt; where to look for it
    char buf[4096];
    for (;;) {
        size_t at;
        if (turn < turns.size() && (at = result.output.find(turns[turn].first, seen)) != std::string::npos) {
            std::string line = turns[turn].second + "\n";
            if (write(answer_fd, line.data(), line.size()) != ssize_t(line.size()))
                fatal("answer");
            seen = at + turns[turn++].first.size();
            continue;
        }
        int left_ms = int((start + deadline - now()) * 1000);
        struct pollfd p = {fd, POLLIN, 0};
        if (left_ms <= 0 || poll(&p, 1, left_ms) == 0) {
            kill(pid, SIGKILL);
            result.output += "\n(killed at the deadline)";
            break;
        }
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)  // a terminal's end reads as EIO
            break;
        result.output.append(buf, size_t(n));
    }
    close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    result.ended = now();
    result.seconds = result.ended - start;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace

client_result run_client(const std::vector<std::string> &args, const std::vector<std::string> &env,
                         const std::string &input, double deadline)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        fatal("pipe2");
    std::vector<std::string> argv_strings = args, envp_strings = env;
    auto argv = c_strings(argv_strings);
    auto envp = c_strings(envp_strings);
    double start = now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        close_range(3, ~0U, 0);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (!input.empty() && write(in[1], input.data(), input.size()) < 0)
        fatal("client input");
    close(in[1]);
    return collect(pid, out[0], start, deadline);
}

client_result run_on_pty(const std::string &user, const std::vector<std::string> &args, const dialogue &turns,
                         const std::vector<std::string> &env, double deadline)
{
    passwd *pw = getpwnam(user.c_str());
    if (!pw)
        fatal("no account " + user);
    uid_t uid = pw->pw_uid;
    gid_t gid = pw->pw_gid;
    std::vector<std::string> argv_strings = args;
    std::vector<std::string> envp_strings = {"PATH=/usr/bin:/bin:/usr/sbin:/sbin", "TERM=dumb",
                                             "HOME=" + std::string(pw->pw_dir), "USER=" + user,
                                             "LOGNAME=" + user};
    envp_strings.insert(envp_strings.end(), env.begin(), env.end());
    auto argv = c_strings(argv_strings);
    auto envp = c_strings(envp_strings);
    int master = -1;
    double start = now();
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0 || chdir("/") != 0)
            _exit(126);
        close_range(3, ~0U, 0);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (pid < 0)
        fatal("forkpty");
    fcntl(master, F_SETFD, FD_CLOEXEC);
    return collect(pid, master, start, deadline, turns, master);
}

namespace {

constexpr char APACHE_CONFIG[] = "/etc/apache2/apache2.conf";
constexpr char APACHE_ERROR_LOG[] = "/var/log/apache2/error.log";

std::vector<std::string> apache_arguments(const std::string &service)
{
    // pam_unix reads shadow itself in a process that may, and otherwise
    // asks unix_chkpwd, which checks only the caller's own password.
    std::string group = read_file("/etc/group");
    size_t at = ("\n" + group).find("\nshadow:");
    if (at == std::string::npos)
        fatal("no group shadow");
    size_t end = group.find('\n', at);
    if (group.substr(at, end - at).find("www-data") == std::string::npos) {
        group.insert(end, group[end - 1] == ':' ? "www-data" : ",www-data");
        write_file("/etc/group", group);
    }
    make_dirs("/var/www/private");
    make_dirs("/run/apache2");
    make_dirs("/var/log/apache2");
    write_file(APACHE_ERROR_LOG, "");
    write_file("/var/www/private/ok", "in-session\n");
    write_file("/var/www/private/session",
               "#!/bin/sh\necho Content-Type: text/plain\necho\necho in-session\nls -l /proc/self/fd\n", 0755);
    std::string modules = host_file("/usr/lib/apache2/modules/");
    std::string text;
    for (const char *m : {"mpm_event", "authn_core", "authz_core", "authz_user", "auth_basic", "authnz_pam", "cgi"})
        text += std::string("LoadModule ") + m + "_module " + modules + "mod_" + m + ".so\n";
    // One child with every thread it will have from its start, so that the
    // same process serves every request.
    text += "ServerRoot /etc/apache2\n"
            "ServerName localhost\n"
            "Listen 127.0.0.1:80\n"
            "User www-data\n"
            "Group www-data\n"
            "PidFile /run/apache2/apache2.pid\n"
            "DefaultRuntimeDir /run/apache2\n"
            "ErrorLog " + std::string(APACHE_ERROR_LOG) + "\n"
            "LogLevel notice\n"
            "StartServers 1\n"
            "ServerLimit 1\n"
            "ThreadsPerChild 25\n"
            "MinSpareThreads 1\n"
            "MaxSpareThreads 25\n"
            "MaxRequestWorkers 25\n"
            "MaxConnectionsPerChild 0\n"
            "DocumentRoot /var/www\n"
            "<Location /private>\n"
            "  AuthType Basic\n"
            "  AuthName private\n"
            "  AuthBasicProvider PAM\n"
            "  AuthPAMService " + service + "\n"
            "  Require valid-user\n"
            "</Location>\n"
            "<Location /private/session>\n"
            "  SetHandler cgi-script\n"
            "  Options +ExecCGI\n"
            "</Location>\n";
    write_file(APACHE_CONFIG, text);
    return {"-DFOREGROUND", "-f", APACHE_CONFIG};
}

}  // namespace

apache_service::apache_service(const std::string &service) : daemon_("/usr/sbin/apache2", apache_arguments(service))
{
    // The parent listens before it starts its child.
    daemon_.ready_at_port(80);
    for (int i = 0; i < 500 && child() <= 0; i++)
        usleep(10000);
    if (child() <= 0)
        fatal("apache2 started no child");
}

pid_t apache_service::child() const
{
    std::vector<pid_t> children = children_of(daemon_.pid());
    return children.empty() ? -1 : children.front();
}

std::string apache_service::error_log() const { return read_file(APACHE_ERROR_LOG); }
