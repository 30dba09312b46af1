// jansson through its usual entry points.
#include "peers.h"

#include <jansson.h>
#include <stdlib.h>
#include <string.h>

namespace {

bool jansson_decode(const char *text)
{
    json_error_t error;
    json_t *root = json_loads(text, 0, &error);
    json_decref(root);
    return root != nullptr;
}

void *jansson_load(const char *text)
{
    json_error_t error;
    return json_loads(text, 0, &error);
}

size_t jansson_print(void *tree, bool indented)
{
    char *out = json_dumps(static_cast<json_t *>(tree), indented ? JSON_INDENT(2) : JSON_COMPACT);
    size_t n = strlen(out);
    free(out);
    return n;
}

void jansson_release(void *tree) { json_decref(static_cast<json_t *>(tree)); }

}  // namespace

extern const json_library jansson_library = {"jansson", jansson_decode, nullptr, jansson_load, jansson_print,
                                             jansson_release, false};
