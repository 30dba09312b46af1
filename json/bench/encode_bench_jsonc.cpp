// json-c's json_object_to_json_string_ext, plain and pretty (two blanks).
#include "encode_bench.h"

#include <json-c/json.h>
#include <string.h>

namespace {

// The default parser stops at 32 levels; the catalogue goes deeper.
void *load(const char *text)
{
    json_tokener *tok = json_tokener_new_ex(1000);
    json_object *tree = json_tokener_parse_ex(tok, text, -1);
    json_tokener_free(tok);
    return tree;
}
void release(void *tree) { json_object_put(static_cast<json_object *>(tree)); }

// The text belongs to the object (json-c reuses one buffer per object).
size_t write(void *tree, int flags)
{
    size_t n = 0;
    json_object_to_json_string_length(static_cast<json_object *>(tree), flags, &n);
    return n;
}

size_t compact(void *tree) { return write(tree, JSON_C_TO_STRING_PLAIN); }
size_t indented(void *tree) { return write(tree, JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_SPACED); }

}  // namespace

const encoder jsonc_encoder = {"json-c", load, release, compact, indented};
