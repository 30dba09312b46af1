// json_encode_string through pam_brud.so's exported symbol.
#include "json.h"
#include "tree_testing.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <random>
#include <string>

static std::string literal(const std::string &s) { return take_string(json_encode_string(s.c_str())); }

static const std::string fffd = "\xEF\xBF\xBD";

TEST(EncodeString, EscapesPassThroughAndReplacement)
{
    std::pair<std::string, std::string> cases[] = {
        {"", "\"\""},
        {"a\"b\\c/d", "\"a\\\"b\\\\c/d\""},
        {"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
        {"\x01\x0B\x1F\x1B", "\"\\u0001\\u000B\\u001F\\u001B\""},
        {"\x7F", "\"\x7F\""},
        {"\xC3\xA9\xF0\x9F\x98\x80", "\"\xC3\xA9\xF0\x9F\x98\x80\""},
        // Every byte that starts no valid character is replaced on its own.
        {"\xFF", "\"" + fffd + "\""},
        {"\xC0\xAF", "\"" + fffd + fffd + "\""},
        {"\xED\xA0\x80", "\"" + fffd + fffd + fffd + "\""},
        {"x\x80y", "\"x" + fffd + "y\""},
        {"\xF4\x90\x80\x80", "\"" + fffd + fffd + fffd + fffd + "\""},
        {"\xE2\xC3\xA9", "\"" + fffd + "\xC3\xA9\""},  // the valid character after is kept
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(literal(text), expected);
}

TEST(EncodeString, ReadsNothingPastTheTerminator)
{
    guarded_text truncated("\xE2\x82");
    EXPECT_EQ(take_string(json_encode_string(truncated.text)), "\"" + fffd + fffd + "\"");
}

// Runs around the blocks of the fast path (8 or 16 bytes), with a special
// byte or a multi-byte character at every offset, each text ending at the
// end of a readable page, and one long run.
TEST(EncodeString, SpecialBytesAtEveryOffsetOfLongRuns)
{
    const std::pair<std::string, std::string> specials[] = {
        {"\"", "\\\""}, {"\\", "\\\\"}, {"\n", "\\n"}, {"\x01", "\\u0001"}, {"\x80", fffd},
        {"\xC3\xA9", "\xC3\xA9"}, {"\xE6\x97\xA5\xE6\x9C\xAC", "\xE6\x97\xA5\xE6\x9C\xAC"}, {"\xE2\x82", fffd + fffd}};
    for (size_t len = 1; len < 56; len++)
        for (size_t at = 0; at < len; at++)
            for (const auto &[special, escaped] : specials) {
                std::string s(len, 'k');
                s.replace(at, 1, special);
                guarded_text text(s);
                ASSERT_EQ(take_string(json_encode_string(text.text)),
                          "\"" + s.substr(0, at) + escaped + s.substr(at + special.size()) + "\"")
                    << len << " " << at;
            }
    std::string big(1 << 20, 'q');
    EXPECT_EQ(literal(big), "\"" + big + "\"");
}

// Whatever the bytes, the result is one string literal that the (strict)
// decoder accepts.
TEST(EncodeString, AnyBytesGiveOneValidLiteral)
{
    std::mt19937 rng(12345);
    const std::string families[] = {
        "\xC0\x80", "\xC1\xBF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF",  // overlongs
        "\xED\xA0\x80", "\xED\xBF\xBF",                              // surrogates
        "\xE2\x82", "\xF0\x9F\x98", "\xC3",                          // truncated
        "\x80", "\xBF", "\x9F\x98",                                  // lone continuations
        "\xF5\x80\x80\x80", "\xF8", "\xFE", "\xFF",                  // never valid
        "\xC3\xA9", "\xF0\x9F\x98\x80", "a", "\"", "\\", "\x1F"};
    for (int round = 0; round < 5000; round++) {
        std::string s;
        for (int pieces = rng() % 12; pieces > 0; pieces--)
            s += rng() % 3 == 0 ? std::string(1, char(1 + rng() % 255)) : families[rng() % std::size(families)];
        std::string out = literal(s);
        tree decoded(json_decode(out.c_str()));
        ASSERT_TRUE(decoded && decoded->tag == TAG_STRING) << out;
    }
}
