// The builder, the codec and the number test are internal to the library;
// these tests compile against the same objects that go into pam_brud.so.
#include "byte_blocks.h"
#include "number.h"
#include "text.h"

#include <gtest/gtest.h>
#include <stdint.h>
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

// Steps of 4 GiB and more: a 4 297 064 448-byte text once wrapped an int
// here and overran a small block.  No memory is needed to test the sums.
TEST(StringBuilder, CapacityArithmeticHoldsHugeSteps)
{
    const size_t huge_run = 4297064448u + 14;
    EXPECT_EQ(sb_grown_capacity(16, 1, huge_run), size_t(1) << 33);
    EXPECT_EQ(sb_grown_capacity(size_t(1) << 32, (size_t(1) << 32) - 1, 2), size_t(1) << 33);
    EXPECT_EQ(sb_grown_capacity(16, 16, 1), 32u);
    EXPECT_EQ(sb_grown_capacity(16, 0, 0), 32u);  // every growth doubles at least once
    // Beyond what any size_t holds: no capacity, which sb_grow reports as out of memory.
    EXPECT_EQ(sb_grown_capacity(16, 10, SIZE_MAX - 5), 0u);
    EXPECT_EQ(sb_grown_capacity(16, SIZE_MAX / 2 + 1, 1), 0u);
}

TEST(OutOfMemory, WritesTheMessageAndExitsWithOne)
{
    EXPECT_EXIT(
        {
            string_builder sb;
            sb_init(&sb);
            sb_grow(&sb, size_t(1) << 39);  // more than the machine has, less than any allocator's limit
        },
        testing::ExitedWithCode(1), "^Out of memory.\n$");
}

TEST(Utf8, ValidateFollowsTheWellFormedTable)
{
    for (const char *good : {"", "\xEF\xBF\xBF", "\xF4\x8F\xBF\xBF", "a\xC3\xA9\xF0\x9F\x98\x80"})
        EXPECT_TRUE(utf8_validate(good)) << good;
    for (const char *bad : {"\xF4\x90\x80\x80", "\xE0\x9F\xBF", "\xED\xBF\xBF", "\xC0\x80", "\xC1\xBF", "\x80",
                            "\xE2\x82", "\xF5\x80\x80\x80", "\xFF\x80\x80\x80"})
        EXPECT_FALSE(utf8_validate(bad)) << bad;
    EXPECT_EQ(utf8_validate_cz(""), 1);  // NUL is a one-byte character
    EXPECT_EQ(utf8_validate_cz("\xF0\x9F\x98\x80"), 4);
}

TEST(Utf8, ReadAndWriteRoundTrip)
{
    const std::pair<uint32_t, int> cases[] = {{0x7F, 1},   {0x80, 2},    {0x7FF, 2},    {0x800, 3},
                                              {0xFFFF, 3}, {0x10000, 4}, {0x10FFFF, 4}};
    for (auto [cp, length] : cases) {
        char buf[5] = {};
        EXPECT_EQ(utf8_write_char(cp, buf), length);
        EXPECT_EQ(utf8_validate_cz(buf), length);
        uint32_t back = 0;
        EXPECT_EQ(utf8_read_char(buf, &back), length);
        EXPECT_EQ(back, cp);
    }
}

TEST(Utf8, SurrogatePairsAndHex)
{
    uint32_t cp = 0;
    EXPECT_TRUE(from_surrogate_pair(0xD83D, 0xDE00, &cp));
    EXPECT_EQ(cp, 0x1F600u);
    cp = 7;
    EXPECT_FALSE(from_surrogate_pair(0xDE00, 0xD83D, &cp));
    EXPECT_FALSE(from_surrogate_pair(0xD83D, 0x0041, &cp));
    EXPECT_EQ(cp, 7u);
    char hex[5] = {};
    EXPECT_EQ(write_hex16(hex, 0xABCD), 4);
    EXPECT_STREQ(hex, "ABCD");
    write_hex16(hex, 0x001F);
    EXPECT_STREQ(hex, "001F");
}

TEST(NumberIsValid, WholeTextMustBeOneNumber)
{
    for (const char *t : {"0", "-0", "1e+05", "1E5", "-12.25", "0.5e-3", "123456789012345678901234567890",
                          "1.7976931348623157e+308", "5e-324", "0e0"})
        EXPECT_TRUE(number_is_valid(t)) << t;
    for (const char *t : {"", "01", "1.", " 1", "1 ", "inf", "-inf", "nan", "Infinity", "+1", ".5", "-", "1e",
                          "1e+", "0x10", "1,5", "1.5.", "--1", "1e5e5", "00", "-01"})
        EXPECT_FALSE(number_is_valid(t)) << t;
}

// Every byte value at every position of a block of plain bytes: the block
// step agrees with the byte loop (whose table the encoder's tests pin), its
// count ending exactly there when the byte is not plain, and the copy holds
// the block's bytes as they lie.  Run in the SSE2 build and in the portable
// one (PAMX_JSON_PORTABLE), which steps eight bytes.
TEST(ByteBlocks, PlainCountEndsAtTheFirstByteToEscapeOrCheck)
{
#ifdef JSON_PORTABLE_BLOCKS
    EXPECT_EQ(block_size, 8u);
#endif
    for (unsigned c = 0; c < 256; c++) {
        bool plain = byte_is_plain(char(c));
        for (size_t at = 0; at < block_size; at++) {
            std::string text(block_size, 'k');
            text[at] = char(c);
            char copy[block_size];
            ASSERT_EQ(copy_plain_block(copy, text.data()), plain ? block_size : at) << c << " " << at;
            ASSERT_EQ(std::string(copy, block_size), text);
        }
    }
}
