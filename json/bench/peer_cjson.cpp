// cJSON through its usual entry points.
#include "peers.h"

#include <cjson/cJSON.h>
#include <string.h>

namespace {

bool cjson_decode(const char *text)
{
    cJSON *root = cJSON_Parse(text);
    cJSON_Delete(root);
    return root != nullptr;
}

void *cjson_load(const char *text) { return cJSON_Parse(text); }

size_t cjson_print(void *tree, bool indented)
{
    auto *root = static_cast<cJSON *>(tree);
    char *out = indented ? cJSON_Print(root) : cJSON_PrintUnformatted(root);
    size_t n = strlen(out);
    cJSON_free(out);
    return n;
}

void cjson_release(void *tree) { cJSON_Delete(static_cast<cJSON *>(tree)); }

}  // namespace

extern const json_library cjson_library = {"cJSON", cjson_decode, nullptr, cjson_load, cjson_print, cjson_release, false};
