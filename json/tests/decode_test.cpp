// json_decode and json_validate through pam_brud.so's exported symbols.
#include "json.h"
#include "tree_testing.h"

#include <gtest/gtest.h>
#include <dirent.h>
#include <locale.h>
#include <math.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>
#include <valgrind/memcheck.h>

#include <fstream>
#include <random>
#include <sstream>
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
    json_node *root = decode(text);
    json_delete(root);
    return root != nullptr;
}

static double number(const std::string &text)
{
    json_node *n = decode(text);
    EXPECT_NE(n, nullptr) << text;
    if (!n)
        return NAN;
    EXPECT_EQ(n->tag, (json_tag)TAG_NUMBER) << text;
    double x = n->number_;
    json_delete(n);
    return x;
}

// The decoded text of a string literal, or "<rejected>".
static std::string string_value(const std::string &literal)
{
    json_node *n = decode(literal);
    if (!n)
        return "<rejected>";
    EXPECT_EQ(n->tag, (json_tag)TAG_STRING);
    std::string s = n->string_;
    json_delete(n);
    return s;
}

TEST(DecodeGrammar, AcceptsWholeValuesWithSurroundingSpace)
{
    const char *good[] = {
        "0", "\"\"", "\"x\"", "true", "false", "null", "[]", "{}", " \t\r\n[ 1 , 2 ]\n",
        "[1,2]", "[ ]", "{ }", "[[],[[]],{}]", "{\"a\":[1,{\"b\":null}]}",
        "{\"\":0}", "{ \"a\" : 1 , \"b\" : 2 }", "-1.5e+10", "\"\x7F\"",
        "[true,false,null]", "\r\n\t 7 \r\n\t",
    };
    for (const char *t : good)
        EXPECT_TRUE(accepts(t)) << t;
}

TEST(DecodeGrammar, RejectsEverythingElse)
{
    const char *bad[] = {
        "", " ", "\t\n\r ", "[1,]", "[,1]", "[1 2]", "[1,,2]", "[", "]", "[1", "[1,",
        "1 2", "[1]x", "[1] ]", "{}{}", "\"a\"\"b\"", "null,",
        "\xEF\xBB\xBF[1]",  // byte-order mark
        "{\"a\":1,}", "{a:1}", "{\"a\" 1}", "{\"a\"}", "{1:2}", "{\"a\":}", "{,}", "{\"a\":1 \"b\":2}",
        "{'a':1}", "['a']", "[1]//c", "/*c*/1", "{\"a\"::1}", "{\"a\":1", "{\"a\"",
        "undefined", "nil", "-", "[-]", "+", "x",
    };
    for (const char *t : bad)
        EXPECT_FALSE(accepts(t)) << t;
}

TEST(DecodeGrammar, OnlyFourBytesAreWhiteSpace)
{
    for (const char *ws : {" ", "\t", "\n", "\r"})
        EXPECT_TRUE(accepts(std::string(ws) + "[" + ws + "1" + ws + "," + ws + "2" + ws + "]" + ws));
    for (const char *other : {"\f", "\v", "\xC2\xA0", "\xEF\xBB\xBF", "\x1C"}) {
        EXPECT_FALSE(accepts(std::string(other) + "1")) << "before";
        EXPECT_FALSE(accepts(std::string("1") + other)) << "after";
        EXPECT_FALSE(accepts(std::string("[1") + other + "]")) << "inside";
    }
}

TEST(DecodeGrammar, NulEndsTheText)
{
    std::string with_nul("[1]\0garbage", 11);
    EXPECT_TRUE(accepts(with_nul));  // only "[1]" is seen
    EXPECT_FALSE(accepts(std::string("[1\0]", 4)));
    EXPECT_FALSE(accepts(std::string("\"a\0\"", 4)));
}

TEST(DecodeGrammar, LiteralsMatchExactly)
{
    for (const char *t : {"truex", "nul", "True", "TRUE", "true false", "fals", "falsey", "nulll",
                          "t", "[tru]", "[nullnull]", "nan", "NaN", "Infinity", "-Infinity", "inf"})
        EXPECT_FALSE(accepts(t)) << t;
    json_node *n = decode("[true,false,null]");
    ASSERT_NE(n, nullptr);
    auto k = linked_children(n);
    ASSERT_EQ(k.size(), 3u);
    EXPECT_EQ(k[0]->tag, (json_tag)TAG_BOOL);
    EXPECT_EQ(k[0]->bool_, true);
    EXPECT_EQ(k[1]->tag, (json_tag)TAG_BOOL);
    EXPECT_EQ(k[1]->bool_, false);
    EXPECT_EQ(k[2]->tag, (json_tag)TAG_NULL);
    json_delete(n);
}

TEST(DecodeTree, BuildsLinkedTreeInDocumentOrder)
{
    json_node *root = decode("{\"a\": [1, \"two\", {\"x\": true}], \"\": null, \"a\": -0, \"b\": {}}");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->tag, (json_tag)TAG_OBJECT);
    EXPECT_EQ(root->parent, nullptr);
    EXPECT_EQ(root->key, nullptr);
    auto m = linked_children(root);
    ASSERT_EQ(m.size(), 4u);
    const char *keys[] = {"a", "", "a", "b"};
    for (size_t i = 0; i < 4; i++)
        EXPECT_STREQ(m[i]->key, keys[i]);
    EXPECT_EQ(json_find_member(root, "a"), m[0]);  // duplicates both kept, first found
    EXPECT_EQ(m[2]->tag, (json_tag)TAG_NUMBER);
    EXPECT_TRUE(signbit(m[2]->number_));
    EXPECT_EQ(m[3]->tag, (json_tag)TAG_OBJECT);
    EXPECT_EQ(m[3]->children.head, nullptr);

    auto a = linked_children(m[0]);
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[0]->number_, 1.0);
    EXPECT_STREQ(a[1]->string_, "two");
    for (json_node *e : a)
        EXPECT_EQ(e->key, nullptr);  // array elements carry no key
    ASSERT_EQ(a[2]->tag, (json_tag)TAG_OBJECT);
    EXPECT_EQ(json_find_member(a[2], "x")->bool_, true);
    json_delete(root);
}

TEST(DecodeNumbers, AcceptedFormsAndTheirValues)
{
    EXPECT_EQ(number("0"), 0.0);
    EXPECT_FALSE(signbit(number("0")));
    double neg_zero = number("-0");
    EXPECT_EQ(neg_zero, 0.0);
    EXPECT_TRUE(signbit(neg_zero));
    EXPECT_TRUE(signbit(number("-0.0e5")));
    EXPECT_EQ(number("0e0"), 0.0);
    EXPECT_EQ(number("1E+2"), 100.0);
    EXPECT_EQ(number("1.5e-3"), 0.0015);
    EXPECT_EQ(number("-12.25"), -12.25);
    EXPECT_EQ(number("123456789"), 123456789.0);
    EXPECT_EQ(number("0.1"), 0.1);
    EXPECT_EQ(number("1e22"), 1e22);
    EXPECT_EQ(number("1e23"), 1e23);
    EXPECT_EQ(number("123e20"), 123e20);
    EXPECT_EQ(number("9007199254740993"), 9007199254740992.0);  // rounds to even
    EXPECT_EQ(number("17976931348623157e292"), 1.7976931348623157e308);
    EXPECT_EQ(number("0.000001"), 1e-6);
    EXPECT_EQ(number("1e-0000000000000000000000001"), 0.1);
    EXPECT_EQ(number("100000000000000000000000000000000000000000e-41"), 1.0);
}

TEST(DecodeNumbers, OutOfRangeGivesInfinityZeroOrSubnormal)
{
    EXPECT_EQ(number("1e400"), INFINITY);
    EXPECT_EQ(number("-1e400"), -INFINITY);
    EXPECT_EQ(number("1e99999999999999999999"), INFINITY);
    EXPECT_EQ(number("1e-400"), 0.0);
    EXPECT_TRUE(signbit(number("-1e-400")));
    EXPECT_EQ(number("-1e-400"), 0.0);
    EXPECT_EQ(number("4.9406564584124654e-324"), 4.9406564584124654e-324);
    EXPECT_EQ(number("2.2250738585072011e-308"), 2.2250738585072011e-308);  // subnormal
    EXPECT_EQ(number("0e99999999999"), 0.0);
}

TEST(DecodeNumbers, MalformedNumbersAreRejected)
{
    for (const char *t : {"01", "-", "+1", ".5", "1.", "1e", "1e+", "1e-", "0x10", "00", "-01",
                          "1.e5", "1.5e", "--1", "-.5", "1e5.5", "1ee5", "0.5.1", "[01]", "[1.]",
                          "{\"a\":-}", "1_000", "1,5", "\xEF\xBC\x91"})
        EXPECT_FALSE(accepts(t)) << t;
}

static bool same_double(double a, double b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

// Decodes each text as one number and compares it bit for bit with strtod in
// the C locale; reports the first ten differences.
static void expect_numbers_match_strtod(const std::vector<std::string> &texts)
{
    int mismatches = 0;
    for (const std::string &t : texts) {
        json_node *n = json_decode(t.c_str());
        ASSERT_NE(n, nullptr) << t;
        double want = c_strtod(t.c_str());
        if (!same_double(n->number_, want) && ++mismatches <= 10)
            ADD_FAILURE() << t << ": got " << n->number_ << ", strtod gives " << want;
        json_delete(n);
    }
    EXPECT_EQ(mismatches, 0);
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
    if (pick(0, 2)) {
        int zeros = pick(0, 3) == 0 ? pick(1, 8) : 0;
        t += "." + std::string(zeros, '0') + digits(pick(1, 18), false);
    }
    if (pick(0, 2) == 0) {
        t += "eE"[pick(0, 1)];
        const char *signs[] = {"", "+", "-"};
        t += signs[pick(0, 2)];
        t += std::to_string(pick(0, 3) == 0 ? pick(0, 330) : pick(0, 40));
    }
    return t;
}

// The exact shortcut for short numbers must give exactly what strtod gives.
TEST(DecodeNumbers, ValuesMatchStrtodOnARandomSample)
{
    std::mt19937_64 rng(20240611);
    std::vector<std::string> texts;
    for (int i = 0; i < 200000; i++)
        texts.push_back(random_number_text(rng));
    expect_numbers_match_strtod(texts);
}

// Numbers of up to 19 significant digits over the whole exponent range of a
// double and beyond: below the subnormals, through them, up to overflow.
TEST(DecodeNumbers, LongDigitsMatchStrtodOverTheWholeRange)
{
    std::mt19937_64 rng(7);
    auto pick = [&](int lo, int hi) { return int(std::uniform_int_distribution<int>(lo, hi)(rng)); };
    std::vector<std::string> texts;
    for (int i = 0; i < 200000; i++) {
        int digits = pick(1, 19);
        std::string t = pick(0, 1) ? "-" : "";
        t += char('0' + pick(1, 9));
        std::string rest;
        for (int d = 1; d < digits; d++)
            rest += char('0' + pick(0, 9));
        if (!rest.empty())
            t += "." + rest;
        t += "e" + std::to_string(pick(-345, 310));
        texts.push_back(t);
    }
    // Round-trip forms of random doubles, and integers halfway between two
    // doubles (ties go to the even neighbour).
    for (int i = 0; i < 50000; i++) {
        uint64_t bits = rng();
        if (i % 7 == 0)
            bits &= ~(uint64_t(0x7FF) << 52);  // a subnormal
        double x;
        memcpy(&x, &bits, sizeof x);
        if (!isfinite(x))
            continue;
        for (const char *fmt : {"%.17g", "%.16g", "%.15g"}) {
            char buf[64];
            snprintf(buf, sizeof buf, fmt, x);
            texts.push_back(buf);
        }
    }
    for (int k = 53; k < 64; k++)
        for (int64_t delta : {-1, 0, 1})
            texts.push_back(std::to_string((uint64_t(1) << k) + (uint64_t(1) << (k - 53)) + delta));
    for (const char *t : {"2.2250738585072011e-308", "2.2250738585072012e-308", "2.2250738585072014e-308",
                          "4.9406564584124654e-324", "2.4703282292062327e-324", "2.4703282292062328e-324",
                          "1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308",
                          "9007199254740993", "9007199254740995", "18014398509481993",
                          "7.2057594037927933e16", "1e-342", "1e-343", "9999999999999999999e-343",
                          "1e308", "1e309", "0.1e309", "1234567890123456789e-10"})
        texts.push_back(t);
    expect_numbers_match_strtod(texts);
}

TEST(DecodeNumbers, IndependentOfTheProcessLocale)
{
    ASSERT_NE(setlocale(LC_ALL, "de_DE.UTF-8"), nullptr)
        << "the de_DE.UTF-8 locale is missing (scripts/setup.sh creates it)";
    // Positive control: in this locale the host's own strtod reads a comma.
    EXPECT_EQ(strtod("0,5", nullptr), 0.5);
    EXPECT_EQ(number("0.5"), 0.5);
    EXPECT_EQ(number("-12.25e1"), -122.5);
    EXPECT_EQ(number("0.12345678901234567"), c_strtod("0.12345678901234567"));
    EXPECT_EQ(number("3.14159265358979323846e-5"), c_strtod("3.14159265358979323846e-5"));
    json_node *a = decode("[1,5]");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(linked_children(a).size(), 2u);
    json_delete(a);
    EXPECT_FALSE(accepts("1,5"));
    setlocale(LC_ALL, "C");
}

TEST(DecodeStrings, EscapesDecodeToTheirBytes)
{
    EXPECT_EQ(string_value("\"\\u00e9\""), "\xC3\xA9");
    EXPECT_EQ(string_value("\"\\u00E9\""), "\xC3\xA9");
    EXPECT_EQ(string_value("\"\\ud83d\\ude00\""), "\xF0\x9F\x98\x80");
    EXPECT_EQ(string_value("\"\\uD83D\\uDE00\""), "\xF0\x9F\x98\x80");
    EXPECT_EQ(string_value("\"\\uDBFF\\uDFFF\""), "\xF4\x8F\xBF\xBF");
    EXPECT_EQ(string_value("\"\\u0001\\u007f\\u0080\\u07FF\\u0800\\uFFFF\""),
              "\x01\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
    EXPECT_EQ(string_value("\"\\/\""), "/");
    EXPECT_EQ(string_value("\"\\\"\\\\\\/\\b\\f\\n\\r\\t\""), "\"\\/\b\f\n\r\t");
    EXPECT_EQ(string_value("\"a\\nb\\u0041c\""), "a\nbAc");
    EXPECT_EQ(string_value("\"\""), "");
    EXPECT_EQ(string_value("\"\\\\u0041\""), "\\u0041");  // an escaped backslash, then text
    EXPECT_EQ(string_value("\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x7F\""),
              "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x7F");
    // Six escapes of one byte each decode shorter than written; a long run
    // of both kinds exercises the sizing of the buffer.
    std::string lit = "\"", want;
    for (int i = 0; i < 1000; i++) {
        lit += "ab\\u00e9\\ud83d\\ude00\\n";
        want += "ab\xC3\xA9\xF0\x9F\x98\x80\n";
    }
    EXPECT_EQ(string_value(lit + "\""), want);
}

TEST(DecodeStrings, BadEscapesAreRejected)
{
    for (const char *t : {"\"\\u0000\"", "\"\\ud83d\"", "\"\\ude00\"", "\"\\ude00\\ud83d\"",
                          "\"\\ud83dx\"", "\"\\ud83d\\u0041\"", "\"\\ud83d\\ud83d\"",
                          "\"\\ud83d\\n\"", "\"\\ude00\\n\"", "\"\\x41\"", "\"\\U00e9\"",
                          "\"\\u12\"", "\"\\u123\"", "\"\\u12g4\"", "\"\\u\"", "\"\\\"",
                          "\"\\a\"", "\"\\0\"", "\"\\'\"", "\"\\ud83d\\u\"", "\"\\ud83d\\ude0\"",
                          "\"\\ud83d\\", "\"\\u00"})
        EXPECT_EQ(string_value(t), "<rejected>") << t;
}

TEST(DecodeStrings, RawBytesFollowStrictUtf8)
{
    for (int b = 1; b < 0x20; b++)
        EXPECT_EQ(string_value(std::string("\"a") + char(b) + "b\""), "<rejected>") << b;
    const char *bad[] = {"\xC0\x80", "\xC1\xBF", "\xC3", "\xE2\x82", "\xF0\x9F\x98", "\x80",
                         "\xBF", "\xED\xA0\x80", "\xED\xBF\xBF", "\xE0\x9F\xBF",
                         "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80",
                         "\xF8", "\xFE", "\xFF", "\xC3\x28"};
    for (const char *b : bad)
        EXPECT_EQ(string_value(std::string("\"x") + b + "y\""), "<rejected>") << b;
    for (int b = 0xF5; b <= 0xFF; b++)
        EXPECT_EQ(string_value(std::string("\"") + char(b) + "\""), "<rejected>") << b;
    EXPECT_EQ(string_value("\"\xEF\xBF\xBF\xF4\x8F\xBF\xBF\""), "\xEF\xBF\xBF\xF4\x8F\xBF\xBF");
    for (const char *t : {"\"", "\"abc", "\"abc\\\"", "\"\xC3"})
        EXPECT_EQ(string_value(t), "<rejected>") << t;
    EXPECT_FALSE(accepts("[\"a\xFF\", 1]"));
    EXPECT_FALSE(accepts("{\"k\xFF\": 1}"));  // keys follow the same rules
    EXPECT_FALSE(accepts("{\"\\u0000\": 1}"));
}

// Length of the well-formed UTF-8 sequence at the start of s (Unicode's
// table of well-formed byte sequences), 0 if there is none.
static int reference_utf8_length(const unsigned char *s)
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
                    int n = reference_utf8_length(seq);
                    std::string body(reinterpret_cast<char *>(seq), n ? n : strlen((char *)seq));
                    bool want = n != 0;
                    std::string literal = "\"" + body + "\"";
                    if (json_validate(literal.c_str()) != want)
                        ADD_FAILURE() << std::hex << lead << " " << second << " " << int(third) << " "
                                      << int(fourth);
                    accepted += want;
                }
    EXPECT_GT(accepted, 1000);
}

// Text placed so that its terminating NUL is the last byte of a readable
// page: a read past it faults.
struct guarded_text {
    size_t page_size = size_t(sysconf(_SC_PAGESIZE));
    char *pages = nullptr;
    const char *text = nullptr;
    explicit guarded_text(const std::string &s)
    {
        void *m = mmap(nullptr, 2 * page_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(m, MAP_FAILED);
        EXPECT_LT(s.size(), page_size);
        pages = static_cast<char *>(m);
        EXPECT_EQ(mprotect(pages + page_size, page_size, PROT_NONE), 0);
        char *at = pages + page_size - s.size() - 1;
        memcpy(at, s.c_str(), s.size() + 1);
        text = at;
    }
    ~guarded_text() { munmap(pages, 2 * page_size); }
};

TEST(DecodeGrammar, ReadsNothingPastTheTerminator)
{
    std::string doc = "{\"k\\u00e9y\": [1.5e-3, -0, true, false, null, \"\\ud83d\\ude00\xC3\xA9\", {}]}";
    for (size_t len = 0; len <= doc.size(); len++) {
        std::string prefix = doc.substr(0, len);
        guarded_text g(prefix);
        bool valid = json_validate(g.text);
        json_node *root = json_decode(g.text);
        EXPECT_EQ(valid, root != nullptr) << prefix;
        EXPECT_EQ(valid, len == doc.size()) << prefix;
        json_delete(root);
    }
}

static std::string nested(int depth, const char *open, const char *close, const char *inner = "")
{
    std::string s;
    for (int i = 0; i < depth; i++)
        s += open;
    s += inner;
    for (int i = 0; i < depth; i++)
        s += close;
    return s;
}

// Runs fn(arg) on a thread whose stack we provide, painted beforehand, and
// returns how many bytes of it were used.
static size_t run_on_measured_stack(size_t stack_size, void *(*fn)(void *), void *arg)
{
    void *stack = mmap(nullptr, stack_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(stack, MAP_FAILED);
    memset(stack, 0xA5, stack_size);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    EXPECT_EQ(pthread_attr_setstack(&attr, stack, stack_size), 0);
    pthread_t t;
    EXPECT_EQ(pthread_create(&t, &attr, fn, arg), 0);
    pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
    // Memcheck marks a finished thread's stack unreadable; the bytes are ours.
    VALGRIND_MAKE_MEM_DEFINED(stack, stack_size);
    size_t untouched = 0;
    auto *bytes = static_cast<unsigned char *>(stack);
    while (untouched < stack_size && bytes[untouched] == 0xA5)
        untouched++;
    munmap(stack, stack_size);
    return stack_size - untouched;
}

struct depth_case {
    std::string text;
    bool valid = false;
    bool decoded = false;
};

static void *decode_case(void *arg)
{
    auto *c = static_cast<depth_case *>(arg);
    c->valid = json_validate(c->text.c_str());
    json_node *root = json_decode(c->text.c_str());
    c->decoded = root != nullptr;
    json_delete(root);
    return nullptr;
}

TEST(DecodeDepth, AThousandLevelsAcceptedOneMoreRejected)
{
    const int max = JSON_MAX_DEPTH;
    ASSERT_EQ(max, 1000);
    EXPECT_TRUE(accepts(nested(max, "[", "]")));
    EXPECT_FALSE(accepts(nested(max + 1, "[", "]")));
    EXPECT_TRUE(accepts(nested(max - 1, "{\"a\":", "}", "[]")));
    EXPECT_FALSE(accepts(nested(max, "{\"a\":", "}", "[]")));
    EXPECT_TRUE(accepts(nested(max / 2, "[{\"k\":", "}]", "0")));
    EXPECT_FALSE(accepts(nested(max / 2, "[{\"k\":", "}]", "[1]")));
    // Depth is nesting, not count: siblings at the limit are fine.
    EXPECT_TRUE(accepts(nested(max - 2, "[", "]", "[1,[],2]")));
    EXPECT_FALSE(accepts(nested(max - 1, "[", "]", "[1,[],2]")));
    EXPECT_TRUE(accepts(nested(max - 1, "[", "]", "1,[],{},3")));
    EXPECT_TRUE(accepts("[" + nested(max - 1, "[", "]") + "," + nested(max - 1, "[", "]") + "]"));
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
    for (auto &c : cases) {
        size_t used = run_on_measured_stack(stack_size, decode_case, &c);
        most = std::max(most, used);
    }
    EXPECT_TRUE(cases[0].valid && cases[0].decoded);
    EXPECT_TRUE(cases[1].valid && cases[1].decoded);
    EXPECT_FALSE(cases[2].valid || cases[2].decoded);
    EXPECT_FALSE(cases[3].valid || cases[3].decoded);
    // Positive control for the measurement: a thousand frames cannot fit in 16 KiB.
    EXPECT_GT(most, 16u * 1024);
    if (optimised)
        EXPECT_LT(most, stack_size / 2) << "bytes of stack used at the depth limit";
    printf("stack used at the depth limit: %zu bytes\n", most);
}

// Every file of the fuzzer's seed corpus.
TEST(DecodeAgreement, ValidateAndDecodeAgreeOnTheSeedCorpus)
{
    DIR *d = opendir(JSON_SEED_CORPUS);
    ASSERT_NE(d, nullptr) << JSON_SEED_CORPUS;
    int files = 0, accepted = 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream in(std::string(JSON_SEED_CORPUS) + "/" + e->d_name, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        files++;
        accepted += accepts(ss.str());
    }
    closedir(d);
    EXPECT_GT(files, 50);
    EXPECT_GT(accepted, 10);
    EXPECT_LT(accepted, files - 10);
}

// Every text of up to three bytes from an alphabet of the grammar's bytes
// and a few strangers.
TEST(DecodeAgreement, ValidateAndDecodeAgreeOnAllShortTexts)
{
    const std::string alphabet = "[]{}\":,-+.0159eEtfnu\\ \t\x01\x7F\xC3\xA9\xFF";
    int accepted = 0;
    std::string t;
    for (size_t a = 0; a <= alphabet.size(); a++)
        for (size_t b = 0; b <= alphabet.size(); b++)
            for (size_t c = 0; c <= alphabet.size(); c++) {
                t.clear();
                for (size_t i : {a, b, c})
                    if (i < alphabet.size())
                        t += alphabet[i];
                accepted += accepts(t);
            }
    EXPECT_GT(accepted, 100);  // numbers, "[]", "{}", "\"x\"", ...
}
