#include "sshd_service.h"

#include "sandbox.h"
#include "syslog_capture.h"

#include <crypt.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

const std::string SSHD_BIN = std::string(SSHD_ROOT) + "/usr/sbin/sshd";
const std::string SSHD_LIBS = std::string(SSHD_ROOT) + "/usr/lib/" MULTIARCH;
constexpr char HOST_KEY[] = "/etc/ssh/ssh_host_ed25519_key";
constexpr char CONFIG[] = "/etc/ssh/sshd_config";
constexpr char SSHD_STDERR[] = "/tmp/sshd.stderr";
constexpr char CLIENT_HOME[] = "/tmp/ssh-client";

[[noreturn]] void fatal(const std::string &what)
{
    fprintf(stderr, "sshd_service: %s: %s\n", what.c_str(), strerror(errno));
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

// Processes that sshd leaves behind (a connection's monitor outlives the
// listener) are re-parented to the test process, which stops them.
void stop_leftover_sshd()
{
    std::vector<pid_t> pids;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            std::string children = read_file(std::string("/proc/self/task/") + e->d_name + "/children");
            for (char *s = children.data(), *end; *s; s = end) {
                long pid = strtol(s, &end, 10);
                if (end == s)
                    break;
                pids.push_back(pid_t(pid));
            }
        }
        closedir(d);
    }
    for (pid_t pid : pids) {
        char exe[4096];
        ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
        if (n <= 0 || std::string(exe, size_t(n)) != SSHD_BIN)
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
        fprintf(stderr, "services tests run sshd, which needs the host's root\n");
        return false;
    }
    static bool ready = false;
    if (ready)
        return true;
    enter_service_sandbox();
    start_log_capture();
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (access(SSHD_BIN.c_str(), X_OK) != 0)
        fatal(SSHD_BIN + " (fetched by the sshd_package test)");
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
    make_dirs(home_of(user));
    if (chown(home_of(user).c_str(), uid_t(uid), gid_t(uid)) != 0)
        fatal(home_of(user));
}

std::string home_of(const std::string &user) { return "/tmp/home/" + user; }

std::string pam_service(const std::vector<std::string> &auth, const std::vector<std::string> &session)
{
    std::string text;
    for (auto &line : auth)
        text += line + "\n";
    text += "@include common-account\n";
    for (auto &line : session)
        text += line + "\n";
    return text + "@include common-session\n";
}

sshd_service::sshd_service(const std::string &pam_file, const std::vector<std::string> &config,
                           const std::vector<std::string> &env)
{
    if (!path_exists(HOST_KEY)) {
        make_dirs("/etc/ssh");
        run_quiet({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", HOST_KEY});
    }
    // Privilege separation: an empty root-owned directory and an account.
    make_dirs("/run/sshd");
    if (("\n" + read_file("/etc/passwd")).find("\nsshd:") == std::string::npos)
        append_file("/etc/passwd", "sshd:x:" + std::to_string(next_uid++) + ":65534::/run/sshd:/usr/sbin/nologin\n");
    write_file("/etc/pam.d/sshd", pam_file);
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

    std::vector<std::string> args = {SSHD_BIN, "-D", "-f", CONFIG};
    std::vector<std::string> environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                            "LD_LIBRARY_PATH=" + SSHD_LIBS + ":" + QVO_STANDIN_DIR};
    environment.insert(environment.end(), env.begin(), env.end());
    int err = open(SSHD_STDERR, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (err < 0)
        fatal(SSHD_STDERR);
    double started = now();
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(err, 1);
        dup2(err, 2);
        auto argv = c_strings(args);
        auto envp = c_strings(environment);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(err);
    if (pid_ < 0)
        fatal("fork");
    if (!await_log("sshd", "Server listening on 127.0.0.1 port 22", 15, started) ||
        !await_log("sshd", "Server listening on ::1 port 22", 5, started)) {
        fprintf(stderr, "sshd did not start:\n%s\n", read_file(SSHD_STDERR).c_str());
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        abort();
    }
}

sshd_service::~sshd_service()
{
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    stop_leftover_sshd();
}

ssh_result run_ssh(const ssh_login &login)
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
    std::vector<std::string> environment = {"PATH=/usr/bin:/bin", "HOME=" + std::string(CLIENT_HOME),
                                            "SSHPASS=" + login.password};

    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        fatal("pipe2");
    double start = now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        auto argv = c_strings(args);
        auto envp = c_strings(environment);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (!login.input.empty() && write(in[1], login.input.data(), login.input.size()) < 0)
        fatal("ssh input");
    close(in[1]);

    ssh_result result;
    char buf[4096];
    for (;;) {
        int left_ms = int((start + login.deadline - now()) * 1000);
        struct pollfd p = {out[0], POLLIN, 0};
        if (left_ms <= 0 || poll(&p, 1, left_ms) == 0) {
            kill(pid, SIGKILL);
            result.output += "\n(killed at the deadline)";
            break;
        }
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        result.output.append(buf, size_t(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.ended = now();
    result.seconds = result.ended - start;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}
