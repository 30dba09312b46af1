// jansson's json_dumps, compact and with two-blank indentation.
#include "encode_bench.h"

#include <jansson.h>
#include <stdlib.h>
#include <string.h>

namespace {

void *load(const char *text)
{
    json_error_t error;
    return json_loads(text, 0, &error);
}

void release(void *tree) { json_decref(static_cast<json_t *>(tree)); }

size_t dump(void *tree, size_t flags)
{
    char *text = json_dumps(static_cast<json_t *>(tree), flags);
    size_t n = strlen(text);
    free(text);
    return n;
}

size_t compact(void *tree) { return dump(tree, JSON_COMPACT); }
size_t indented(void *tree) { return dump(tree, JSON_INDENT(2)); }

}  // namespace

const encoder jansson_encoder = {"jansson", load, release, compact, indented};
