// json_encode_string through pam_brud.so's exported symbol.
#include "json.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <random>
#include <string>

static std::string encode(const std::string &s)
{
    char *out = json_encode_string(s.c_str());
    std::string r(out);
    free(out);
    return r;
}

// An independent check that a text is one JSON string literal in valid UTF-8.
static bool is_json_string_literal(const std::string &s)
{
    if (s.size() < 2 || s.front() != '"' || s.back() != '"')
        return false;
    for (size_t i = 1; i + 1 < s.size();) {
        unsigned char c = s[i];
        if (c == '"' || c < 0x20)
            return false;
        if (c == '\\') {
            char e = s[i + 1];
            if (e == 'u') {
                for (int k = 2; k < 6; k++)
                    if (!isxdigit((unsigned char)s[i + k]))
                        return false;
                i += 6;
            } else if (std::string("\"\\/bfnrt").find(e) != std::string::npos) {
                i += 2;
            } else {
                return false;
            }
            continue;
        }
        int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        if (c >= 0x80 && (c < 0xC2 || c > 0xF4))
            return false;
        for (int k = 1; k < n; k++)
            if (((unsigned char)s[i + k] & 0xC0) != 0x80)
                return false;
        if (n == 3) {
            unsigned char b = s[i + 1];
            if ((c == 0xE0 && b < 0xA0) || (c == 0xED && b > 0x9F))
                return false;
        }
        if (n == 4) {
            unsigned char b = s[i + 1];
            if ((c == 0xF0 && b < 0x90) || (c == 0xF4 && b > 0x8F))
                return false;
        }
        i += n;
    }
    return true;
}

static const std::string fffd = "\xEF\xBF\xBD";

TEST(EncodeString, EscapesAndPassThrough)
{
    EXPECT_EQ(encode(""), "\"\"");
    EXPECT_EQ(encode("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
    EXPECT_EQ(encode("\b\t\n\f\r"), "\"\\b\\t\\n\\f\\r\"");
    EXPECT_EQ(encode("\x01\x0B\x1F\x1B"), "\"\\u0001\\u000B\\u001F\\u001B\"");
    EXPECT_EQ(encode("\x7F"), "\"\x7F\"");
    EXPECT_EQ(encode("\xC3\xA9\xF0\x9F\x98\x80"), "\"\xC3\xA9\xF0\x9F\x98\x80\"");
}

TEST(EncodeString, InvalidBytesBecomeReplacementCharacters)
{
    EXPECT_EQ(encode("\xFF"), "\"" + fffd + "\"");
    EXPECT_EQ(encode("\xC0\xAF"), "\"" + fffd + fffd + "\"");
    EXPECT_EQ(encode("\xED\xA0\x80"), "\"" + fffd + fffd + fffd + "\"");
    EXPECT_EQ(encode("\xE2\x82"), "\"" + fffd + fffd + "\"");
    EXPECT_EQ(encode("x\x80y"), "\"x" + fffd + "y\"");
    EXPECT_EQ(encode("\xF4\x90\x80\x80"), "\"" + fffd + fffd + fffd + fffd + "\"");
    // A broken sequence followed by a valid character keeps the character.
    EXPECT_EQ(encode("\xE2\xC3\xA9"), "\"" + fffd + "\xC3\xA9\"");
}

TEST(EncodeString, ReadsNothingPastTheTerminator)
{
    // The truncated sequence sits at the very end of a heap block: a read
    // past the NUL would be caught by the sanitizer or valgrind runs.
    char *text = static_cast<char *>(malloc(3));
    memcpy(text, "\xE2\x82", 3);
    char *out = json_encode_string(text);
    EXPECT_EQ(std::string(out), "\"" + fffd + fffd + "\"");
    free(out);
    free(text);
}

TEST(EncodeString, LongRunsMatchTheCharacterByCharacterRule)
{
    // Runs around the 8-byte words of the fast path, with a special byte at
    // every offset.
    for (size_t len = 0; len < 40; len++) {
        for (size_t at = 0; at <= len; at++) {
            for (char special : {'"', '\\', '\n', '\x01', '\x80'}) {
                std::string s(len, 'k');
                if (at < len)
                    s[at] = special;
                std::string expect = "\"";
                for (char c : s) {
                    if (c == '"') expect += "\\\"";
                    else if (c == '\\') expect += "\\\\";
                    else if (c == '\n') expect += "\\n";
                    else if (c == '\x01') expect += "\\u0001";
                    else if (c == '\x80') expect += fffd;
                    else expect += c;
                }
                ASSERT_EQ(encode(s), expect + "\"") << len << " " << at;
            }
        }
    }
    std::string big(1 << 20, 'q');
    EXPECT_EQ(encode(big), "\"" + big + "\"");
}

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
        int pieces = rng() % 12;
        for (int i = 0; i < pieces; i++) {
            if (rng() % 3 == 0)
                s += char(1 + rng() % 255);
            else
                s += families[rng() % std::size(families)];
        }
        std::string out = encode(s);
        ASSERT_TRUE(is_json_string_literal(out)) << out;
    }
}
