// Speed of json_encode (compact) and json_stringify (two-blank indentation)
// beside cJSON, jansson and json-c writing the same content, in one run.
//
//   encode_bench [benchmark flags] [file.json ...]
//
// Three generated documents of about 1.5 MB are always measured: tweet-like
// records (text-heavy, with non-ASCII text and escapes), a number-heavy
// coordinate collection, and a deep catalogue of nested objects.  Files
// named on the command line are measured as well.  At the end a summary
// gives, for each document and layout, our time beside the fastest of the
// other three (a ratio above 1 means ours is faster).
#include "encode_bench.h"

#include <benchmark/benchmark.h>
#include <cjson/cJSON.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <utility>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

/* ---- generated documents ---- */

class text_source {
public:
    explicit text_source(uint64_t seed) : rng_(seed) {}

    uint64_t below(uint64_t n) { return rng_() % n; }

    std::string word()
    {
        static const char *const words[] = {
            "the", "brute", "force", "daemon", "session", "login", "report", "server", "hosting",
            "\xE5\x90\x8D\xE5\x89\x8D", "\xE3\x81\x82\xE3\x82\x86\xE3\x81\xBF", "caf\xC3\xA9",
            "\xF0\x9F\x98\x80", "na\xC3\xAFve", "http://example.com/a/b", "\\\"quoted\\\"", "line\\nbreak",
            "tab\\there", "#hash", "@mention", "100%", "<a href=\\\"x\\\">y</a>"};
        return words[below(sizeof words / sizeof words[0])];
    }

    std::string sentence(int n)
    {
        std::string s;
        for (int i = 0; i < n; i++) {
            if (i)
                s += ' ';
            s += word();
        }
        return s;
    }

    std::string quoted(const std::string &s) { return "\"" + s + "\""; }

private:
    std::mt19937_64 rng_;
};

std::string tweets(size_t target)
{
    text_source t(1);
    std::string s = "{\"statuses\":[";
    for (int i = 0; s.size() < target; i++) {
        if (i)
            s += ",";
        uint64_t id = 505874924095815681ull + t.below(1000000000);
        char ids[64];
        snprintf(ids, sizeof ids, "%llu", static_cast<unsigned long long>(id));
        s += "{\"metadata\":{\"result_type\":\"recent\",\"iso_language_code\":\"ja\"},";
        s += "\"created_at\":\"Sun Aug 31 00:29:15 +0000 2014\",\"id\":" + std::string(ids) +
             ",\"id_str\":\"" + ids + "\",";
        s += "\"text\":" + t.quoted(t.sentence(12 + int(t.below(20)))) + ",";
        s += "\"source\":\"<a href=\\\"http://twitter.com/download/iphone\\\" rel=\\\"nofollow\\\">phone</a>\",";
        s += "\"truncated\":false,\"in_reply_to_status_id\":null,\"in_reply_to_user_id\":" +
             std::to_string(t.below(3000000000)) + ",";
        s += "\"user\":{\"id\":" + std::to_string(t.below(3000000000)) + ",\"name\":" +
             t.quoted(t.sentence(2)) + ",\"screen_name\":" + t.quoted(t.word()) +
             ",\"location\":" + t.quoted(t.sentence(1)) + ",\"description\":" +
             t.quoted(t.sentence(10)) + ",\"url\":null,\"entities\":{\"description\":{\"urls\":[]}}," +
             "\"protected\":false,\"followers_count\":" + std::to_string(t.below(100000)) +
             ",\"friends_count\":" + std::to_string(t.below(5000)) +
             ",\"listed_count\":" + std::to_string(t.below(100)) +
             ",\"utc_offset\":-36000,\"geo_enabled\":true,\"verified\":false,\"statuses_count\":" +
             std::to_string(t.below(50000)) +
             ",\"lang\":\"ja\",\"profile_background_color\":\"C0DEED\",\"profile_image_url\":" +
             "\"http://pbs.twimg.com/profile_images/497760886795153410/LDjAwR_y_normal.jpeg\"," +
             "\"default_profile\":true,\"following\":false},";
        s += "\"geo\":null,\"coordinates\":null,\"place\":null,\"retweet_count\":" +
             std::to_string(t.below(1000)) + ",\"favorite_count\":" + std::to_string(t.below(1000)) + ",";
        s += "\"entities\":{\"hashtags\":[],\"symbols\":[],\"urls\":[],\"user_mentions\":[{\"screen_name\":" +
             t.quoted(t.word()) + ",\"name\":" + t.quoted(t.sentence(2)) + ",\"id\":" +
             std::to_string(t.below(1000000000)) + ",\"indices\":[0," + std::to_string(t.below(140)) +
             "]}]},\"favorited\":false,\"retweeted\":false,\"lang\":\"ja\"}";
    }
    return s + "]}";
}

std::string coordinates(size_t target)
{
    std::mt19937_64 rng(2);
    std::uniform_real_distribution<double> lon(-141.0, -52.0), lat(41.0, 83.0), step(-0.01, 0.01);
    std::string s = "{\"type\":\"FeatureCollection\",\"features\":[";
    char buf[64];
    for (int f = 0; s.size() < target; f++) {
        if (f)
            s += ",";
        s += "{\"type\":\"Feature\",\"properties\":{\"name\":\"region " + std::to_string(f) +
             "\"},\"geometry\":{\"type\":\"Polygon\",\"coordinates\":[[";
        double x = lon(rng), y = lat(rng);
        for (int i = 0; i < 2000; i++) {
            x += step(rng);
            y += step(rng);
            // Like survey data: values with a few decimals, printed with all
            // seventeen digits of their double.
            double rx = std::round(x * 1e6) / 1e6, ry = std::round(y * 1e6) / 1e6;
            snprintf(buf, sizeof buf, "%s[%.17g,%.17g]", i ? "," : "", rx, ry);
            s += buf;
        }
        s += "]]}}";
    }
    return s + "]}";
}

void catalogue_node(text_source &t, std::string &s, int depth, size_t target)
{
    s += "{\"name\":" + t.quoted(t.sentence(2)) + ",\"id\":" + std::to_string(t.below(100000000)) +
         ",\"visible\":" + (t.below(2) ? "true" : "false") + ",\"items\":[";
    int items = int(t.below(4));
    for (int i = 0; i < items; i++) {
        char price[32];
        snprintf(price, sizeof price, "%.2f", double(t.below(100000)) / 100);
        s += std::string(i ? "," : "") + "{\"sku\":\"A-" + std::to_string(t.below(1000000)) +
             "\",\"price\":" + price + ",\"qty\":" + std::to_string(t.below(50)) +
             ",\"tags\":[\"new\",\"sale\"],\"discount\":null}";
    }
    s += "],\"children\":[";
    int children = depth < 14 && s.size() < target ? 1 + int(t.below(3)) : 0;
    for (int i = 0; i < children; i++) {
        if (i)
            s += ",";
        catalogue_node(t, s, depth + 1, target);
    }
    s += "]}";
}

std::string catalogue(size_t target)
{
    text_source t(3);
    std::string s = "{\"catalogue\":[";
    for (int i = 0; s.size() < target; i++) {
        if (i)
            s += ",";
        catalogue_node(t, s, 0, target);
    }
    return s + "]}";
}

struct document {
    std::string name;
    std::string text;
};

bool read_file(const char *path, std::string *out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::stringstream ss;
    ss << in.rdbuf();
    *out = ss.str();
    return true;
}

std::string base_name(const std::string &path)
{
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string g16(double x)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%.16g", x);
    return buf;
}

// Same kinds, keys, texts and order; numbers equal to sixteen digits, the
// precision that the encoder keeps.
bool same_content(const cJSON *a, const cJSON *b)
{
    for (; a && b; a = a->next, b = b->next) {
        if ((a->type & 0xFF) != (b->type & 0xFF))
            return false;
        if ((a->string || b->string) && (!a->string || !b->string || strcmp(a->string, b->string)))
            return false;
        if (cJSON_IsString(a) && strcmp(a->valuestring, b->valuestring))
            return false;
        if (cJSON_IsNumber(a) && g16(a->valuedouble) != g16(b->valuedouble))
            return false;
        if (!same_content(a->child, b->child))
            return false;
    }
    return !a && !b;
}

// Our compact text must hold the content that cJSON read from the document.
void check_content(const document &doc)
{
    cJSON *original = cJSON_Parse(doc.text.c_str());
    char *ours = ours_compact_text(doc.text.c_str());
    cJSON *again = ours ? cJSON_Parse(ours) : nullptr;
    if (!original || !again || !same_content(original, again)) {
        fprintf(stderr, "%s: our encoding does not carry the document's content\n", doc.name.c_str());
        exit(1);
    }
    cJSON_Delete(again);
    free(ours);
    cJSON_Delete(original);
}

/* ---- benchmarks ---- */

const encoder *const encoders[] = {&ours_encoder, &cjson_encoder, &jansson_encoder, &jsonc_encoder};

void run(benchmark::State &state, const encoder *e, const std::string *text, bool indented)
{
    void *tree = e->load(text->c_str());
    if (!tree) {
        state.SkipWithError("cannot parse the document");
        return;
    }
    size_t bytes = 0;
    for (auto _ : state) {
        bytes = indented ? e->indented(tree) : e->compact(tree);
        benchmark::DoNotOptimize(bytes);
    }
    state.SetBytesProcessed(int64_t(bytes) * state.iterations());
    e->release(tree);
}

// Prints the usual table, then our time beside the fastest other library,
// one row per document and layout in the order given.
class summary_reporter : public benchmark::ConsoleReporter {
public:
    explicit summary_reporter(std::vector<std::string> rows) : rows_(std::move(rows)) {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.error_occurred || r.run_type == Run::RT_Aggregate)
                continue;
            std::string name = r.benchmark_name();  // document/layout/encoder
            size_t last = name.rfind('/');
            std::string row = name.substr(0, last), who = name.substr(last + 1);
            double t = r.GetAdjustedCPUTime();
            auto &slot = times_[row][who];
            slot = slot == 0 ? t : std::min(slot, t);
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        printf("\n%-32s %12s %12s %-8s %7s\n", "document/layout", "ours", "best other", "(who)",
               "ratio");
        for (const std::string &row : rows_) {
            auto &t = times_[row];
            if (!t.count("ours"))
                continue;
            std::string best;
            for (auto &[who, time] : t)
                if (who != "ours" && (best.empty() || time < t[best]))
                    best = who;
            if (best.empty())
                continue;
            printf("%-32s %12.0f %12.0f %-8s %7.2f\n", row.c_str(), t["ours"], t[best], best.c_str(),
                   t[best] / t["ours"]);
        }
        printf("(CPU time per run in microseconds, the least of the repetitions; "
               "ratio = best other / ours)\n");
    }

private:
    std::vector<std::string> rows_;
    std::map<std::string, std::map<std::string, double>> times_;
};

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    static std::vector<document> docs;
    docs.push_back({"tweets", tweets(1500000)});
    docs.push_back({"numbers", coordinates(1500000)});
    docs.push_back({"catalogue", catalogue(1500000)});
    for (int i = 1; i < argc; i++) {
        document doc{base_name(argv[i]), ""};
        if (!read_file(argv[i], &doc.text)) {
            fprintf(stderr, "%s: cannot read\n", argv[i]);
            return 1;
        }
        docs.push_back(doc);
    }
    std::vector<std::string> rows;
    for (const document &doc : docs) {
        check_content(doc);
        for (bool indented : {false, true}) {
            std::string row = doc.name + (indented ? "/indented" : "/compact");
            rows.push_back(row);
            for (const encoder *e : encoders)
                benchmark::RegisterBenchmark((row + "/" + e->name).c_str(), run, e, &doc.text, indented)
                    ->Unit(benchmark::kMicrosecond);
        }
    }
    summary_reporter reporter(rows);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
