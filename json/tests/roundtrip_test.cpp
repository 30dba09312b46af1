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

TEST(RoundTrip, ChosenTexts)
{
    for (const char *text : {
             "1e400", "123456789012345678901234567890", "2.2250738585072011e-308", "4.9406564584124654e-324",
             "\"\\u00e9\\ud83d\\ude00\\/\\b\\f\\n\\r\\t\\\"\\\\\"", "\"\\u001f\\u007f\xC3\xA9\xF0\x9F\x98\x80\"",
             "[[],{}]", " [ 1 , 2 ]\n", "{\"\":0,\"a\":{\"b\":[true,false,null,\"x\"]},\"a\":-1}",
             "{\"k\\u0001\\\"\":[{\"deep\":[[[[[[[[[[1]]]]]]]]]]}]}",
         })
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
    std::pair<const char *, const char *> cases[] = {
        {"[100000000000000000000002]", "[1e+23]"},
        {"[1e+23]", "[9.999999999999999e+22]"},
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
        std::string compact = encode(root.get()), indented = stringify(root.get(), "\t");
        ASSERT_TRUE(json_roundtrip(compact.c_str())) << compact;
        ASSERT_TRUE(json_roundtrip(indented.c_str())) << indented;
    }
}

// The fuzzer's seeds: accepted and rejected texts of every kind.
TEST(RoundTrip, SeedCorpus)
{
    DIR *dir = opendir(JSON_FUZZ_CORPUS);
    ASSERT_NE(dir, nullptr) << JSON_FUZZ_CORPUS;
    int files = 0, decoded = 0;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream in(std::string(JSON_FUZZ_CORPUS) + "/" + entry->d_name, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        files++;
        decoded += json_roundtrip(ss.str().c_str());  // up to a NUL, as the decoder reads
    }
    closedir(dir);
    EXPECT_GT(files, 50);
    EXPECT_GT(decoded, 10);
    EXPECT_LT(decoded, files - 10);
}
