// What pam_brud costs a login: a full pam_start/pam_authenticate/pam_end
// through a stack with pam_brud (against the stand-in daemon), the same stack
// without it, and the one crypt() call the module cannot avoid. Runs in a
// private mount namespace, so the module's fixed paths need no root.
// BM_interleaved runs the three one after the other in every iteration, so
// that load from other processes, which comes and goes, falls on all alike.
#include "median.h"
#include "sandbox.h"

#include <benchmark/benchmark.h>

#include <crypt.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <security/pam_appl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace {

const char CONFDIR[] = "/tmp/brud-bench-pam.d";
const char TOKEN[] = "bench token 1";
const char RHOST[] = "198.51.100.23";

int answer(int n, const struct pam_message **msg, struct pam_response **resp, void *)
{
    auto *out = static_cast<pam_response *>(calloc(size_t(n), sizeof(pam_response)));
    for (int i = 0; i < n; i++)
        if (msg[i]->msg_style == PAM_PROMPT_ECHO_OFF || msg[i]->msg_style == PAM_PROMPT_ECHO_ON)
            out[i].resp = strdup(msg[i]->msg_style == PAM_PROMPT_ECHO_OFF ? TOKEN : "alice");
    *resp = out;
    return PAM_SUCCESS;
}

// One whole transaction; false unless it authenticated.
bool login(const char *service)
{
    struct pam_conv conv = {answer, nullptr};
    pam_handle_t *pamh = nullptr;
    if (pam_start_confdir(service, "alice", &conv, CONFDIR, &pamh) != PAM_SUCCESS)
        return false;
    pam_set_item(pamh, PAM_RHOST, RHOST);
    pam_set_item(pamh, PAM_TTY, "ssh");
    int rc = pam_authenticate(pamh, 0);
    pam_end(pamh, rc);
    return rc == PAM_SUCCESS;
}

void one_login(benchmark::State &state, const char *service)
{
    for (auto _ : state)
        if (!login(service)) {
            state.SkipWithError("authentication did not succeed");
            return;
        }
}

void BM_stack_with_brud(benchmark::State &state) { one_login(state, "with-brud"); }
void BM_stack_without_brud(benchmark::State &state) { one_login(state, "without-brud"); }

// A salt of the module's kind: "$6$", hours since 2000, user part and host
// part, cut at 15 characters.
std::string module_like_salt()
{
    long long now = time(nullptr);
    return ("$6$" + std::to_string((now - now % 3600 - 946684800) / 3600) + "alice" + RHOST).substr(0, 15);
}

void BM_bare_crypt(benchmark::State &state)
{
    std::string salt = module_like_salt();
    for (auto _ : state)
        benchmark::DoNotOptimize(crypt(TOKEN, salt.c_str()));
}

void BM_interleaved(benchmark::State &state)
{
    using clock = std::chrono::steady_clock;
    auto micros = [](clock::time_point a, clock::time_point b) {
        return std::chrono::duration<double, std::micro>(b - a).count();
    };
    std::string salt = module_like_salt();
    std::vector<double> with, without, bare;
    for (auto _ : state) {
        auto t0 = clock::now();
        bool ok = login("with-brud");
        auto t1 = clock::now();
        ok = login("without-brud") && ok;
        auto t2 = clock::now();
        benchmark::DoNotOptimize(crypt(TOKEN, salt.c_str()));
        auto t3 = clock::now();
        if (!ok) {
            state.SkipWithError("authentication did not succeed");
            return;
        }
        with.push_back(micros(t0, t1));
        without.push_back(micros(t1, t2));
        bare.push_back(micros(t2, t3));
    }
    double m_with = median(with), m_without = median(without), m_bare = median(bare);
    state.counters["with_us"] = m_with;
    state.counters["without_us"] = m_without;
    state.counters["crypt_us"] = m_bare;
    state.counters["overhead"] = (m_with - m_without) / m_bare;
}

// Where the difference goes: the daemon exchange alone (connect, login,
// report, verdict) and loading the module alone.
void BM_exchange_only(benchmark::State &state)
{
    void *module = dlopen(PAM_BRUD_SO, RTLD_NOW);
    auto connect = reinterpret_cast<int (*)()>(dlsym(module, "connect_brud"));
    auto tell = reinterpret_cast<int (*)(int, int, const char *, const char *, const char *, int64_t,
                                         const char *, const char *, const char *)>(dlsym(module, "tell_brud"));
    auto disconnect = reinterpret_cast<void (*)(int)>(dlsym(module, "disconnect_brud"));
    for (auto _ : state) {
        int fd = connect();
        if (fd < 0 || tell(fd, 0, "alice", RHOST, nullptr, 1700000000, "sshd", "ssh",
                           "$6$229000alice198$0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ./0123456789abcdefghij") != 1) {
            state.SkipWithError("exchange failed");
            break;
        }
        disconnect(fd);
    }
    dlclose(module);
}

void BM_load_only(benchmark::State &state)
{
    for (auto _ : state) {
        void *module = dlopen(PAM_BRUD_SO, RTLD_NOW | RTLD_LOCAL);
        benchmark::DoNotOptimize(module);
        dlclose(module);
    }
}

BENCHMARK(BM_interleaved)->Repetitions(5)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_exchange_only)->Repetitions(9)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_load_only)->Repetitions(9)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_stack_with_brud)->Repetitions(9)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_stack_without_brud)->Repetitions(9)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_bare_crypt)->Repetitions(9)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Prints the usual table, then the module's overhead from the medians.
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (auto &run : runs)
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians_[run.run_name.function_name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        auto with = medians_["BM_stack_with_brud"], without = medians_["BM_stack_without_brud"],
             bare = medians_["BM_bare_crypt"];
        if (with.real > 0 && without.real > 0 && bare.real > 0)
            printf("\nmedians (us), real / cpu: with pam_brud %.1f / %.1f, without %.1f / %.1f, "
                   "bare crypt %.1f / %.1f\n"
                   "(with - without) / crypt: real %.3f, cpu %.3f\n",
                   with.real, with.cpu, without.real, without.cpu, bare.real, bare.cpu,
                   (with.real - without.real) / bare.real, (with.cpu - without.cpu) / bare.cpu);
    }

private:
    struct median {
        double real = 0, cpu = 0;
    };
    std::map<std::string, median> medians_;
};

pid_t start_daemon()
{
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(ready[1], 3);
        execl(BRUD_DAEMON_PATH, BRUD_DAEMON_PATH, "--ready-fd", "3", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    char byte;
    struct pollfd p = {ready[0], POLLIN, 0};
    bool up = poll(&p, 1, 10000) == 1 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    return up ? pid : -1;
}

void set_up_files()
{
    write_file("/var/vesnar/brudd/enabled", "");
    write_file("/var/vesnar/quorixd/keys/pam", "bench-key\n", 0600);
    make_dirs("/var/run");
    std::string brud = std::string("auth requisite ") + PAM_BRUD_SO + "\n";
    std::string rest = "auth required pam_permit.so\n";
    write_file(std::string(CONFDIR) + "/with-brud", brud + rest);
    write_file(std::string(CONFDIR) + "/without-brud", rest);
    write_file(std::string(CONFDIR) + "/other", "auth required pam_deny.so\n");
}

}  // namespace

int main(int argc, char **argv)
{
    enter_sandbox();
    set_up_files();
    pid_t daemon = start_daemon();
    if (daemon < 0) {
        fprintf(stderr, "brud_bench: the stand-in daemon did not start\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);
    return 0;
}
