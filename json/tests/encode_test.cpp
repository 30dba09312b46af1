// json_encode and json_stringify through pam_brud.so's exported symbols.
#include "json.h"
#include "tree_testing.h"

#include <gtest/gtest.h>
#include <float.h>
#include <math.h>

#include <vector>

/* ---- layouts ---- */

TEST(Encode, ScalarRootsAreTheSameInBothLayouts)
{
    std::vector<std::pair<tree, std::string>> cases;
    cases.emplace_back(tree(json_mknull()), "null");
    cases.emplace_back(tree(json_mkbool(true)), "true");
    cases.emplace_back(tree(json_mkbool(false)), "false");
    cases.emplace_back(tree(json_mknumber(-12.25)), "-12.25");
    cases.emplace_back(tree(json_mkstring("a\"b")), "\"a\\\"b\"");
    for (auto &[node, text] : cases) {
        EXPECT_EQ(encode(node.get()), text);
        EXPECT_EQ(stringify(node.get(), "  "), text);
        EXPECT_EQ(stringify(node.get(), ""), text);
    }
}

TEST(Encode, EmptyContainersStayOnTheirLine)
{
    tree array(json_mkarray()), object(json_mkobject());
    for (const char *space : {(const char *)nullptr, "", "  "}) {
        EXPECT_EQ(stringify(array.get(), space), "[]");
        EXPECT_EQ(stringify(object.get(), space), "{}");
    }
    tree outer(json_mkarray());
    json_append_element(outer.get(), json_mkobject());
    json_append_element(outer.get(), json_mkarray());
    EXPECT_EQ(encode(outer.get()), "[{},[]]");
    EXPECT_EQ(stringify(outer.get(), "  "), "[\n  {},\n  []\n]");
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

TEST(Encode, EightLineExampleWithTwoBlanks)
{
    tree root(sample_object());
    EXPECT_EQ(stringify(root.get(), "  "),
              "{\n"
              "  \"a\": 1,\n"
              "  \"b\": [\n"
              "    true,\n"
              "    null\n"
              "  ],\n"
              "  \"c\": {}\n"
              "}");
    EXPECT_EQ(encode(root.get()), "{\"a\":1,\"b\":[true,null],\"c\":{}}");
}

TEST(Encode, EmptyAndTabSpaceStrings)
{
    tree root(sample_object());
    EXPECT_EQ(stringify(root.get(), ""), "{\n\"a\": 1,\n\"b\": [\ntrue,\nnull\n],\n\"c\": {}\n}");
    EXPECT_EQ(stringify(root.get(), "\t"),
              "{\n\t\"a\": 1,\n\t\"b\": [\n\t\ttrue,\n\t\tnull\n\t],\n\t\"c\": {}\n}");
    // The space string is written unchanged, whatever it holds.
    EXPECT_EQ(stringify(root.get(), "->"),
              "{\n->\"a\": 1,\n->\"b\": [\n->->true,\n->->null\n->],\n->\"c\": {}\n}");
}

TEST(Encode, NonEmptyArrayAsLastMember)
{
    tree root(json_mkobject());
    json_node *list = json_mkarray();
    json_append_element(list, json_mknumber(1));
    json_append_member(root.get(), "x", json_mkobject());
    json_append_member(root.get(), "list", list);
    EXPECT_EQ(stringify(root.get(), "  "), "{\n  \"x\": {},\n  \"list\": [\n    1\n  ]\n}");
}

TEST(Encode, CompactArrayHasCommasOnly)
{
    tree root(json_mkarray());
    for (double x : {1.0, 2.5, -3.0})
        json_append_element(root.get(), json_mknumber(x));
    EXPECT_EQ(encode(root.get()), "[1,2.5,-3]");
}

TEST(Encode, KeysAreEscapedLikeValues)
{
    tree root(json_mkobject());
    json_append_member(root.get(), "q\"\x01\xFF", json_mkstring("q\"\x01\xFF"));
    EXPECT_EQ(encode(root.get()),
              "{\"q\\\"\\u0001\xEF\xBF\xBD\":\"q\\\"\\u0001\xEF\xBF\xBD\"}");
}

TEST(Encode, NonFiniteNumbersAreNull)
{
    tree array(json_mkarray()), object(json_mkobject());
    for (double x : {(double)NAN, (double)INFINITY, -(double)INFINITY}) {
        json_append_element(array.get(), json_mknumber(x));
        json_append_member(object.get(), "n", json_mknumber(x));
    }
    EXPECT_EQ(encode(array.get()), "[null,null,null]");
    EXPECT_EQ(encode(object.get()), "{\"n\":null,\"n\":null,\"n\":null}");
    EXPECT_EQ(stringify(array.get(), " "), "[\n null,\n null,\n null\n]");
}

// A damaged node is written as far as the rules say: an unknown tag writes
// nothing, and any non-zero bool byte is true.
TEST(Encode, DamagedScalars)
{
    tree root(json_mkarray());
    json_node *odd = json_mknull();
    json_node *two = json_mkbool(false);
    unsigned char byte = 2;
    memcpy(&two->bool_, &byte, 1);
    json_append_element(root.get(), json_mknumber(1));
    json_append_element(root.get(), odd);
    json_append_element(root.get(), two);
    odd->tag = 9;
    EXPECT_EQ(encode(root.get()), "[1,,true]");
    odd->tag = TAG_NULL;
}

// The walk writes only the node given, even when it stands inside a larger
// tree, and depends on head/next links only, not on parent links.
TEST(Encode, WritesTheGivenSubtreeOnly)
{
    tree root(sample_object());
    json_node *b = json_find_member(root.get(), "b");
    EXPECT_EQ(encode(b), "[true,null]");
    EXPECT_EQ(stringify(b, "  "), "[\n  true,\n  null\n]");
    EXPECT_EQ(encode(json_first_child(b)), "true");

    std::string compact = encode(root.get()), indented = stringify(root.get(), "\t");
    json_node *saved = json_first_child(b)->parent;
    for (json_node *c = json_first_child(root.get()); c; c = c->next)
        c->parent = nullptr;
    json_first_child(b)->parent = root.get();  // wrong on purpose
    EXPECT_EQ(encode(root.get()), compact);
    EXPECT_EQ(stringify(root.get(), "\t"), indented);
    for (json_node *c = json_first_child(root.get()); c; c = c->next)
        c->parent = root.get();
    json_first_child(b)->parent = saved;
}

TEST(Encode, RandomTreesMatchTheLayoutRules)
{
    std::mt19937_64 rng(7);
    std::string long_space(300, ' ');  // longer than any cached indentation
    const char *spaces[] = {nullptr, "", "  ", "\t", "-->", long_space.c_str()};
    for (int i = 0; i < 400; i++) {
        tree root(random_tree(rng, 6));
        for (const char *space : spaces)
            ASSERT_EQ(stringify(root.get(), space), reference_text(root.get(), space))
                << "tree " << i << ", space " << (space ? space : "(null)");
        ASSERT_EQ(encode(root.get()), reference_text(root.get(), nullptr));
    }
}

// Deep enough that the indentation needs more than one copy of any cache.
TEST(Encode, IndentationDeeperThanOneCopy)
{
    for (json_tag kind : {TAG_ARRAY, TAG_OBJECT}) {
        tree root(nested_chain(300, kind, json_mkstring("leaf")));
        for (const char *space : {"  ", "abc", "\t"})
            EXPECT_EQ(stringify(root.get(), space), reference_text(root.get(), space));
    }
}

/* ---- deep trees ---- */

static constexpr int deep = 100000;

TEST(Encode, HundredThousandLevelsOfArrays)
{
    tree root(nested_chain(deep, TAG_ARRAY, json_mknumber(1)));
    tree empty_inside(nested_chain(deep, TAG_ARRAY, nullptr));
    std::string compact, indented, empty_compact, empty_indented;
    run_on_small_stack([&] {
        compact = encode(root.get());
        indented = stringify(root.get(), "");
        empty_compact = encode(empty_inside.get());
        empty_indented = stringify(empty_inside.get(), "");
    });
    EXPECT_TRUE(compact == repeat("[", deep) + "1" + repeat("]", deep));
    EXPECT_TRUE(indented == repeat("[\n", deep) + "1" + repeat("\n]", deep));
    EXPECT_TRUE(empty_compact == repeat("[", deep) + repeat("]", deep));
    EXPECT_TRUE(empty_indented == repeat("[\n", deep - 1) + "[]" + repeat("\n]", deep - 1));
}

TEST(Encode, HundredThousandLevelsOfObjects)
{
    tree root(nested_chain(deep, TAG_OBJECT, json_mknull()));
    std::string compact, indented;
    run_on_small_stack([&] {
        compact = encode(root.get());
        indented = stringify(root.get(), "");
    });
    EXPECT_TRUE(compact == repeat("{\"k\":", deep) + "null" + repeat("}", deep));
    EXPECT_TRUE(indented == repeat("{\n\"k\": ", deep) + "null" + repeat("\n}", deep));
}

/* ---- numbers ---- */

TEST(EncodeNumber, ExamplesFromTheRules)
{
    std::pair<double, const char *> cases[] = {
        {0.1 + 0.2, "0.3"},
        {1.0 / 3, "0.3333333333333333"},
        {123456789012345678.0, "1.234567890123457e+17"},
        {1e21, "1e+21"},
        {1e-7, "1e-07"},
        {-0.0, "-0"},
        {0.0, "0"},
        {100.0, "100"},
        {4.9406564584124654e-324, "4.940656458412465e-324"},
        {1e16, "1e+16"},
        {9999999999999998.0, "9999999999999998"},
        {0.0001, "0.0001"},
        {0.00001, "1e-05"},
        {0.000099999999999999999, "0.0001"},  // rounding moves it into fixed notation
        {1000000000000000.5, "1000000000000000"},  // tie: to even
        {1000000000000001.5, "1000000000000002"},
        {1.7976931348623153e308, "1.797693134862315e+308"},
        {-DBL_MIN, "-2.225073858507201e-308"},
    };
    for (auto [x, text] : cases) {
        tree node(json_mknumber(x));
        EXPECT_EQ(encode(node.get()), text) << x;
    }
}

// Sixteen digits would turn the two largest doubles into a text beyond the
// double range, read back as infinity; they keep seventeen and read back
// exactly.
TEST(EncodeNumber, LargestDoublesReadBackAsThemselves)
{
    double below_max = nextafter(DBL_MAX, 0);
    std::pair<double, const char *> cases[] = {
        {DBL_MAX, "1.7976931348623157e+308"},
        {-DBL_MAX, "-1.7976931348623157e+308"},
        {below_max, "1.7976931348623155e+308"},
        {nextafter(below_max, 0), "1.797693134862315e+308"},  // sixteen suffice
    };
    for (auto [x, text] : cases) {
        tree node(json_mknumber(x));
        std::string written = encode(node.get());
        EXPECT_EQ(written, text);
        double back = strtod(written.c_str(), nullptr);
        EXPECT_TRUE(std::isfinite(back)) << written;
        if (written.size() > 22)  // seventeen digits: exactly the same double
            EXPECT_EQ(back, x) << written;
    }
}

// Doubles from every region that formatting treats differently: random bit
// patterns (subnormals, NaN and infinities included), values spread over
// the decimal exponents, integers of every length, exact ties at the
// sixteenth digit, and the neighbours of every power of ten.
static std::vector<double> number_sample()
{
    std::mt19937_64 rng(20240601);
    std::vector<double> xs = {0.0, -0.0, DBL_MIN, DBL_MAX, DBL_TRUE_MIN, -DBL_TRUE_MIN};
    for (int i = 0; i < 60000; i++) {
        uint64_t bits = rng();
        double x;
        memcpy(&x, &bits, sizeof x);
        xs.push_back(x);
    }
    for (int i = 0; i < 20000; i++) {  // subnormals
        uint64_t bits = (rng() & ((1ull << 52) - 1)) | (rng() & (1ull << 63));
        double x;
        memcpy(&x, &bits, sizeof x);
        xs.push_back(x);
    }
    std::uniform_real_distribution<double> mantissa(1.0, 10.0);
    for (int i = 0; i < 120000; i++) {
        int e = static_cast<int>(rng() % 60) - 15;
        double x = mantissa(rng) * pow(10.0, e);
        xs.push_back(rng() % 2 ? x : -x);
    }
    for (int i = 0; i < 40000; i++) {
        int digits = 1 + static_cast<int>(rng() % 19);
        uint64_t v = rng() % static_cast<uint64_t>(pow(10.0, digits));
        xs.push_back(rng() % 2 ? double(v) : -double(v));
    }
    for (int i = 0; i < 30000; i++) {
        // n + k/2^f with exactly one digit too many: a tie at sixteen digits
        int f = 1 + static_cast<int>(rng() % 3);
        double scale = pow(10.0, 16 - f);
        uint64_t n = static_cast<uint64_t>(scale / 10) + rng() % static_cast<uint64_t>(scale / 2);
        uint64_t k = rng() % (1u << f);
        xs.push_back(double(n) + ldexp(double(k | 1), -f));
    }
    for (int e = -323; e <= 308; e++) {
        double p = strtod(("1e" + std::to_string(e)).c_str(), nullptr);
        for (double x : {p, nextafter(p, 0.0), nextafter(p, INFINITY), 5 * p, 9.999999999999999 * p})
            xs.push_back(x);
    }
    return xs;
}

static std::vector<std::string> encode_all(const std::vector<double> &xs)
{
    tree array(json_mkarray());
    for (double x : xs)
        json_append_element(array.get(), json_mknumber(x));
    std::string text = encode(array.get());
    std::vector<std::string> parts;
    size_t start = 1;
    for (size_t i = 1; i < text.size(); i++)
        if (text[i] == ',' || text[i] == ']') {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    return parts;
}

static void expect_printf_equivalence(const std::vector<double> &xs)
{
    std::vector<std::string> written = encode_all(xs);
    ASSERT_EQ(written.size(), xs.size());
    int mismatches = 0;
    for (size_t i = 0; i < xs.size(); i++) {
        std::string expected = reference_number(xs[i]);
        if (written[i] != expected && ++mismatches <= 10)
            ADD_FAILURE() << "value " << c_printf_g16(xs[i]) << ": wrote " << written[i]
                          << ", expected " << expected;
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(EncodeNumber, MatchesPrintfInTheCLocale)
{
    std::vector<double> xs = number_sample();
    ASSERT_GT(xs.size(), 270000u);
    expect_printf_equivalence(xs);
}

// Under a locale with a decimal comma the numbers are still written with a
// full stop, not turned into null.
TEST(EncodeNumber, IndependentOfTheProcessLocale)
{
    ASSERT_NE(setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "scripts/setup.sh creates this locale";
    char control[16];
    snprintf(control, sizeof control, "%.16g", 0.5);
    ASSERT_STREQ(control, "0,5");  // the locale really has a decimal comma

    tree root(json_mkarray());
    for (double x : {0.5, -12.25, 1.5e-300, 2.5e300, 4.9406564584124654e-324, 1e21})
        json_append_element(root.get(), json_mknumber(x));
    EXPECT_EQ(encode(root.get()), "[0.5,-12.25,1.5e-300,2.5e+300,4.940656458412465e-324,1e+21]");
    EXPECT_EQ(stringify(root.get(), ""), "[\n0.5,\n-12.25,\n1.5e-300,\n2.5e+300,\n4.940656458412465e-324,\n1e+21\n]");

    std::vector<double> xs = number_sample();
    xs.resize(xs.size() / 4);
    expect_printf_equivalence(xs);

    // The thread's own locale, set with uselocale, is no different.
    setlocale(LC_ALL, "C");
    locale_t german = newlocale(LC_ALL_MASK, "de_DE.UTF-8", nullptr);
    ASSERT_NE(german, nullptr);
    locale_t old = uselocale(german);
    tree half(json_mknumber(0.5));
    std::string text = encode(half.get());
    uselocale(old);
    freelocale(german);
    EXPECT_EQ(text, "0.5");
}
