// json_encode and json_stringify through pam_brud.so's exported symbols.
#include "json.h"
#include "tree_testing.h"

#include <gtest/gtest.h>
#include <float.h>
#include <math.h>
#include <stdio.h>

#include <vector>

/* ---- layouts ---- */

TEST(Encode, ScalarRootsAndEmptyContainersAreTheSameInBothLayouts)
{
    std::pair<json_node *, const char *> cases[] = {
        {json_mknull(), "null"},       {json_mkbool(true), "true"},           {json_mkbool(false), "false"},
        {json_mknumber(-12.25), "-12.25"}, {json_mkstring("a\"b"), "\"a\\\"b\""}, {json_mkarray(), "[]"},
        {json_mkobject(), "{}"},
    };
    for (auto [node, text] : cases) {
        for (const char *space : {static_cast<const char *>(nullptr), "", "  "})
            EXPECT_EQ(stringify(node, space), text);
        json_delete(node);
    }
}

// a: 1, b: [true, null], c: {}
static json_node *sample_object()
{
    json_node *root = json_mkobject();
    json_append_member(root, "a", json_mknumber(1));
    json_node *b = json_mkarray();
    json_append_element(b, json_mkbool(true));
    json_append_element(b, json_mknull());
    json_append_member(root, "b", b);
    json_append_member(root, "c", json_mkobject());
    return root;
}

TEST(Encode, LayoutsOfOneTree)
{
    tree root(sample_object());
    std::pair<const char *, const char *> cases[] = {
        {nullptr, "{\"a\":1,\"b\":[true,null],\"c\":{}}"},
        {"  ", "{\n  \"a\": 1,\n  \"b\": [\n    true,\n    null\n  ],\n  \"c\": {}\n}"},
        {"", "{\n\"a\": 1,\n\"b\": [\ntrue,\nnull\n],\n\"c\": {}\n}"},
        {"\t", "{\n\t\"a\": 1,\n\t\"b\": [\n\t\ttrue,\n\t\tnull\n\t],\n\t\"c\": {}\n}"},
        {"->", "{\n->\"a\": 1,\n->\"b\": [\n->->true,\n->->null\n->],\n->\"c\": {}\n}"},  // written unchanged
    };
    for (auto [space, text] : cases)
        EXPECT_EQ(stringify(root.get(), space), text) << (space ? space : "(null)");
    // A non-empty array as the last member; the subtree given is written alone.
    json_node *b = json_find_member(root.get(), "b");
    json_remove_from_parent(b);
    json_append_member(root.get(), "list", b);
    EXPECT_EQ(stringify(root.get(), "  "), "{\n  \"a\": 1,\n  \"c\": {},\n  \"list\": [\n    true,\n    null\n  ]\n}");
    EXPECT_EQ(stringify(b, "  "), "[\n  true,\n  null\n]");
}

TEST(Encode, KeysAreEscapedLikeValues)
{
    tree root(json_mkobject());
    json_append_member(root.get(), "q\"\x01\xFF", json_mkstring("q\"\x01\xFF"));
    EXPECT_EQ(encode(root.get()), "{\"q\\\"\\u0001\xEF\xBF\xBD\":\"q\\\"\\u0001\xEF\xBF\xBD\"}");
}

TEST(Encode, NonFiniteNumbersAreNull)
{
    tree array(json_mkarray()), object(json_mkobject());
    for (double x : {static_cast<double>(NAN), static_cast<double>(INFINITY), -static_cast<double>(INFINITY)}) {
        json_append_element(array.get(), json_mknumber(x));
        json_append_member(object.get(), "n", json_mknumber(x));
    }
    EXPECT_EQ(encode(array.get()), "[null,null,null]");
    EXPECT_EQ(encode(object.get()), "{\"n\":null,\"n\":null,\"n\":null}");
    EXPECT_EQ(stringify(array.get(), " "), "[\n null,\n null,\n null\n]");
}

// A damaged tree is written as far as the rules say: an unknown tag writes
// nothing, any non-zero bool byte is true, and parent links are not used.
TEST(Encode, DamagedTrees)
{
    tree root(json_mkarray());
    json_node *odd = json_mknull(), *two = json_mkbool(false), *inner = json_mkarray();
    unsigned char byte = 2;
    memcpy(&two->bool_, &byte, 1);
    json_append_element(inner, json_mknumber(1));
    for (json_node *n : {odd, two, inner})
        json_append_element(root.get(), n);
    odd->tag = 9;
    inner->children.head->parent = nullptr;
    inner->parent = inner;
    EXPECT_EQ(encode(root.get()), "[,true,[1]]");
    EXPECT_EQ(stringify(root.get(), ""), "[\n,\ntrue,\n[\n1\n]\n]");
    odd->tag = TAG_NULL;  // json_delete needs what it walks
    inner->children.head->parent = inner;
    inner->parent = root.get();
}

// Deep enough for the indentation to take more than one copy of the writer's
// cached run (256 bytes), with a space string of 1, 3 and 300 bytes.
TEST(Encode, DeepIndentation)
{
    const std::string long_space(300, ' ');
    for (const char *space : {"\t", "abc", long_space.c_str()}) {
        tree root(nested_chain(200, TAG_OBJECT, json_mknumber(7)));
        std::string expected;
        for (int d = 0; d < 200; d++)
            expected += (d ? "\"k\": " : "") + std::string("{\n") + repeat(space, size_t(d) + 1);
        expected += "\"k\": 7";
        for (int d = 199; d >= 0; d--)
            expected += "\n" + repeat(space, size_t(d)) + "}";
        EXPECT_EQ(stringify(root.get(), space), expected) << strlen(space);
    }
}

// A recursive writer would overflow the small stack.
TEST(Encode, HundredThousandLevels)
{
    constexpr size_t deep = 100000;
    tree arrays(nested_chain(deep, TAG_ARRAY, json_mknumber(1)));
    tree empty_inside(nested_chain(deep, TAG_ARRAY, nullptr));
    tree objects(nested_chain(deep, TAG_OBJECT, json_mknull()));
    std::vector<std::string> texts;
    run_on_small_stack([&] {
        texts = {encode(arrays.get()), stringify(arrays.get(), ""), encode(empty_inside.get()),
                 stringify(empty_inside.get(), ""), encode(objects.get()), stringify(objects.get(), "")};
    });
    // EXPECT_TRUE: a failure should not print megabytes.
    EXPECT_TRUE(texts[0] == repeat("[", deep) + "1" + repeat("]", deep));
    EXPECT_TRUE(texts[1] == repeat("[\n", deep) + "1" + repeat("\n]", deep));
    EXPECT_TRUE(texts[2] == repeat("[", deep) + repeat("]", deep));
    EXPECT_TRUE(texts[3] == repeat("[\n", deep - 1) + "[]" + repeat("\n]", deep - 1));
    EXPECT_TRUE(texts[4] == repeat("{\"k\":", deep) + "null" + repeat("}", deep));
    EXPECT_TRUE(texts[5] == repeat("{\n\"k\": ", deep) + "null" + repeat("\n}", deep));
}

/* ---- numbers ---- */

static std::string written(double x)
{
    tree node(json_mknumber(x));
    return encode(node.get());
}

TEST(EncodeNumber, Examples)
{
    double below_max = nextafter(DBL_MAX, 0);
    std::pair<double, const char *> cases[] = {
        {0.1 + 0.2, "0.3"},
        {1.0 / 3, "0.3333333333333333"},
        {123456789012345678.0, "1.234567890123457e+17"},
        {1e21, "1e+21"},
        {1e-7, "1e-07"},
        {-0.0, "-0"},
        {100.0, "100"},
        {4.9406564584124654e-324, "4.940656458412465e-324"},
        {1e16, "1e+16"},
        {9999999999999998.0, "9999999999999998"},
        {0.00001, "1e-05"},
        {0.000099999999999999999, "0.0001"},  // rounding moves it into fixed notation
        {1000000000000000.5, "1000000000000000"},  // tie: to even
        {1000000000000001.5, "1000000000000002"},
        {-DBL_MIN, "-2.225073858507201e-308"},
        // Sixteen digits would turn the two largest doubles of each sign into
        // a text beyond the double range; they keep seventeen.
        {DBL_MAX, "1.7976931348623157e+308"},
        {-DBL_MAX, "-1.7976931348623157e+308"},
        {below_max, "1.7976931348623155e+308"},
        {nextafter(below_max, 0), "1.797693134862315e+308"},
    };
    for (auto [x, text] : cases)
        EXPECT_EQ(written(x), text);
}

// printf's "%.16g" in the "C" locale, or null where that is no JSON number
// (NaN and the infinities); seventeen digits where sixteen would round a
// finite number beyond the largest double.
static std::string printf_number(double x)
{
    static locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    locale_t old = uselocale(c);
    char buf[64];
    snprintf(buf, sizeof buf, "%.16g", x);
    if (std::isfinite(x) && std::isinf(c_strtod(buf)))
        snprintf(buf, sizeof buf, "%.17g", x);
    uselocale(old);
    return std::isfinite(x) ? buf : "null";
}

// Doubles from every region that formatting treats differently: random bit
// patterns (subnormals, NaN and infinities included), values spread over
// the decimal exponents, integers of every length, exact ties at the
// sixteenth digit, and the neighbours of every power of ten.
static std::vector<double> number_sample()
{
    std::mt19937_64 rng(20240601);
    std::vector<double> xs = {0.0, -0.0, DBL_MIN, DBL_MAX, DBL_TRUE_MIN, -DBL_TRUE_MIN};
    auto from_bits = [](uint64_t bits) {
        double x;
        memcpy(&x, &bits, sizeof x);
        return x;
    };
    for (int i = 0; i < 60000; i++)
        xs.push_back(from_bits(rng()));
    for (int i = 0; i < 20000; i++)
        xs.push_back(from_bits(rng() & ((1ull << 52) - 1)));  // subnormals
    std::uniform_real_distribution<double> mantissa(1.0, 10.0);
    for (int i = 0; i < 120000; i++)
        xs.push_back((rng() % 2 ? 1 : -1) * mantissa(rng) * pow(10.0, static_cast<int>(rng() % 60) - 15));
    for (int i = 0; i < 40000; i++)
        xs.push_back(double(rng() % static_cast<uint64_t>(pow(10.0, 1 + static_cast<int>(rng() % 19)))));
    for (int i = 0; i < 30000; i++) {
        // n + k/2^f with exactly one digit too many: a tie at sixteen digits
        int f = 1 + static_cast<int>(rng() % 3);
        double scale = pow(10.0, 16 - f);
        uint64_t n = static_cast<uint64_t>(scale / 10) + rng() % static_cast<uint64_t>(scale / 2);
        xs.push_back(double(n) + ldexp(double((rng() % (1u << f)) | 1), -f));
    }
    for (int e = -323; e <= 308; e++) {
        double p = c_strtod(("1e" + std::to_string(e)).c_str());
        for (double x : {p, nextafter(p, 0.0), nextafter(p, INFINITY), 5 * p, 9.999999999999999 * p})
            xs.push_back(x);
    }
    return xs;
}

// Written as elements of one array, as the encoder meets numbers in use.
static void expect_printf_equivalence(const std::vector<double> &xs)
{
    tree array(json_mkarray());
    for (double x : xs)
        json_append_element(array.get(), json_mknumber(x));
    std::string text = encode(array.get());
    int mismatches = 0;
    size_t start = 1;
    for (double x : xs) {
        size_t end = text.find_first_of(",]", start);
        std::string got = text.substr(start, end - start), want = printf_number(x);
        if (got != want && ++mismatches <= 10)
            ADD_FAILURE() << "wrote " << got << ", printf gives " << want;
        start = end + 1;
    }
    EXPECT_EQ(start, text.size());
    EXPECT_EQ(mismatches, 0);
}

TEST(EncodeNumber, MatchesPrintfInTheCLocale)
{
    std::vector<double> xs = number_sample();
    ASSERT_GT(xs.size(), 270000u);
    expect_printf_equivalence(xs);
}

// Under a locale with a decimal comma, set for the process or only for the
// thread, numbers are still written with a full stop, not turned into null.
TEST(EncodeNumber, IndependentOfTheProcessLocale)
{
    ASSERT_NE(setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "scripts/setup.sh creates this locale";
    char control[16];
    snprintf(control, sizeof control, "%.1f", 0.5);
    ASSERT_STREQ(control, "0,5");  // the locale really has a decimal comma
    std::vector<double> xs = number_sample();
    xs.resize(xs.size() / 4);
    expect_printf_equivalence(xs);
    EXPECT_EQ(written(1.5e-300), "1.5e-300");
    EXPECT_EQ(written(5e-324), "4.940656458412465e-324");  // through snprintf
    setlocale(LC_ALL, "C");

    locale_t german = newlocale(LC_ALL_MASK, "de_DE.UTF-8", nullptr);
    ASSERT_NE(german, nullptr);
    locale_t old = uselocale(german);
    std::string text = written(-0.5), subnormal = written(5e-324);
    uselocale(old);
    freelocale(german);
    EXPECT_EQ(text, "-0.5");
    EXPECT_EQ(subnormal, "4.940656458412465e-324");
}
