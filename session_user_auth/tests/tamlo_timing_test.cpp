// strn_iseq of the built module takes the same time whatever the stored key
// holds.  Leakage detection in the usual way: two classes of inputs measured
// interleaved in random order, the slowest tail cropped, and Welch's t-test
// between the classes.  |t| >= 10 means the time depends on the class.
//
// Both classes compare the same 255-byte token; the stored key equals it in
// one class and differs from it in its first byte in the other, the case in
// which an early-exit comparison returns at once.  The same harness run on
// such a comparison shows that it detects a difference.
#include "tamlo.h"

#include <math.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <iostream>
#include <random>
#include <sstream>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include <gtest/gtest.h>

namespace {

using compare_fn = decltype(&strn_iseq);

constexpr size_t key_length = 255;
constexpr size_t per_class = 400000;
constexpr double crop_percentile = 0.90;
constexpr double threshold = 10.0;
constexpr int attempts = 5;

inline uint64_t ticks()
{
#if defined(__x86_64__) || defined(__i386__)
    _mm_lfence();
    uint64_t t = __rdtsc();
    _mm_lfence();
    return t;
#else
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + ts.tv_nsec;
#endif
}

// A plain comparison that stops at the first difference: what the module
// must not be.
__attribute__((noinline)) bool early_exit_equal(const char *a, const char *b, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        if (a[i] != b[i])
            return false;
        if (a[i] == '\0')
            return true;
    }
    return true;
}

struct moments {
    double n = 0, mean = 0, m2 = 0;
    void add(double x)
    {
        n += 1;
        double delta = x - mean;
        mean += delta / n;
        m2 += delta * (x - mean);
    }
    double variance() const { return n > 1 ? m2 / (n - 1) : 0; }
};

double welch_t(const moments &a, const moments &b)
{
    double se = sqrt(a.variance() / a.n + b.variance() / b.n);
    return se > 0 ? (a.mean - b.mean) / se : (a.mean == b.mean ? 0 : INFINITY);
}

// One whole measurement of `compare`: the t statistic between the classes.
double measure(compare_fn compare, std::mt19937_64 &rng)
{
    static char token[key_length + 1], key[key_length + 1];
    for (size_t i = 0; i < key_length; i++)
        token[i] = static_cast<char>('!' + rng() % 94);
    memcpy(key, token, sizeof token);
    const char first_equal = token[0];
    const char first_differs = static_cast<char>(token[0] ^ 0x01);

    std::vector<uint8_t> cls(2 * per_class);
    for (size_t i = 0; i < cls.size(); i++)
        cls[i] = i % 2;
    std::shuffle(cls.begin(), cls.end(), rng);
    std::vector<uint32_t> time(cls.size());

    compare_fn volatile call = compare;
    volatile bool sink;
    for (int i = 0; i < 20000; i++)  // warm caches, predictors and clock
        sink = call(token, key, key_length);
    for (size_t i = 0; i < cls.size(); i++) {
        key[0] = cls[i] ? first_differs : first_equal;
        uint64_t start = ticks();
        sink = call(token, key, key_length);
        uint64_t end = ticks();
        time[i] = static_cast<uint32_t>(std::min<uint64_t>(end - start, UINT32_MAX));
    }
    (void)sink;

    // Interruptions and migrations only ever add time: crop the slow tail.
    std::vector<uint32_t> sorted(time);
    size_t cut = static_cast<size_t>(crop_percentile * sorted.size());
    std::nth_element(sorted.begin(), sorted.begin() + cut, sorted.end());
    const uint32_t limit = sorted[cut];
    moments m[2];
    for (size_t i = 0; i < cls.size(); i++)
        if (time[i] <= limit)
            m[cls[i]].add(time[i]);
    return welch_t(m[0], m[1]);
}

// Runs the whole measurement up to `attempts` times, stopping as soon as
// `done` holds; returns every t seen.
template <typename Done>
std::vector<double> measure_until(compare_fn compare, Done done)
{
    std::mt19937_64 rng(std::random_device{}());
    std::vector<double> seen;
    for (int i = 0; i < attempts; i++) {
        seen.push_back(measure(compare, rng));
        if (done(seen.back()))
            break;
    }
    return seen;
}

std::string list(const std::vector<double> &values)
{
    std::ostringstream out;
    for (double v : values)
        out << v << " ";
    return out.str();
}

TEST(TamloTiming, EarlyExitComparisonIsDetected)
{
    char a[] = "same", b[] = "same", c[] = "xame";
    ASSERT_TRUE(early_exit_equal(a, b, key_length));
    ASSERT_FALSE(early_exit_equal(a, c, key_length));
    auto seen = measure_until(early_exit_equal, [](double t) { return fabs(t) >= threshold; });
    std::cout << "early-exit comparison: t = " << list(seen) << std::endl;
    EXPECT_GE(fabs(seen.back()), threshold) << "the harness cannot tell the classes apart";
}

TEST(TamloTiming, StrnIseqTimeDoesNotDependOnTheKey)
{
    char a[] = "same", b[] = "same", c[] = "xame";
    ASSERT_TRUE(strn_iseq(a, b, key_length));
    ASSERT_FALSE(strn_iseq(a, c, key_length));
    auto seen = measure_until(strn_iseq, [](double t) { return fabs(t) < threshold; });
    std::cout << "strn_iseq: t = " << list(seen) << std::endl;
    EXPECT_LT(fabs(seen.back()), threshold) << "every attempt: " << list(seen);
}

}  // namespace
