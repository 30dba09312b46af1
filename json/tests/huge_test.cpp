// Texts of several gigabytes, run by hand (some 9 GB of memory, minutes):
//
//   PAMX_HUGE_TESTS=1 ctest --test-dir build -L huge --output-on-failure
//
// and skipped otherwise.
#include "json.h"
#include "tree_testing.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#define SKIP_UNLESS_ASKED()                                                \
    do {                                                                   \
        if (!getenv("PAMX_HUGE_TESTS"))                                    \
            GTEST_SKIP() << "set PAMX_HUGE_TESTS=1 to run the huge tests"; \
    } while (0)

// This text once wrapped the string builder's int sizes and overran the
// heap in the copy of its first run.
TEST(Huge, StringLiteralOfMoreThan4GiB)
{
    SKIP_UNLESS_ASKED();
    const size_t n = 4297064448u;
    auto *text = static_cast<char *>(mmap(nullptr, n + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(text, MAP_FAILED);
    memset(text, 'a', n);
    text[n - 2] = '"';  // one escape after the long run
    char *out = json_encode_string(text);
    EXPECT_EQ(strlen(out), n + 3);
    EXPECT_EQ(out[0], '"');
    EXPECT_EQ(memcmp(out + 1, text, n - 2), 0);
    EXPECT_STREQ(out + n - 1, "\\\"a\"");
    free(out);
    munmap(text, n + 1);
}

// A number whose own digits shift its exponent back by 3 * 10^8.
TEST(Huge, NumberWhoseDigitsShiftItsExponentBack)
{
    SKIP_UNLESS_ASKED();
    std::string text = "0." + std::string(300000000, '0') + "1e300000005";
    tree n(json_decode(text.c_str()));
    ASSERT_TRUE(n);
    EXPECT_EQ(n->number_, 1e4);
    EXPECT_EQ(c_strtod(text.c_str()), 1e4);
}
