// The builder and codec are internal to the library; these tests compile
// against the same objects that go into pam_brud.so.
#include "text.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

static size_t capacity(const string_builder &sb) { return size_t(sb.end - sb.start); }

TEST(StringBuilder, GrowsByDoublingOnlyWhenFull)
{
    string_builder sb;
    sb_init(&sb);
    EXPECT_EQ(capacity(sb), 16u);
    for (int i = 0; i < 16; i++)
        sb_putc(&sb, 'a');
    EXPECT_EQ(capacity(sb), 16u);
    char *text = sb_finish(&sb);  // cur == end: the spare byte takes the NUL
    EXPECT_EQ(std::string(text), std::string(16, 'a'));
    sb.cur = sb.start + 16;
    sb_putc(&sb, 'b');
    EXPECT_EQ(capacity(sb), 32u);
    sb_free(&sb);

    sb_init(&sb);
    std::string hundred(100, 'x');
    sb_put(&sb, hundred.data(), 100);
    EXPECT_EQ(capacity(sb), 128u);
    sb_puts(&sb, "yz");
    char *out = sb_finish(&sb);
    EXPECT_EQ(std::string(out), hundred + "yz");
    free(out);
}

TEST(Utf8, ValidateFollowsTheWellFormedTable)
{
    EXPECT_TRUE(utf8_validate(""));
    EXPECT_TRUE(utf8_validate("\xEF\xBF\xBF"));
    EXPECT_TRUE(utf8_validate("\xF4\x8F\xBF\xBF"));
    EXPECT_TRUE(utf8_validate("a\xC3\xA9\xF0\x9F\x98\x80"));
    EXPECT_FALSE(utf8_validate("\xF4\x90\x80\x80"));
    EXPECT_FALSE(utf8_validate("\xE0\x9F\xBF"));
    EXPECT_FALSE(utf8_validate("\xED\xBF\xBF"));
    EXPECT_FALSE(utf8_validate("\xC0\x80"));
    EXPECT_FALSE(utf8_validate("\xC1\xBF"));
    EXPECT_FALSE(utf8_validate("\x80"));
    EXPECT_FALSE(utf8_validate("\xE2\x82"));
    for (int b = 0xF5; b <= 0xFF; b++) {
        char s[] = {char(b), '\x80', '\x80', '\x80', 0};
        EXPECT_FALSE(utf8_validate(s)) << b;
    }
    EXPECT_EQ(utf8_validate_cz(""), 1);  // NUL is a one-byte character
    EXPECT_EQ(utf8_validate_cz("\xF0\x9F\x98\x80"), 4);
}

TEST(Utf8, ReadAndWriteRoundTrip)
{
    const uint32_t points[] = {0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF};
    const int lengths[] = {1, 2, 2, 3, 3, 4, 4};
    for (size_t i = 0; i < std::size(points); i++) {
        char buf[5] = {};
        int n = utf8_write_char(points[i], buf);
        EXPECT_EQ(n, lengths[i]);
        EXPECT_EQ(utf8_validate_cz(buf), n);
        uint32_t back = 0;
        EXPECT_EQ(utf8_read_char(buf, &back), n);
        EXPECT_EQ(back, points[i]);
    }
}

TEST(Utf8, SurrogatePairsAndHex)
{
    uint32_t cp = 0;
    EXPECT_TRUE(from_surrogate_pair(0xD83D, 0xDE00, &cp));
    EXPECT_EQ(cp, 0x1F600u);
    cp = 7;
    EXPECT_FALSE(from_surrogate_pair(0xDE00, 0xD83D, &cp));
    EXPECT_EQ(cp, 7u);
    EXPECT_FALSE(from_surrogate_pair(0xD83D, 0x0041, &cp));
    char hex[5] = {};
    EXPECT_EQ(write_hex16(hex, 0xABCD), 4);
    EXPECT_STREQ(hex, "ABCD");
    write_hex16(hex, 0x001F);
    EXPECT_STREQ(hex, "001F");
}

TEST(OutOfMemory, WritesTheMessageAndExitsWithOne)
{
    EXPECT_EXIT(
        {
            string_builder sb;
            sb_init(&sb);
            // Each call at least doubles; long before the address space
            // runs out the allocator refuses.
            for (int i = 0; i < 40; i++)
                sb_grow(&sb, 0x7FFFFFFF);
        },
        testing::ExitedWithCode(1), "^Out of memory.\n$");
}
