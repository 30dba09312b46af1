// json_decode and json_validate through pam_brud.so's exported symbols.
#include "json.h"
#include "tree_testing.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <valgrind/memcheck.h>

#include <random>
#include <string>
#include <vector>

// Decodes, and checks on the way that the validator gives the same answer.
static json_node *decode(const std::string &text)
{
    bool valid = json_validate(text.c_str());
    json_node *root = json_decode(text.c_str());
    EXPECT_EQ(valid, root != nullptr) << "validate and decode disagree on: " << text;
    return root;
}

static bool accepts(const std::string &text)
{
    tree root(decode(text));
    return root != nullptr;
}

static double number(const std::string &text)
{
    tree n(decode(text));
    EXPECT_TRUE(n && n->tag == TAG_NUMBER) << text;
    return n ? n->number_ : NAN;
}

// The decoded text of a string literal, or "<rejected>".
static std::string string_value(const std::string &literal)
{
    tree n(decode(literal));
    if (!n)
        return "<rejected>";
    EXPECT_EQ(n->tag, json_tag(TAG_STRING));
    return n->string_;
}

TEST(DecodeGrammar, AcceptsWholeValuesWithSurroundingSpace)
{
    const std::string good[] = {
        "0", "\"\"", "true", "false", "null", "[]", "{}", " \t\r\n[ 1 , 2 ]\n", "[[],[[]],{}]",
        "{\"a\":[1,{\"b\":null}]}", "{\"\":0}", "{ \"a\" : 1 , \"b\" : 2 }", "\"\x7F\"",
        "-0", "0e0", "1E+2", "1.5e-3", "-12.25", "1e-0000000000000000000000001",
        std::string("[1]\0garbage", 11),  // the NUL ends the text
    };
    for (const std::string &t : good)
        EXPECT_TRUE(accepts(t)) << t;
}

TEST(DecodeGrammar, RejectsEverythingElse)
{
    const std::string bad[] = {
        "", " ", "\t\n\r ", "[1,]", "[,1]", "[1 2]", "[1,,2]", "[", "]", "[1", "1 2", "[1]x", "{}{}", "null,",
        "{\"a\":1,}", "{a:1}", "{\"a\" 1}", "{\"a\"}", "{1:2}", "{\"a\":}", "{,}", "{'a':1}", "[1]//c", "/*c*/1",
        "{\"a\"::1}", "{\"a\":1", std::string("[1\0]", 4), std::string("\"a\0\"", 4),
        // Literals match exactly and are followed by what the enclosing rule allows.
        "truex", "nul", "True", "true false", "falsey", "[nullnull]", "nan", "NaN", "Infinity", "-Infinity",
        "undefined",
        // Numbers.
        "01", "-", "+1", ".5", "1.", "1e", "1e+", "0x10", "00", "-01", "1.e5", "--1", "-.5", "1e5.5", "[01]",
        "1_000", "1,5", "\xEF\xBC\x91",
        // Only tab, line feed, carriage return and space are white space.
        "\f1", "1\v", "[1\xC2\xA0]", "\xEF\xBB\xBF[1]", "\x1C" "1",
    };
    for (const std::string &t : bad)
        EXPECT_FALSE(accepts(t)) << t;
}

TEST(DecodeTree, BuildsLinkedTreeInDocumentOrder)
{
    tree root(decode("{\"a\": [1, \"two\", {\"x\": true}], \"\": null, \"a\": -0, \"b\": {}}"));
    ASSERT_TRUE(root);
    EXPECT_EQ(root->tag, json_tag(TAG_OBJECT));
    auto m = linked_children(root.get());
    ASSERT_EQ(m.size(), 4u);
    const char *keys[] = {"a", "", "a", "b"};
    for (size_t i = 0; i < 4; i++)
        EXPECT_STREQ(m[i]->key, keys[i]);
    EXPECT_EQ(json_find_member(root.get(), "a"), m[0]);  // duplicates both kept, first found
    EXPECT_TRUE(m[2]->tag == TAG_NUMBER && signbit(m[2]->number_));
    EXPECT_EQ(m[1]->tag, json_tag(TAG_NULL));
    EXPECT_TRUE(m[3]->tag == TAG_OBJECT && m[3]->children.head == nullptr);
    auto a = linked_children(m[0]);
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[0]->number_, 1.0);
    EXPECT_STREQ(a[1]->string_, "two");
    for (json_node *e : a)
        EXPECT_EQ(e->key, nullptr);
    EXPECT_EQ(json_find_member(a[2], "x")->bool_, true);
}

/* ---- numbers ---- */

TEST(DecodeNumbers, SignsAndTheEdgesOfTheRange)
{
    EXPECT_FALSE(signbit(number("0")));
    EXPECT_TRUE(signbit(number("-0")));
    EXPECT_TRUE(signbit(number("-0.0e5")));
    EXPECT_EQ(number("1e400"), INFINITY);
    EXPECT_EQ(number("-1e99999999999999999999"), -INFINITY);
    EXPECT_TRUE(number("-1e-400") == 0.0 && signbit(number("-1e-400")));
    EXPECT_EQ(number("0e99999999999"), 0.0);
    EXPECT_EQ(number("9007199254740993"), 9007199254740992.0);  // ties to even
}

// The digits of 5^n: 2^-n is 5^n * 10^-n exactly.
static std::string power_of_five(int n)
{
    std::string d = "1";  // least significant digit first
    for (int i = 0; i < n; i++) {
        int carry = 0;
        for (char &c : d) {
            int v = (c - '0') * 5 + carry;
            c = char('0' + v % 10);
            carry = v / 10;
        }
        if (carry)
            d += char('0' + carry);
    }
    return std::string(d.rbegin(), d.rend());
}

// Decodes each text as one number and compares it bit for bit with strtod in
// the C locale; reports the first ten differences.
static void expect_numbers_match_strtod(const std::vector<std::string> &texts)
{
    int mismatches = 0;
    for (const std::string &t : texts) {
        tree n(json_decode(t.c_str()));
        ASSERT_TRUE(n) << t;
        double want = c_strtod(t.c_str());
        if (memcmp(&n->number_, &want, sizeof want) != 0 && ++mismatches <= 10)
            ADD_FAILURE() << t << ": got " << n->number_ << ", strtod gives " << want;
    }
    EXPECT_EQ(mismatches, 0);
}

// Exact halfway cases with hundreds of digits, and one digit past them.
TEST(DecodeNumbers, LongMantissasRoundLikeStrtod)
{
    std::string half_subnormal = power_of_five(1075) + "e-1075";  // 2^-1075: ties to 0
    std::string digits53 = power_of_five(53);
    std::string half_ulp_of_one = "1." + std::string(53 - digits53.size(), '0') + digits53;  // 1 + 2^-53
    std::vector<std::string> texts = {
        half_subnormal, power_of_five(1075) + "1e-1076", "-" + half_subnormal,
        half_ulp_of_one, half_ulp_of_one + "1", half_ulp_of_one + std::string(700, '0') + "1",
        "1" + std::string(800, '0') + "e-800", "0." + std::string(400, '0') + "1e401",
        std::string(200, '1') + "." + std::string(300, '2') + "e-30",
    };
    expect_numbers_match_strtod(texts);
    EXPECT_EQ(number(half_subnormal), 0.0);
    EXPECT_EQ(number(half_ulp_of_one), 1.0);
    EXPECT_EQ(number(half_ulp_of_one + "1"), nextafter(1.0, 2.0));
}

static std::string random_number_text(std::mt19937_64 &rng)
{
    auto pick = [&](int lo, int hi) { return int(std::uniform_int_distribution<int>(lo, hi)(rng)); };
    auto digits = [&](int n, bool lead_nonzero) {
        std::string d;
        for (int i = 0; i < n; i++)
            d += char('0' + (i == 0 && lead_nonzero ? pick(1, 9) : pick(0, 9)));
        return d;
    };
    std::string t = pick(0, 1) ? "-" : "";
    int int_digits = pick(0, 3) == 0 ? 0 : pick(1, 20);
    t += int_digits == 0 ? "0" : digits(int_digits, true);
    if (pick(0, 2))
        t += "." + std::string(pick(0, 3) == 0 ? pick(1, 8) : 0, '0') + digits(pick(1, 18), false);
    if (pick(0, 2) == 0) {
        t += "eE"[pick(0, 1)];
        const char *signs[] = {"", "+", "-"};
        t += signs[pick(0, 2)];
        t += std::to_string(pick(0, 3) == 0 ? pick(0, 330) : pick(0, 40));
    }
    return t;
}

// Random texts of every shape; numbers of up to 19 significant digits over
// the whole exponent range and beyond (below the subnormals, through them,
// up to overflow); printf's round-trip texts of random doubles; integers
// halfway between two doubles; and the edges of the range.
TEST(DecodeNumbers, MatchStrtodBitForBit)
{
    std::mt19937_64 rng(20240611);
    auto pick = [&](int lo, int hi) { return int(std::uniform_int_distribution<int>(lo, hi)(rng)); };
    std::vector<std::string> texts;
    for (int i = 0; i < 200000; i++)
        texts.push_back(random_number_text(rng));
    for (int i = 0; i < 200000; i++) {
        std::string t = pick(0, 1) ? "-" : "";
        t += char('0' + pick(1, 9));
        int more = pick(0, 18);
        if (more)
            t += ".";
        for (int d = 0; d < more; d++)
            t += char('0' + pick(0, 9));
        texts.push_back(t + "e" + std::to_string(pick(-345, 310)));
    }
    for (int i = 0; i < 50000; i++) {
        uint64_t bits = rng();
        if (i % 7 == 0)
            bits &= ~(uint64_t(0x7FF) << 52);  // a subnormal
        double x;
        memcpy(&x, &bits, sizeof x);
        if (!isfinite(x))
            continue;
        for (int digits : {17, 16, 15}) {
            char buf[64];
            snprintf(buf, sizeof buf, "%.*g", digits, x);
            texts.push_back(buf);
        }
    }
    for (int k = 53; k < 64; k++)
        for (int64_t delta : {-1, 0, 1})
            texts.push_back(std::to_string((uint64_t(1) << k) + (uint64_t(1) << (k - 53)) + delta));
    for (const char *t : {"2.2250738585072011e-308", "2.2250738585072012e-308", "2.2250738585072014e-308",
                          "4.9406564584124654e-324", "2.4703282292062327e-324", "2.4703282292062328e-324",
                          "1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308",
                          "9007199254740993", "9007199254740995", "18014398509481993", "7.2057594037927933e16",
                          "1e-342", "1e-343", "9999999999999999999e-343", "1e308", "1e309", "0.1e309",
                          "1234567890123456789e-10", "1e22", "1e23", "123e20", "0.000001",
                          "100000000000000000000000000000000000000000e-41", "1e-0000000000000000000000001"})
        texts.push_back(t);
    expect_numbers_match_strtod(texts);
}

TEST(DecodeNumbers, IndependentOfTheProcessLocale)
{
    ASSERT_NE(setlocale(LC_ALL, "de_DE.UTF-8"), nullptr)
        << "the de_DE.UTF-8 locale is missing (scripts/setup.sh creates it)";
    EXPECT_EQ(strtod("0,5", nullptr), 0.5);  // the host's own strtod reads a comma
    EXPECT_EQ(number("-12.25e1"), -122.5);
    EXPECT_EQ(number("3.14159265358979323846e-5"), c_strtod("3.14159265358979323846e-5"));
    tree a(decode("[1,5]"));
    EXPECT_EQ(linked_children(a.get()).size(), 2u);
    EXPECT_FALSE(accepts("1,5"));
    setlocale(LC_ALL, "C");
}

/* ---- strings ---- */

TEST(DecodeStrings, EscapesDecodeToTheirBytes)
{
    std::pair<std::string, std::string> cases[] = {
        {"\"\\u00e9\\u00E9\"", "\xC3\xA9\xC3\xA9"},
        {"\"\\ud83d\\ude00\\uD83D\\uDE00\"", "\xF0\x9F\x98\x80\xF0\x9F\x98\x80"},
        {"\"\\uDBFF\\uDFFF\"", "\xF4\x8F\xBF\xBF"},
        {"\"\\u0001\\u007f\\u0080\\u07FF\\u0800\\uFFFF\"", "\x01\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
        {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\/\b\f\n\r\t"},
        {"\"\\\\u0041\"", "\\u0041"},  // an escaped backslash, then text
        {"\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x7F\xEF\xBF\xBF\xF4\x8F\xBF\xBF\"",
         "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x7F\xEF\xBF\xBF\xF4\x8F\xBF\xBF"},
        // Escapes decode shorter than written: a long run sizes the buffer.
        {"\"" + repeat("ab\\u00e9\\ud83d\\ude00\\n", 1000) + "\"", repeat("ab\xC3\xA9\xF0\x9F\x98\x80\n", 1000)},
    };
    for (const auto &[literal, text] : cases)
        EXPECT_EQ(string_value(literal), text);
}

TEST(DecodeStrings, BadEscapesAndBytesAreRejected)
{
    std::vector<std::string> bad = {
        "\"\\u0000\"", "\"\\ud83d\"", "\"\\ude00\"", "\"\\ude00\\ud83d\"", "\"\\ud83dx\"", "\"\\ud83d\\u0041\"",
        "\"\\ud83d\\ud83d\"", "\"\\ud83d\\n\"", "\"\\x41\"", "\"\\U00e9\"", "\"\\u12\"", "\"\\u12g4\"", "\"\\\"",
        "\"\\a\"", "\"\\'\"", "\"\\ud83d\\ude0\"", "\"\\ud83d\\", "\"\\u00", "\"", "\"abc", "\"\xC3",
        "[\"a\xFF\", 1]", "{\"k\xFF\": 1}", "{\"\\u0000\": 1}",  // keys follow the same rules
    };
    for (int b = 1; b < 0x20; b++)
        bad.push_back(std::string("\"a") + char(b) + "b\"");
    for (const char *seq : {"\xC0\x80", "\xE2\x82", "\x80", "\xED\xA0\x80", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80",
                            "\xF5\x80\x80\x80", "\xFF", "\xC3\x28"})
        bad.push_back(std::string("\"x") + seq + "y\"");
    for (const std::string &t : bad)
        EXPECT_FALSE(accepts(t)) << t;
}

// Length of the well-formed UTF-8 sequence at the start of s, from the
// Unicode Standard's table of well-formed byte sequences; 0 if none.
static int table_utf8_length(const unsigned char *s)
{
    struct row {
        unsigned char lead_lo, lead_hi, second_lo, second_hi;
        int length;
    };
    static const row rows[] = {
        {0xC2, 0xDF, 0x80, 0xBF, 2}, {0xE0, 0xE0, 0xA0, 0xBF, 3}, {0xE1, 0xEC, 0x80, 0xBF, 3},
        {0xED, 0xED, 0x80, 0x9F, 3}, {0xEE, 0xEF, 0x80, 0xBF, 3}, {0xF0, 0xF0, 0x90, 0xBF, 4},
        {0xF1, 0xF3, 0x80, 0xBF, 4}, {0xF4, 0xF4, 0x80, 0x8F, 4},
    };
    for (const row &r : rows) {
        if (s[0] < r.lead_lo || s[0] > r.lead_hi)
            continue;
        if (s[1] < r.second_lo || s[1] > r.second_hi)
            return 0;
        for (int i = 2; i < r.length; i++)
            if (s[i] < 0x80 || s[i] > 0xBF)
                return 0;
        return r.length;
    }
    return 0;
}

// Every lead byte from 0x80 with every second byte, and a few third and
// fourth bytes, inside a string: accepted exactly when well formed.
TEST(DecodeStrings, MultiByteSequencesMatchTheUnicodeTable)
{
    const unsigned char tails[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF};
    int accepted = 0;
    for (int lead = 0x80; lead <= 0xFF; lead++)
        for (int second = 1; second <= 0xFF; second++)
            for (unsigned char third : tails)
                for (unsigned char fourth : {0x80, 0xBF, 0x41}) {
                    unsigned char seq[5] = {(unsigned char)lead, (unsigned char)second, third, fourth, 0};
                    int n = table_utf8_length(seq);
                    std::string literal = "\"" + std::string(reinterpret_cast<char *>(seq), n ? size_t(n) : strlen((char *)seq)) + "\"";
                    if (json_validate(literal.c_str()) != (n != 0))
                        ADD_FAILURE() << std::hex << lead << " " << second << " " << int(third) << " " << int(fourth);
                    accepted += n != 0;
                }
    EXPECT_GT(accepted, 1000);
}

/* ---- reading, nesting, agreement ---- */

// Every prefix of a document that takes each path of the decoder ends on a
// guard page; every proper prefix is rejected.  The sanitizer and valgrind
// runs also see that the rejected ones leave no memory behind.
TEST(DecodeGrammar, ReadsNothingPastTheTerminator)
{
    std::string doc = "{\"k\\u00e9y\": [1.5e-3, -0, true, false, null, \"\\ud83d\\ude00\xC3\xA9\", {}, [[]]], "
                      "\"n\": [12345678901234567890123, 1e400, 0.1], \"s\": \"" + std::string(100, 'x') + "\"}";
    for (size_t len = 0; len <= doc.size(); len++) {
        guarded_text g(doc.substr(0, len));
        bool valid = json_validate(g.text);
        tree root(json_decode(g.text));
        EXPECT_EQ(valid, root != nullptr) << g.text;
        EXPECT_EQ(valid, len == doc.size()) << g.text;
    }
}

// Runs of digits, white space and string bytes of every length up to a few
// blocks, each ending the text on a guard page: a block read past the NUL
// faults here in every build.  The same runs inside a text longer than the
// decoder's reading window, across its edges, are read whole.
TEST(DecodeGrammar, LongRunsEndOnTheTerminator)
{
    for (size_t n = 1; n < 80; n++) {
        std::string digits(n, '7'), blanks(n, ' '), body(n, 'x');
        for (const std::string &text : {digits, "0." + digits, "1e" + digits, "[1" + blanks + "]", "1" + blanks,
                                        "\"" + body + "\"", "[\"" + body + "\"]", blanks + "[]"}) {
            guarded_text g(text);
            EXPECT_TRUE(json_validate(g.text)) << text;
            EXPECT_TRUE(tree(json_decode(g.text))) << text;
        }
        for (const std::string &text : {"-" + digits + ".", "\"" + body, "[" + blanks, digits + "x"}) {
            guarded_text g(text);
            EXPECT_FALSE(json_validate(g.text)) << text;
            EXPECT_FALSE(tree(json_decode(g.text))) << text;
        }
    }
    for (size_t shift = 0; shift < 48; shift++) {
        std::string text = std::string(4096 - 24 + shift, ' ') + "[" + std::string(40, '3') + ", \"" +
                           std::string(40, 'y') + "\"," + std::string(30, '\n') + "0.5]";
        EXPECT_TRUE(json_validate(text.c_str())) << shift;
        tree root(json_decode(text.c_str()));
        ASSERT_TRUE(root) << shift;
        EXPECT_EQ(std::string(json_first_child(root.get())->next->string_), std::string(40, 'y'));
        text[4096 + shift] = '\x01';  // in the digits, where the window's edge lies
        EXPECT_FALSE(json_validate(text.c_str())) << shift;
        EXPECT_FALSE(tree(json_decode(text.c_str()))) << shift;
    }
}

static std::string nested(size_t depth, const char *open, const char *close, const char *inner = "")
{
    return repeat(open, depth) + inner + repeat(close, depth);
}

TEST(DecodeDepth, AThousandLevelsAcceptedOneMoreRejected)
{
    const size_t max = JSON_MAX_DEPTH;
    EXPECT_TRUE(accepts(nested(max, "[", "]")));
    EXPECT_FALSE(accepts(nested(max + 1, "[", "]")));
    EXPECT_TRUE(accepts(nested(max - 1, "{\"a\":", "}", "[]")));
    EXPECT_FALSE(accepts(nested(max, "{\"a\":", "}", "[]")));
    EXPECT_TRUE(accepts(nested(max / 2, "[{\"k\":", "}]", "0")));
    EXPECT_FALSE(accepts(nested(max / 2, "[{\"k\":", "}]", "[1]")));
    // Depth is nesting, not count: siblings at the limit are fine.
    EXPECT_TRUE(accepts(nested(max - 1, "[", "]", "1,[],{},3")));
    EXPECT_FALSE(accepts(nested(max - 1, "[", "]", "[1,[],2]")));
    EXPECT_TRUE(accepts("[" + nested(max - 1, "[", "]") + "," + nested(max - 1, "[", "]") + "]"));
}

struct depth_case {
    std::string text;
    bool valid = false;
    bool decoded = false;
};

// Runs both readers on c (a depth_case) on a painted stack of our own and
// returns how many bytes of it were used.
static size_t stack_used(size_t stack_size, depth_case *c)
{
    void *stack = mmap(nullptr, stack_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(stack, MAP_FAILED);
    memset(stack, 0xA5, stack_size);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    EXPECT_EQ(pthread_attr_setstack(&attr, stack, stack_size), 0);
    pthread_t t;
    auto run = [](void *arg) -> void * {
        auto *dc = static_cast<depth_case *>(arg);
        dc->valid = json_validate(dc->text.c_str());
        json_node *root = json_decode(dc->text.c_str());
        dc->decoded = root != nullptr;
        json_delete(root);
        return nullptr;
    };
    EXPECT_EQ(pthread_create(&t, &attr, run, c), 0);
    pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
    // Memcheck marks a finished thread's stack unreadable; the bytes are ours.
    VALGRIND_MAKE_MEM_DEFINED(stack, stack_size);
    size_t untouched = 0;
    while (untouched < stack_size && static_cast<unsigned char *>(stack)[untouched] == 0xA5)
        untouched++;
    munmap(stack, stack_size);
    return stack_size - untouched;
}

TEST(DecodeDepth, ShallowStackSufficesAtTheLimit)
{
    // The bound holds for optimised builds.  Instrumented frames carry red
    // zones (and the allocator records stacks); unoptimised ones are large.
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__)
    const bool optimised = true;
    const size_t stack_size = 256 * 1024;
#else
    const bool optimised = false;
    const size_t stack_size = 1024 * 1024;
#endif
    depth_case cases[] = {
        {nested(JSON_MAX_DEPTH, "[", "]")},
        {nested(JSON_MAX_DEPTH / 2, "{\"key\":[", "]}")},
        {std::string(100000, '[')},
        {nested(JSON_MAX_DEPTH + 1, "[", "]")},
    };
    size_t most = 0;
    for (auto &c : cases)
        most = std::max(most, stack_used(stack_size, &c));
    EXPECT_TRUE(cases[0].valid && cases[0].decoded);
    EXPECT_TRUE(cases[1].valid && cases[1].decoded);
    EXPECT_FALSE(cases[2].valid || cases[2].decoded);
    EXPECT_FALSE(cases[3].valid || cases[3].decoded);
    // Positive control for the measurement: a thousand frames cannot fit in 16 KiB.
    EXPECT_GT(most, 16u * 1024);
    if (optimised) {
        EXPECT_LT(most, stack_size / 2) << "bytes of stack used at the depth limit";
    }
}

// Every text of up to three bytes from an alphabet of the grammar's bytes
// and a few strangers.
TEST(DecodeAgreement, ValidateAndDecodeAgreeOnAllShortTexts)
{
    const std::string alphabet = "[]{}\":,-+.0159eEtfnu\\ \t\x01\x7F\xC3\xA9\xFF";
    int accepted = 0;
    for (size_t a = 0; a <= alphabet.size(); a++)
        for (size_t b = 0; b <= alphabet.size(); b++)
            for (size_t c = 0; c <= alphabet.size(); c++) {
                std::string t;
                for (size_t i : {a, b, c})
                    if (i < alphabet.size())
                        t += alphabet[i];
                accepted += accepts(t);
            }
    EXPECT_GT(accepted, 100);  // numbers, "[]", "{}", "\"x\"", ...
}
