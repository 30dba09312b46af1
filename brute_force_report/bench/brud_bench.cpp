// What pam_brud costs a login beyond the one SHA-512 crypt it cannot avoid,
// against the stand-in daemon, in a private mount namespace (so the
// module's fixed paths need no root). Every figure that a goal is judged by
// is a ratio of medians taken in one iteration loop, so that load from other
// processes, which comes and goes, falls on all parts alike:
//
//   BM_interleaved    whole logins with pam_brud (with and without its
//                     crypt), without it (pam_permit alone), with an empty
//                     module that loads the crypt library as a real stack's
//                     pam_unix does, one bare crypt, the physical floor of
//                     what the module adds, and the module's load and
//                     exchange stages: where a login's time goes
//   BM_exchange_only  the daemon exchange beside the same messages between
//                     two processes on a socketpair
//   BM_load_only      dlopen/dlclose of pam_brud beside an empty module with
//                     the same dependencies, and the crypt library alone
//   BM_parallel       8 clients at once against crypt's limit
//
// BRUD_BENCH_BASELINE=/path/to/another/pam_brud.so adds that module to the
// first three, and its ratios to this one.
#include "median.h"
#include "sandbox.h"

#include <benchmark/benchmark.h>

#include <crypt.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <sched.h>
#include <security/pam_appl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const char CONFDIR[] = "/tmp/brud-bench-pam.d";
const char TOKEN[] = "bench token 1";
// A line feed makes a token unusable: the module does all but the crypt.
const char UNHASHED_TOKEN[] = "bench token\n1";
const char RHOST[] = "198.51.100.23";
const char HASH[] =
    "$6$229000alice198$0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ./0123456789abcdefghij";
constexpr int PARALLEL_CLIENTS = 8;
constexpr int PARALLEL_LOGINS_EACH = 25;

using clock_type = std::chrono::steady_clock;

double micros_since(clock_type::time_point start)
{
    return std::chrono::duration<double, std::micro>(clock_type::now() - start).count();
}

const char *baseline_module() { return getenv("BRUD_BENCH_BASELINE"); }

// The crypt library that a module linked with -lcrypt loads, by the path the
// loader found it at (its soname: libcrypt.so.1 on Debian and EL8,
// libcrypt.so.2 on EL9).
const char *libcrypt()
{
    static const std::string path = [] {
        std::string found = "libcrypt, not loaded with " BRUD_FLOOR_MODULE_SO;
        void *floor = dlopen(BRUD_FLOOR_MODULE_SO, RTLD_NOW | RTLD_LOCAL);
        link_map *map = nullptr;
        if (floor && dlinfo(floor, RTLD_DI_LINKMAP, &map) == 0) {
            while (map->l_prev)
                map = map->l_prev;
            for (; map; map = map->l_next)
                if (strstr(map->l_name, "/libcrypt.so."))
                    found = map->l_name;
        }
        if (floor)
            dlclose(floor);
        return found;
    }();
    return path.c_str();
}

// Answers the password prompt with the token in token.
int answer(int n, const struct pam_message **msg, struct pam_response **resp, void *token)
{
    auto *out = static_cast<pam_response *>(calloc(size_t(n), sizeof(pam_response)));
    for (int i = 0; i < n; i++)
        if (msg[i]->msg_style == PAM_PROMPT_ECHO_OFF || msg[i]->msg_style == PAM_PROMPT_ECHO_ON)
            out[i].resp = strdup(msg[i]->msg_style == PAM_PROMPT_ECHO_OFF ? static_cast<const char *>(token) : "alice");
    *resp = out;
    return PAM_SUCCESS;
}

pam_handle_t *open_handle(const char *service, const char *token = TOKEN)
{
    struct pam_conv conv = {answer, const_cast<char *>(token)};
    pam_handle_t *pamh = nullptr;
    if (pam_start_confdir(service, "alice", &conv, CONFDIR, &pamh) != PAM_SUCCESS)
        return nullptr;
    pam_set_item(pamh, PAM_RHOST, RHOST);
    pam_set_item(pamh, PAM_TTY, "ssh");
    return pamh;
}

// One whole transaction; false unless it authenticated.
bool login(const char *service, const char *token)
{
    pam_handle_t *pamh = open_handle(service, token);
    if (!pamh)
        return false;
    int rc = pam_authenticate(pamh, 0);
    pam_end(pamh, rc);
    return rc == PAM_SUCCESS;
}

// The time of one whole login, or a negative time when it failed.
double timed_login(const char *service, const char *token = TOKEN)
{
    auto start = clock_type::now();
    bool ok = login(service, token);
    double us = micros_since(start);
    return ok ? us : -1;
}

// A salt of the module's kind: "$6$", hours since 2000, user part and host
// part, cut at 15 characters.
std::string module_like_salt()
{
    long long now = time(nullptr);
    return ("$6$" + std::to_string((now - now % 3600 - 946684800) / 3600) + "alice" + RHOST).substr(0, 15);
}

// The crypt library is loaded only while a bare crypt runs: logins load and
// unload it with their modules as a host that does not link it does.
class crypt_library {
public:
    crypt_library() : handle_(dlopen(libcrypt(), RTLD_NOW | RTLD_LOCAL))
    {
        if (handle_)
            crypt_rn_ = reinterpret_cast<decltype(crypt_rn_)>(dlsym(handle_, "crypt_rn"));
    }
    ~crypt_library()
    {
        if (handle_)
            dlclose(handle_);
    }
    bool usable() const { return crypt_rn_ != nullptr; }
    // One crypt into caller-owned storage; false when crypt refused.
    bool hash(const std::string &salt, struct crypt_data *data) const
    {
        const char *out = crypt_rn_(TOKEN, salt.c_str(), data, sizeof *data);
        return out && out[0] != '*';
    }

private:
    void *handle_;
    char *(*crypt_rn_)(const char *, const char *, void *, int) = nullptr;
};

double timed_bare_crypt(const std::string &salt)
{
    crypt_library lib;
    auto data = std::make_unique<struct crypt_data>();
    if (!lib.usable())
        return -1;
    auto start = clock_type::now();
    bool ok = lib.hash(salt, data.get());
    double us = micros_since(start);
    return ok ? us : -1;
}

double timed_load(const char *path)
{
    auto start = clock_type::now();
    void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle)
        dlclose(handle);
    double us = micros_since(start);
    return handle ? us : -1;
}

// ---- The module's exchange, and its floor ----------------------------------

// The daemon client of one pam_brud build, called directly.
class brud_client {
public:
    explicit brud_client(const char *path) : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL))
    {
        if (!handle_)
            return;
        key_ = reinterpret_cast<decltype(key_)>(dlsym(handle_, "get_brud_key"));
        connect_ = reinterpret_cast<decltype(connect_)>(dlsym(handle_, "connect_brud"));
        tell_ = reinterpret_cast<decltype(tell_)>(dlsym(handle_, "tell_brud"));
        disconnect_ = reinterpret_cast<decltype(disconnect_)>(dlsym(handle_, "disconnect_brud"));
    }
    ~brud_client()
    {
        if (handle_)
            dlclose(handle_);
    }
    bool usable() const { return key_ && connect_ && tell_ && disconnect_; }

    // The parts of one exchange, in microseconds.
    struct parts {
        double connect = -1;  // key file, connection, welcome, login
        double report = -1;   // report and verdict
        double close = -1;
        double total() const { return connect + report + close; }
    };

    // Connect, welcome, login, report, verdict, close; the parts are left
    // negative when the daemon did not allow.
    parts timed_exchange() const
    {
        parts p;
        auto start = clock_type::now();
        int fd = connect_();
        double connected = micros_since(start);
        if (fd < 0)
            return p;
        start = clock_type::now();
        int told = tell_(fd, 0, "alice", RHOST, nullptr, 1700000000, "sshd", "ssh", HASH);
        double reported = micros_since(start);
        start = clock_type::now();
        disconnect_(fd);
        if (told == 1)
            p = {connected, reported, micros_since(start)};
        return p;
    }

    double timed_key_read() const
    {
        char key[256];
        auto start = clock_type::now();
        int ok = key_(key);
        double us = micros_since(start);
        explicit_bzero(key, sizeof key);
        return ok ? us : -1;
    }

private:
    void *handle_;
    int (*key_)(char *) = nullptr;
    int (*connect_)() = nullptr;
    int (*tell_)(int, int, const char *, const char *, const char *, int64_t, const char *,
                 const char *, const char *) = nullptr;
    void (*disconnect_)(int) = nullptr;
};

bool write_all(int fd, const std::string &text)
{
    return write(fd, text.data(), text.size()) == ssize_t(text.size());
}

// Reads until the line feed that ends a message; false on end of stream.
bool read_message(int fd)
{
    char buf[2048];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        if (buf[n - 1] == '\n')
            return true;
    }
}

// The same messages as the exchange between two processes on a socketpair,
// with blocking reads and writes: no connection to make, no key to read, no
// deadline to keep. One byte stands in for the connection, which wakes the
// daemon as a connect does.
class exchange_floor {
public:
    exchange_floor()
    {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            return;
        peer_ = fork();
        if (peer_ == 0) {
            close(pair[0]);
            serve(pair[1]);
            _exit(0);
        }
        close(pair[1]);
        fd_ = pair[0];
        report_ = "ACTION {\"action\":\"PAM_AUTHENTICATE\", \"auth_database\":\"system\", "
                  "\"username\":\"alice\", \"remote_host\":\"" + std::string(RHOST) +
                  "\", \"status\":1, \"login_time\":1700000000, \"quit_after\":1, "
                  "\"local_port\":0, \"remote_user\":null, \"auth_service\":\"sshd\", "
                  "\"tty\":\"ssh\", \"authtoken_hash\":\"" + HASH + "\"}\n";
    }
    ~exchange_floor()
    {
        if (fd_ >= 0)
            close(fd_);
        if (peer_ > 0)
            waitpid(peer_, nullptr, 0);
    }

    double timed_exchange() const
    {
        char welcome[64];
        auto start = clock_type::now();
        bool ok = write_all(fd_, "C") && read(fd_, welcome, sizeof welcome) > 0 &&
                  write_all(fd_, "AUTH pam bench-key\n") && read_message(fd_) &&
                  write_all(fd_, report_) && read_message(fd_);
        double us = micros_since(start);
        return ok ? us : -1;
    }

private:
    static void serve(int fd)
    {
        char byte;
        while (read(fd, &byte, 1) == 1)
            if (!write_all(fd, "220 quorixd ready\n") || !read_message(fd) ||
                !write_all(fd, "200 logged in\n") || !read_message(fd) || !write_all(fd, "200 ok\n"))
                return;
    }

    int fd_ = -1;
    pid_t peer_ = -1;
    std::string report_;
};

// ---- Samples and counters ----------------------------------------------------

// Named per-iteration samples; medians become counters.
class samples {
public:
    // False (and the benchmark skipped) when the sample is a failure.
    bool add(benchmark::State &state, const char *name, double us)
    {
        if (us < 0) {
            state.SkipWithError((std::string(name) + " failed").c_str());
            return false;
        }
        taken_[name].push_back(us);
        return true;
    }
    double median_of(const char *name)
    {
        auto &v = taken_[name];
        return v.empty() ? 0 : median(v);
    }

private:
    std::map<std::string, std::vector<double>> taken_;
};

double ratio(double a, double b) { return b > 0 ? a / b : 0; }

// ---- The daemon ------------------------------------------------------------

// The stand-in daemon for one benchmark. A serial benchmark runs with the
// daemon, the floor's peer and itself on the one CPU it is on: on this kind
// of virtual machine, waking a process on an idle CPU costs more than the
// exchange's own work and happens at random, which would leave the ratios
// to chance. Parallel clients get every CPU and a worker each.
class daemon_run {
public:
    daemon_run(bool one_cpu, int workers)
    {
        if (one_cpu && sched_getaffinity(0, sizeof saved_, &saved_) == 0) {
            cpu_set_t here;
            CPU_ZERO(&here);
            CPU_SET(sched_getcpu(), &here);
            pinned_ = sched_setaffinity(0, sizeof here, &here) == 0;
        }
        pid_ = start(workers);
    }
    ~daemon_run()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (pinned_)
            sched_setaffinity(0, sizeof saved_, &saved_);
    }
    daemon_run(const daemon_run &) = delete;
    daemon_run &operator=(const daemon_run &) = delete;

    // False (and the benchmark skipped) when the daemon did not start.
    bool up(benchmark::State &state) const
    {
        if (pid_ < 0)
            state.SkipWithError("the stand-in daemon did not start");
        return pid_ > 0;
    }

private:
    static pid_t start(int workers)
    {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0)
            return -1;
        std::string count = std::to_string(workers);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(ready[1], 3);
            execl(BRUD_DAEMON_PATH, BRUD_DAEMON_PATH, "--ready-fd", "3", "--workers", count.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        close(ready[1]);
        char byte;
        struct pollfd p = {ready[0], POLLIN, 0};
        bool up = pid > 0 && poll(&p, 1, 10000) == 1 && read(ready[0], &byte, 1) == 1;
        close(ready[0]);
        if (!up && pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        return up ? pid : -1;
    }

    cpu_set_t saved_;
    bool pinned_ = false;
    pid_t pid_ = -1;
};

// ---- Benchmarks ----------------------------------------------------------

// The module loaded on its own (load and unload timed together, as libpam
// does them in one transaction) and one exchange in between: the parts of
// what a login with it costs. Loaded afresh each time, so that the logins
// timed beside it load it themselves.
bool add_module_parts(benchmark::State &state, samples &s)
{
    auto start = clock_type::now();
    auto module = std::make_unique<brud_client>(PAM_BRUD_SO);
    double load = micros_since(start);
    if (!module->usable()) {
        state.SkipWithError("the module's client could not be loaded");
        return false;
    }
    auto parts = module->timed_exchange();
    start = clock_type::now();
    module.reset();
    load += micros_since(start);
    return s.add(state, "load", load) && s.add(state, "connect", parts.connect) &&
           s.add(state, "report", parts.report) && s.add(state, "close", parts.close);
}

// Whole logins, the bare crypt and the floors, one after the other in every
// iteration. "beyond" is what the module adds to a login beyond its crypt,
// measured whole: a login whose token holds a line feed, which the module
// reports without hashing, against the stack without the module. Taking
// one crypt off a full login instead would leave the crypt's own scatter
// (tens of per cent on this machine) in the difference.
void BM_interleaved(benchmark::State &state)
{
    daemon_run daemon(true, 1);
    if (!daemon.up(state))
        return;
    const char *baseline = baseline_module();
    std::string salt = module_like_salt();
    exchange_floor floor;
    samples s;
    for (auto _ : state) {
        if (!s.add(state, "with", timed_login("with-brud")) ||
            !s.add(state, "unhashed", timed_login("with-brud", UNHASHED_TOKEN)) ||
            (baseline && !s.add(state, "base_unhashed", timed_login("with-baseline", UNHASHED_TOKEN))) ||
            !s.add(state, "without", timed_login("without-brud")) ||
            !s.add(state, "libcrypt", timed_login("with-libcrypt")) ||
            !s.add(state, "crypt", timed_bare_crypt(salt)) ||
            !s.add(state, "floor_exchange", floor.timed_exchange()) ||
            !s.add(state, "floor_load", timed_load(BRUD_FLOOR_MODULE_SO)) || !add_module_parts(state, s))
            return;
    }
    double without = s.median_of("without"), unhashed = s.median_of("unhashed");
    double beyond = unhashed - without, beyond_lc = unhashed - s.median_of("libcrypt");
    double floor_exchange = s.median_of("floor_exchange");
    double floor_us = floor_exchange + s.median_of("floor_load");
    state.counters["with_us"] = s.median_of("with");
    state.counters["hash_us"] = s.median_of("with") - unhashed;
    state.counters["crypt_us"] = s.median_of("crypt");
    state.counters["without_us"] = without;
    state.counters["libcrypt_us"] = s.median_of("libcrypt");
    state.counters["beyond_us"] = beyond;
    state.counters["floor_us"] = floor_us;
    state.counters["beyond_per_permit"] = ratio(beyond, without);  // goal: <= 0.5
    state.counters["beyond_per_floor"] = ratio(beyond, floor_us);  // goal: <= 1.5
    // Against a stack that loads libcrypt anyway, whose floor is the exchange's.
    state.counters["lc_beyond_us"] = beyond_lc;
    state.counters["lc_beyond_per_permit"] = ratio(beyond_lc, without);
    state.counters["lc_beyond_per_floor"] = ratio(beyond_lc, floor_exchange);
    // Where "beyond" goes: loading, the exchange's stages, and the rest
    // (libpam running one more module, the items, the prompt, the report).
    double parts = 0;
    for (const char *part : {"load", "connect", "report", "close"}) {
        state.counters[std::string(part) + "_us"] = s.median_of(part);
        parts += s.median_of(part);
    }
    state.counters["rest_us"] = beyond - parts;
    if (baseline) {
        double before = s.median_of("base_unhashed") - without;
        state.counters["base_beyond_us"] = before;
        state.counters["beyond_per_base"] = ratio(beyond, before);
    }
}

// The exchange alone: the time shown is this module's; its parts, the
// floor and any baseline are counters.
void BM_exchange_only(benchmark::State &state)
{
    daemon_run daemon(true, 1);
    if (!daemon.up(state))
        return;
    brud_client module(PAM_BRUD_SO);
    std::unique_ptr<brud_client> before;
    if (const char *path = baseline_module())
        before = std::make_unique<brud_client>(path);
    exchange_floor floor;
    if (!module.usable() || (before && !before->usable())) {
        state.SkipWithError("a module's client could not be loaded");
        return;
    }
    samples s;
    for (auto _ : state) {
        auto parts = module.timed_exchange();
        if (!s.add(state, "exchange", parts.total()) || !s.add(state, "connect", parts.connect) ||
            !s.add(state, "report", parts.report) || !s.add(state, "close", parts.close) ||
            !s.add(state, "key", module.timed_key_read()) ||
            (before && !s.add(state, "baseline", before->timed_exchange().total())) ||
            !s.add(state, "floor", floor.timed_exchange()))
            return;
        state.SetIterationTime(parts.total() / 1e6);
    }
    double exchange = s.median_of("exchange"), floor_us = s.median_of("floor");
    state.counters["exchange_us"] = exchange;
    state.counters["key_us"] = s.median_of("key");
    state.counters["connect_us"] = s.median_of("connect");
    state.counters["report_us"] = s.median_of("report");
    state.counters["close_us"] = s.median_of("close");
    state.counters["floor_us"] = floor_us;
    state.counters["per_floor"] = ratio(exchange, floor_us);
    if (before) {
        state.counters["base_us"] = s.median_of("baseline");
        state.counters["per_base"] = ratio(exchange, s.median_of("baseline"));
    }
}

// Loading alone: pam_brud, an empty module with its dependencies (libpam,
// libcrypt, libc), and the crypt library by itself, which a stack with
// pam_unix loads anyway.
void BM_load_only(benchmark::State &state)
{
    const char *baseline = baseline_module();
    samples s;
    for (auto _ : state) {
        double us = timed_load(PAM_BRUD_SO);
        if (!s.add(state, "load", us) || (baseline && !s.add(state, "baseline", timed_load(baseline))) ||
            !s.add(state, "floor", timed_load(BRUD_FLOOR_MODULE_SO)) ||
            !s.add(state, "libcrypt", timed_load(libcrypt())))
            return;
        state.SetIterationTime(us / 1e6);
    }
    double load = s.median_of("load"), floor_us = s.median_of("floor");
    state.counters["load_us"] = load;
    state.counters["floor_us"] = floor_us;
    state.counters["libcrypt_us"] = s.median_of("libcrypt");
    state.counters["per_floor"] = ratio(load, floor_us);
    if (baseline) {
        state.counters["base_us"] = s.median_of("baseline");
        state.counters["per_base"] = ratio(load, s.median_of("baseline"));
    }
}

// Runs work(i) for i = 0 .. PARALLEL_CLIENTS-1 on as many threads at once;
// the rate of all their rounds per second, or negative when a round failed.
template <typename Work> double parallel_rate(Work work)
{
    std::atomic<bool> failed{false};
    std::vector<std::thread> clients;
    auto start = clock_type::now();
    for (int i = 0; i < PARALLEL_CLIENTS; i++)
        clients.emplace_back([&, i] {
            if (!work(i))
                failed = true;
        });
    for (auto &client : clients)
        client.join();
    double seconds = micros_since(start) / 1e6;
    return failed ? -1 : PARALLEL_CLIENTS * PARALLEL_LOGINS_EACH / seconds;
}

// Logins at once from 8 clients, each pam_authenticate on a handle of its
// own opened beforehand (the module stays loaded, as in a host that serves
// many logins), beside 8 clients doing only the crypt and the limit that
// crypt sets: the CPUs this process may use ÷ the time of one crypt.
void BM_parallel(benchmark::State &state)
{
    daemon_run daemon(false, PARALLEL_CLIENTS);
    if (!daemon.up(state))
        return;
    std::string salt = module_like_salt();
    crypt_library lib;
    pam_handle_t *handles[PARALLEL_CLIENTS] = {};
    for (auto &pamh : handles)
        if (!(pamh = open_handle("with-brud"))) {
            state.SkipWithError("pam_start failed");
            return;
        }
    auto logins = [&](int client) {
        bool ok = true;
        for (int i = 0; ok && i < PARALLEL_LOGINS_EACH; i++)
            ok = pam_authenticate(handles[client], 0) == PAM_SUCCESS;
        return ok;
    };
    auto crypts = [&](int) {
        auto data = std::make_unique<struct crypt_data>();
        bool ok = true;
        for (int i = 0; ok && i < PARALLEL_LOGINS_EACH; i++)
            ok = lib.hash(salt, data.get());
        return ok;
    };
    auto one_crypt = [&] {
        auto data = std::make_unique<struct crypt_data>();
        auto start = clock_type::now();
        bool ok = lib.hash(salt, data.get());
        double us = micros_since(start);
        return ok ? us : -1;
    };
    samples s;
    for (auto _ : state) {
        if (!s.add(state, "logins", parallel_rate(logins)) || !s.add(state, "crypts", parallel_rate(crypts)) ||
            !s.add(state, "crypt", one_crypt()))
            break;
    }
    for (auto pamh : handles)
        pam_end(pamh, PAM_SUCCESS);
    cpu_set_t allowed;
    double cores = sched_getaffinity(0, sizeof allowed, &allowed) == 0 ? CPU_COUNT(&allowed) : 1;
    double limit = cores * 1e6 / s.median_of("crypt");
    state.counters["logins_per_s"] = s.median_of("logins");
    state.counters["crypts_per_s"] = s.median_of("crypts");
    state.counters["limit_per_s"] = limit;
    state.counters["per_limit"] = ratio(s.median_of("logins"), limit);  // goal: >= 0.95
    state.counters["per_crypts"] = ratio(s.median_of("logins"), s.median_of("crypts"));
}

BENCHMARK(BM_interleaved)->Repetitions(5)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_exchange_only)->Repetitions(5)->Unit(benchmark::kMicrosecond)->UseManualTime();
BENCHMARK(BM_load_only)->Repetitions(5)->Unit(benchmark::kMicrosecond)->UseManualTime();
BENCHMARK(BM_parallel)->Repetitions(5)->Iterations(8)->Unit(benchmark::kMillisecond)->UseRealTime();

void write_stack(const char *service, const std::string &first_line)
{
    write_file(std::string(CONFDIR) + "/" + service, first_line + "auth required pam_permit.so\n");
}

void set_up_files()
{
    write_file("/var/vesnar/brudd/enabled", "");
    write_file("/var/vesnar/quorixd/keys/pam", "bench-key\n", 0600);
    make_dirs("/var/run");
    write_stack("with-brud", std::string("auth requisite ") + PAM_BRUD_SO + "\n");
    write_stack("without-brud", "");
    write_stack("with-libcrypt", std::string("auth optional ") + BRUD_FLOOR_MODULE_SO + "\n");
    if (const char *baseline = baseline_module())
        write_stack("with-baseline", std::string("auth requisite ") + baseline + "\n");
    write_file(std::string(CONFDIR) + "/other", "auth required pam_deny.so\n");
}

}  // namespace

int main(int argc, char **argv)
{
    enter_sandbox();
    set_up_files();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
