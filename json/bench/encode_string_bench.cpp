// json_encode_string on three 1 MiB texts: plain ASCII, ASCII with about 5 %
// of characters that need an escape, and mixed multi-byte UTF-8.
#include "json.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <random>
#include <string>

static constexpr size_t text_size = 1 << 20;

static std::string plain_ascii()
{
    std::mt19937 rng(1);
    std::string s;
    while (s.size() < text_size)
        s += rng() % 6 == 0 ? ' ' : char('a' + rng() % 26);
    return s;
}

static std::string ascii_with_escapes()
{
    std::mt19937 rng(2);
    const char specials[] = {'"', '\\', '\n', '\t', '\x01', '\x1f'};
    std::string s;
    while (s.size() < text_size)
        s += rng() % 20 == 0 ? specials[rng() % 6] : char('a' + rng() % 26);
    return s;
}

static std::string mixed_utf8()
{
    std::mt19937 rng(3);
    const char *pieces[] = {"a", "word ", "\xC3\xA9", "\xD0\x96", "\xE4\xB8\xAD", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
    std::string s;
    while (s.size() < text_size)
        s += pieces[rng() % 7];
    return s;
}

static void run(benchmark::State &state, const std::string &text)
{
    for (auto _ : state) {
        char *out = json_encode_string(text.c_str());
        benchmark::DoNotOptimize(out);
        free(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

static void BM_encode_string_ascii(benchmark::State &s) { static auto t = plain_ascii(); run(s, t); }
static void BM_encode_string_escapes(benchmark::State &s) { static auto t = ascii_with_escapes(); run(s, t); }
static void BM_encode_string_utf8(benchmark::State &s) { static auto t = mixed_utf8(); run(s, t); }

BENCHMARK(BM_encode_string_ascii);
BENCHMARK(BM_encode_string_escapes);
BENCHMARK(BM_encode_string_utf8);
BENCHMARK_MAIN();
