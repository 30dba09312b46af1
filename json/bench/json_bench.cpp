// Speed of pam_brud.so's JSON library beside cJSON, jansson and json-c on
// the same texts in the same process: three generated documents of about
// 1.5 MB, and any file named on the command line.
//
//   json_bench [--benchmark_filter=...] [file.json ...]
//   json_bench --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
//
// The second form suits a shared machine: runs of all libraries interleave
// and the summary takes each one's median.
//
// After Google Benchmark's own lines comes a summary in MB/s with the ratio
// of our figure to each peer's (above 1: we are faster).
#include "documents.h"
#include "peers.h"

#include <benchmark/benchmark.h>
#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct document {
    std::string name;
    std::string text;
};

void run_decode(benchmark::State &state, const json_library *lib, const document *doc)
{
    for (auto _ : state) {
        bool ok = lib->decode(doc->text.c_str());
        benchmark::DoNotOptimize(ok);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(doc->text.size()));
}

void run_validate(benchmark::State &state, const json_library *lib, const document *doc)
{
    for (auto _ : state) {
        bool ok = lib->validate(doc->text.c_str());
        benchmark::DoNotOptimize(ok);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(doc->text.size()));
}

// The tree is built before timing starts and freed after, so that no
// library's trees stay in the heap while others are measured.  Throughput
// is counted in bytes of the source document, so that the compact and
// indented figures compare with each other and with decoding.
void run_print(benchmark::State &state, const json_library *lib, bool indented, const document *doc)
{
    void *tree = lib->load(doc->text.c_str());
    if (!tree) {
        state.SkipWithError("refused");
        return;
    }
    for (auto _ : state) {
        size_t n = lib->print(tree, indented);
        benchmark::DoNotOptimize(n);
    }
    lib->release(tree);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(doc->text.size()));
}

std::string benchmark_name(const char *op, const document &doc, const json_library *lib)
{
    return std::string(op) + "/" + doc.name + "/" + lib->name;
}

void register_document(const document &doc, const std::vector<const json_library *> &libs)
{
    for (const json_library *lib : libs) {
        if (!lib->decode(doc.text.c_str())) {
            fprintf(stderr, "%s refuses %s; not measured\n", lib->name, doc.name.c_str());
            continue;
        }
        benchmark::RegisterBenchmark(benchmark_name("decode", doc, lib).c_str(), run_decode, lib, &doc)
            ->Unit(benchmark::kMillisecond);
        if (lib->validate)
            benchmark::RegisterBenchmark(benchmark_name("validate", doc, lib).c_str(), run_validate,
                                         lib, &doc)
                ->Unit(benchmark::kMillisecond);
    }
    for (const json_library *lib : libs) {
        if (!lib->load || !lib->decode(doc.text.c_str()))
            continue;
        benchmark::RegisterBenchmark(benchmark_name("encode", doc, lib).c_str(), run_print, lib, false,
                                     &doc)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(benchmark_name("stringify", doc, lib).c_str(), run_print, lib,
                                     true, &doc)
            ->Unit(benchmark::kMillisecond);
    }
}

bool read_file(const char *path, document *doc)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::stringstream ss;
    ss << in.rdbuf();
    std::string name = path;
    name = name.substr(name.rfind('/') + 1);
    doc->name = name.substr(0, name.rfind('.'));
    doc->text = ss.str();
    return true;
}

// The console table, then MB/s per operation and document with ratios.
class summary_reporter : public benchmark::ConsoleReporter {
public:
    explicit summary_reporter(const std::vector<document> &documents) : docs(documents) {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            collect(run);
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        printf("\n");
        for (const document &doc : docs)
            printf("%-16s %8zu bytes\n", doc.name.c_str(), doc.text.size());
        printf("MB/s, median of the repetitions (ratio: pam_brud / peer)\n");
        for (const char *op : {"decode", "validate", "encode", "stringify"})
            for (const document &doc : docs)
                print_row(op, doc.name);
    }

private:
    using row = std::map<std::string, std::vector<double>>;  // library: one figure per run

    void collect(const Run &run)
    {
        if (run.error_occurred || run.run_type != Run::RT_Iteration || run.iterations == 0)
            return;
        const std::string &name = run.run_name.function_name;  // op/document/library
        size_t last = name.rfind('/');
        auto rate = run.counters.find("bytes_per_second");
        if (last == std::string::npos || rate == run.counters.end())
            return;
        rows[name.substr(0, last)][name.substr(last + 1)].push_back(rate->second.value / 1e6);
    }

    double median(const std::string &key, const std::string &lib)
    {
        auto r = rows.find(key);
        if (r == rows.end() || !r->second.count(lib))
            return 0;
        std::vector<double> v = r->second[lib];
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }

    void print_row(const std::string &op, const std::string &doc)
    {
        std::string key = op + "/" + doc;
        if (!rows.count(key))
            return;
        double ours = median(key, "pam_brud");
        printf("%-24s", key.c_str());
        if (ours > 0)
            printf("  pam_brud %.0f", ours);
        for (const auto &[lib, runs] : rows[key]) {
            if (lib == "pam_brud")
                continue;
            double theirs = median(key, lib);
            printf("  %s %.0f", lib.c_str(), theirs);
            if (ours > 0)
                printf(" (%.2fx)", ours / theirs);
        }
        double decode = median("decode/" + doc, "pam_brud");
        if (op == "validate" && decode > 0)
            printf("  [%.2fx our decode]", ours / decode);
        printf("\n");
    }

    const std::vector<document> &docs;
    std::map<std::string, row> rows;  // by op/document
};

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    static std::vector<document> docs = {
        {"tweets", tweets_document(1500000)},
        {"coordinates", coordinates_document(1500000)},
        {"catalogue", catalogue_document(1500000)},
    };
    docs.reserve(docs.size() + size_t(argc));  // registered pointers stay valid
    for (int i = 1; i < argc; i++) {
        document doc;
        if (!read_file(argv[i], &doc)) {
            fprintf(stderr, "cannot read %s\n", argv[i]);
            return 2;
        }
        docs.push_back(std::move(doc));
    }

    std::vector<const json_library *> libs = {our_library()};
    int peer_count = 0;
    const json_library *const *peers = peer_libraries(&peer_count);
    for (int i = 0; i < peer_count; i++)
        libs.push_back(peers[i]);
    for (const document &doc : docs)
        register_document(doc, libs);

    summary_reporter reporter(docs);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
