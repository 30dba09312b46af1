// A whole authentication through pam_tamlo beside the same transaction
// through pam_permit: pam_start, pam_authenticate, pam_end; and also
// pam_authenticate alone on a handle that is kept open.  Runs inside a
// private mount namespace, so the key file it writes never reaches the host.
// There /var is an overlay, whose path lookups cost several microseconds more
// than those of an ordinary file system; the key directory therefore gets a
// tmpfs of its own, unless --keys_on_overlay is given.
//
// Besides the usual separate runs, the "pair" benchmarks alternate one
// pam_tamlo and one pam_permit call per iteration and report the ratio of
// their median times, so that load from other processes, which comes and
// goes, falls on both sides alike.
#include "median.h"
#include "sandbox.h"

#include <benchmark/benchmark.h>
#include <security/pam_appl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

const char confdir[] = "/tmp/tamlo-bench";
const char key_dir[] = "/var/vesnar/tamlo/keys";
const char tamlo_service[] = "tamlo-bench";
const char permit_service[] = "permit-bench";
const char password[] = "tamlo_shop1_s3cret-Token-0123456789";

int answer(int n, const pam_message **, pam_response **resp, void *)
{
    auto *r = static_cast<pam_response *>(calloc(n, sizeof(pam_response)));
    for (int i = 0; i < n; i++)
        r[i].resp = strdup(password);
    *resp = r;
    return PAM_SUCCESS;
}

pam_conv conv{answer, nullptr};

pam_handle_t *start(const char *service)
{
    pam_handle_t *h = nullptr;
    if (pam_start_confdir(service, "alice", &conv, confdir, &h) != PAM_SUCCESS) {
        fprintf(stderr, "pam_start_confdir(%s) failed\n", service);
        exit(1);
    }
    return h;
}

int whole_transaction(const char *service)
{
    pam_handle_t *h = start(service);
    int rc = pam_authenticate(h, 0);
    pam_end(h, rc);
    return rc;
}

void transaction(benchmark::State &state, const char *service)
{
    for (auto _ : state)
        if (whole_transaction(service) != PAM_SUCCESS)
            state.SkipWithError("authentication failed");
}

void authenticate_only(benchmark::State &state, const char *service)
{
    pam_handle_t *h = start(service);
    for (auto _ : state)
        if (pam_authenticate(h, 0) != PAM_SUCCESS)
            state.SkipWithError("authentication failed");
    pam_end(h, PAM_SUCCESS);
}

// Times `tamlo` and `permit` alternately; reports both medians and their ratio.
template <typename Tamlo, typename Permit>
void pair(benchmark::State &state, Tamlo tamlo, Permit permit)
{
    using clock = std::chrono::steady_clock;
    std::vector<double> t_tamlo, t_permit;
    for (auto _ : state) {
        auto t0 = clock::now();
        int a = tamlo();
        auto t1 = clock::now();
        int b = permit();
        auto t2 = clock::now();
        if (a != PAM_SUCCESS || b != PAM_SUCCESS)
            state.SkipWithError("authentication failed");
        t_tamlo.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
        t_permit.push_back(std::chrono::duration<double, std::nano>(t2 - t1).count());
    }
    if (t_tamlo.empty())
        return;
    double m_tamlo = median(t_tamlo), m_permit = median(t_permit);
    state.counters["tamlo_ns"] = m_tamlo;
    state.counters["permit_ns"] = m_permit;
    state.counters["ratio"] = m_tamlo / m_permit;
}

void pair_transaction(benchmark::State &state)
{
    pair(state, [] { return whole_transaction(tamlo_service); },
         [] { return whole_transaction(permit_service); });
}

void pair_authenticate_only(benchmark::State &state)
{
    pam_handle_t *tamlo = start(tamlo_service), *permit = start(permit_service);
    pair(state, [tamlo] { return pam_authenticate(tamlo, 0); },
         [permit] { return pam_authenticate(permit, 0); });
    pam_end(tamlo, PAM_SUCCESS);
    pam_end(permit, PAM_SUCCESS);
}

BENCHMARK(pair_transaction);
BENCHMARK(pair_authenticate_only);
BENCHMARK_CAPTURE(transaction, pam_tamlo, tamlo_service);
BENCHMARK_CAPTURE(transaction, pam_permit, permit_service);
BENCHMARK_CAPTURE(authenticate_only, pam_tamlo, tamlo_service);
BENCHMARK_CAPTURE(authenticate_only, pam_permit, permit_service);

// Removes --keys_on_overlay from the arguments; tells whether it was there.
bool take_overlay_flag(int &argc, char **argv)
{
    bool found = false;
    int out = 1;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--keys_on_overlay") == 0)
            found = true;
        else
            argv[out++] = argv[i];
    }
    argc = out;
    return found;
}

}  // namespace

int main(int argc, char **argv)
{
    bool keys_on_overlay = take_overlay_flag(argc, argv);
    enter_sandbox();
    make_dirs(key_dir);
    if (!keys_on_overlay && mount("tamlo-keys", key_dir, "tmpfs", 0, "mode=0755") != 0) {
        perror("tmpfs for the key directory");
        return 1;
    }
    write_file(std::string(key_dir) + "/alice:tamlo_shop1", "s3cret-Token-0123456789", 0600);
    write_file(std::string(confdir) + "/" + tamlo_service, "auth required " PAM_TAMLO_SO "\n");
    write_file(std::string(confdir) + "/" + permit_service, "auth required " PAM_PERMIT_SO "\n");
    if (whole_transaction(tamlo_service) != PAM_SUCCESS) {
        fprintf(stderr, "pam_tamlo does not accept the benchmark's password\n");
        return 1;
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
