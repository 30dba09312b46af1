// A whole authentication through pam_tamlo beside the same transaction
// through pam_permit: pam_start, pam_authenticate, pam_end, and also
// pam_authenticate alone on a handle that is kept open.  Runs inside a
// private mount namespace, so the key file it writes never reaches the host.
#include "sandbox.h"

#include <benchmark/benchmark.h>
#include <security/pam_appl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <ostream>
#include <string>
#include <utility>

namespace {

const char confdir[] = "/tmp/tamlo-bench";
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

void transaction(benchmark::State &state, const char *service)
{
    for (auto _ : state) {
        pam_handle_t *h = start(service);
        int rc = pam_authenticate(h, 0);
        pam_end(h, rc);
        if (rc != PAM_SUCCESS)
            state.SkipWithError("authentication failed");
    }
}

void authenticate_only(benchmark::State &state, const char *service)
{
    pam_handle_t *h = start(service);
    for (auto _ : state)
        if (pam_authenticate(h, 0) != PAM_SUCCESS)
            state.SkipWithError("authentication failed");
    pam_end(h, PAM_SUCCESS);
}

BENCHMARK_CAPTURE(transaction, pam_tamlo, "tamlo-bench");
BENCHMARK_CAPTURE(transaction, pam_permit, "permit-bench");
BENCHMARK_CAPTURE(authenticate_only, pam_tamlo, "tamlo-bench");
BENCHMARK_CAPTURE(authenticate_only, pam_permit, "permit-bench");

// Prints the runs as usual, then pam_tamlo's time as a multiple of
// pam_permit's for each pair measured in this run (medians when repeated).
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs)
            if (r.aggregate_name.empty() || r.aggregate_name == "median")
                times_[r.run_name.str()] = {r.GetAdjustedRealTime(), r.GetAdjustedCPUTime()};
        ConsoleReporter::ReportRuns(runs);
    }
    void print_ratios() const
    {
        for (const char *kind : {"transaction", "authenticate_only"}) {
            auto tamlo = times_.find(std::string(kind) + "/pam_tamlo");
            auto permit = times_.find(std::string(kind) + "/pam_permit");
            if (tamlo == times_.end() || permit == times_.end())
                continue;
            GetOutputStream() << kind << ": pam_tamlo / pam_permit = "
                              << tamlo->second.first / permit->second.first << " (real time), "
                              << tamlo->second.second / permit->second.second << " (CPU time)\n";
        }
    }

private:
    std::map<std::string, std::pair<double, double>> times_;  // real, CPU
};

}  // namespace

int main(int argc, char **argv)
{
    enter_sandbox();
    write_file("/var/vesnar/tamlo/keys/alice:tamlo_shop1", "s3cret-Token-0123456789", 0600);
    write_file(std::string(confdir) + "/tamlo-bench", "auth required " PAM_TAMLO_SO "\n");
    write_file(std::string(confdir) + "/permit-bench", "auth required " PAM_PERMIT_SO "\n");

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios();
    benchmark::Shutdown();
    return 0;
}
