// simdjson: its DOM parser, reused from one decode to the next as its users
// do.  A tree to print is a document of its own, written by minify (it has
// no indented writer).
#include "peers.h"

#include <simdjson.h>
#include <string.h>

#include <string>

namespace {

simdjson::dom::parser &shared_parser()
{
    static simdjson::dom::parser parser;
    return parser;
}

bool simdjson_decode(const char *text)
{
    simdjson::dom::element root;
    return shared_parser().parse(text, strlen(text)).get(root) == simdjson::SUCCESS;
}

struct kept_tree {
    simdjson::dom::parser parser;  // owns the document
    simdjson::dom::element root;
};

void *simdjson_load(const char *text)
{
    auto *tree = new kept_tree;
    if (tree->parser.parse(text, strlen(text)).get(tree->root) != simdjson::SUCCESS) {
        delete tree;
        return nullptr;
    }
    return tree;
}

size_t simdjson_print(void *tree, bool)
{
    std::string out = simdjson::minify(static_cast<kept_tree *>(tree)->root);
    return out.size();
}

void simdjson_release(void *tree) { delete static_cast<kept_tree *>(tree); }

}  // namespace

extern const json_library simdjson_library = {"simdjson", simdjson_decode, nullptr, simdjson_load,
                                              simdjson_print, simdjson_release, true};
