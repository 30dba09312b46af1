// Decoder and encoders together: decode, encode, decode, encode reaches a
// fixed point, the indented layouts read back to the same tree, and every
// decoded tree passes json_check.  Through pam_brud.so's exported symbols.
#include "fuzz/roundtrip.h"
#include "json.h"
#include "tree_testing.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <vector>

static const char *const texts[] = {
    "0", "-0", "1E+2", "1.5e-3", "-12.25", "0.1", "1e400", "-1e400", "1e-400",
    "123456789012345678901234567890", "0.30000000000000004", "2.2250738585072011e-308",
    "4.9406564584124654e-324", "9007199254740993", "1e21", "1e-7", "100.0",
    "true", "false", "null", "\"\"", "\"\\u00e9\\ud83d\\ude00\\/\\b\\f\\n\\r\\t\\\"\\\\\"",
    "\"\\u001f\\u007f\xC3\xA9\xF0\x9F\x98\x80\"", "[]", "{}", "[[],{}]", " [ 1 , 2 ]\n",
    "{\"\":0,\"a\":{\"b\":[true,false,null,\"x\"]},\"a\":-1}",
    "{\"k\\u0001\\\"\":[{\"deep\":[[[[[[[[[[1]]]]]]]]]]}]}",
    "[0.5,1e+300,-2.5e-300,123.456,1234567890123456789]",
};

TEST(RoundTrip, ChosenTexts)
{
    for (const char *text : texts)
        EXPECT_TRUE(json_roundtrip(text)) << text;
    // Not JSON: nothing to check, and said so.
    for (const char *text : {"", "[1,]", "01", "{\"a\" 1}", "\"\\ud83d\""})
        EXPECT_FALSE(json_roundtrip(text)) << text;
}

// The number texts change once (to sixteen digits) and then stay, except
// on a power of ten whose nearest double lies below it: that changes once
// more, into the sixteen digits of that double.
TEST(RoundTrip, NumbersSettle)
{
    tree above(json_decode("[100000000000000000000002]"));
    ASSERT_TRUE(above);
    std::string first = encode(above.get());
    EXPECT_EQ(first, "[1e+23]");
    tree below(json_decode(first.c_str()));
    ASSERT_TRUE(below);
    EXPECT_EQ(encode(below.get()), "[9.999999999999999e+22]");
    EXPECT_TRUE(json_roundtrip("[100000000000000000000002]"));


    std::pair<const char *, const char *> cases[] = {
        {"[0.30000000000000004]", "[0.3]"},
        {"[9007199254740993]", "[9007199254740992]"},
        {"[1e400,-1e400]", "[null,null]"},
        {"[1E+2,-0.0,1e-400]", "[100,-0,0]"},
        {"[123456789012345678]", "[1.234567890123457e+17]"},
    };
    for (auto [text, compact] : cases) {
        tree node(json_decode(text));
        ASSERT_TRUE(node) << text;
        EXPECT_EQ(encode(node.get()), compact);
        EXPECT_TRUE(json_roundtrip(text));
    }
}

TEST(RoundTrip, RandomTrees)
{
    std::mt19937_64 rng(5);
    for (int i = 0; i < 300; i++) {
        tree root(random_tree(rng, 6));
        std::string compact = encode(root.get());
        ASSERT_TRUE(json_roundtrip(compact.c_str())) << compact;
        std::string indented = stringify(root.get(), "\t");
        ASSERT_TRUE(json_roundtrip(indented.c_str())) << indented;
    }
}

static std::vector<std::string> corpus_files()
{
    std::vector<std::string> files;
#ifdef JSON_FUZZ_CORPUS
    if (DIR *dir = opendir(JSON_FUZZ_CORPUS)) {
        while (dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.')
                files.push_back(std::string(JSON_FUZZ_CORPUS) + "/" + entry->d_name);
        closedir(dir);
    }
#endif
    return files;
}

TEST(RoundTrip, FuzzCorpus)
{
    std::vector<std::string> files = corpus_files();
    if (files.empty())
        GTEST_SKIP() << "no fuzz corpus in this tree";
    int decoded = 0;
    for (const std::string &path : files) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        std::string text = ss.str();
        if (text.find('\0') != std::string::npos)
            text.resize(text.find('\0'));
        decoded += json_roundtrip(text.c_str());
    }
    EXPECT_GT(decoded, 0) << "no file of the corpus decoded";
}
