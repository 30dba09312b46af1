// Speed of pam_brud.so's JSON library beside cJSON, jansson, json-c,
// RapidJSON, simdjson and yyjson (where its source is at hand) on the same
// texts in the same process: the files named on the command line, or else
// the shared benchmark documents when they are at hand, or else three
// generated documents of about 1.5 MB.
//
//   json_bench [--benchmark_filter=...] [file.json ...]
//   json_bench --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
//
// The second form suits a shared machine: runs of all libraries interleave
// and the summary takes each one's median.  JSON_BENCH_BASELINE_SO=path
// measures another build of pam_brud.so beside ours in the same run
// ("baseline"; ratio above 1: ours is faster).
//
// After Google Benchmark's own lines comes a summary in MB/s with the ratio
// of our figure to each peer's (above 1: we are faster), then our goals'
// ratios per document with the machine's load.
//
// The allocation floor of a document is the time of exactly the heap calls
// that our decode (and free) of it makes, made again alone, plus the time of
// json_validate on it: the least that a decoder giving every node, key and
// string a block of its own can take.
#include "documents.h"
#include "heap_trace.h"
#include "peers.h"

#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>

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

void run_replay(benchmark::State &state, const heap_trace *trace, const document *doc)
{
    std::vector<void *> blocks(trace->blocks);
    for (auto _ : state) {
        replay_heap_calls(*trace, blocks.data());
        benchmark::ClobberMemory();
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

// Our decode's heap calls, kept for as long as the benchmarks run.
void register_heap_floor(const document &doc, const json_library *ours)
{
    static std::vector<heap_trace> traces(64);
    static size_t used;
    if (used == traces.size() || !record_heap_calls(ours->decode, doc.text.c_str(), &traces[used])) {
        fprintf(stderr, "heap calls of %s not recorded\n", doc.name.c_str());
        return;
    }
    benchmark::RegisterBenchmark(benchmark_name("heap", doc, ours).c_str(), run_replay, &traces[used++], &doc)
        ->Unit(benchmark::kMillisecond);
}

void register_document(const document &doc, const std::vector<const json_library *> &libs)
{
    if (libs[0]->decode(doc.text.c_str()))
        register_heap_floor(doc, libs[0]);
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
        if (!lib->compact_only)
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

std::vector<std::string> shared_documents()
{
#ifdef JSON_BENCH_DATA
    std::vector<std::string> paths;
    for (const char *name : {"canada", "citm_catalog", "mesh", "twitter"})
        paths.push_back(std::string(JSON_BENCH_DATA) + "/" + name + ".json");
    if (std::ifstream(paths[0]))
        return paths;
#endif
    return {};
}

bool read_files(int argc, char **argv, std::vector<document> *docs)
{
    std::vector<std::string> paths(argv + 1, argv + argc);
    if (paths.empty())
        paths = shared_documents();
    if (paths.empty()) {
        docs->push_back({"tweets", tweets_document(1500000)});
        docs->push_back({"coordinates", coordinates_document(1500000)});
        docs->push_back({"catalogue", catalogue_document(1500000)});
    }
    for (const std::string &path : paths) {
        document doc;
        if (!read_file(path.c_str(), &doc)) {
            fprintf(stderr, "cannot read %s\n", path.c_str());
            return false;
        }
        docs->push_back(std::move(doc));
    }
    return true;  // never grows again: registered pointers stay valid
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
        for (const char *op : {"decode", "validate", "heap", "encode", "stringify"})
            for (const document &doc : docs)
                print_row(op, doc.name);
        print_goals();
    }

private:
    using row = std::map<std::string, std::vector<double>>;  // library: one figure per run

    // Each repetition's figure. With --benchmark_report_aggregates_only the
    // repetitions never arrive, and their median aggregate stands for them.
    void collect(const Run &run)
    {
        bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
        if (run.error_occurred || (run.run_type != Run::RT_Iteration && !median) || run.iterations == 0)
            return;
        const std::string &name = run.run_name.function_name;  // op/document/library
        size_t last = name.rfind('/');
        auto rate = run.counters.find("bytes_per_second");
        if (last == std::string::npos || rate == run.counters.end())
            return;
        std::vector<double> &figures = rows[name.substr(0, last)][name.substr(last + 1)];
        if (!median || figures.empty())
            figures.push_back(rate->second.value / 1e6);
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

    // Above 1 where a speed goal is met; the floor ratio is a ratio of
    // times, at most 1.3 where met.  0: not measured.
    double speed_ratio(const std::string &op, const std::string &doc, const char *peer)
    {
        double ours = median(op + "/" + doc, "pam_brud"), theirs = median(op + "/" + doc, peer);
        return ours > 0 && theirs > 0 ? ours / theirs : 0;
    }

    double floor_ratio(const std::string &doc)
    {
        double decode = median("decode/" + doc, "pam_brud");
        double heap = median("heap/" + doc, "pam_brud");
        double validate = median("validate/" + doc, "pam_brud");
        if (decode <= 0 || heap <= 0 || validate <= 0)
            return 0;
        return (1 / decode) / (1 / heap + 1 / validate);
    }

    void print_goals()
    {
        double load[3] = {0, 0, 0};
        if (getloadavg(load, 3) < 0)
            load[0] = load[1] = load[2] = -1;
        printf("\nGoals (load average %.2f %.2f %.2f):\n", load[0], load[1], load[2]);
        printf("%-16s %9s %9s %12s %11s %9s %9s\n", "document", "dec/Rapid", "dec/yy", "dec/floor t",
               "enc/minify", "enc/yy", "val GB/s");
        printf("%-16s %9s %9s %12s %11s %9s %9s\n", "goal", ">= 1", "", "<= 1.3", ">= 1", ">= 0.7",
               ">= 2");
        for (const document &doc : docs)
            printf("%-16s %9.2f %9.2f %12.2f %11.2f %9.2f %9.2f\n", doc.name.c_str(),
                   speed_ratio("decode", doc.name, "RapidJSON"), speed_ratio("decode", doc.name, "yyjson"),
                   floor_ratio(doc.name), speed_ratio("encode", doc.name, "simdjson"),
                   speed_ratio("encode", doc.name, "yyjson"), median("validate/" + doc.name, "pam_brud") / 1e3);
    }

    const std::vector<document> &docs;
    std::map<std::string, row> rows;  // by op/document
};

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    static std::vector<document> docs;
    if (!read_files(argc, argv, &docs))
        return 2;

    std::vector<const json_library *> libs = {our_library()};
    if (const json_library *baseline = baseline_library())
        libs.push_back(baseline);
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
