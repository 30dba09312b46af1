// json-c through its usual entry points.
#include "peers.h"

#include <json-c/json.h>
#include <string.h>

namespace {

bool jsonc_decode(const char *text)
{
    json_object *root = json_tokener_parse(text);
    json_object_put(root);
    return root != nullptr;
}

void *jsonc_load(const char *text) { return json_tokener_parse(text); }

size_t jsonc_print(void *tree, bool indented)
{
    // The text belongs to the object and lives until the next print.
    int flags = indented ? JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_SPACED : JSON_C_TO_STRING_PLAIN;
    return strlen(json_object_to_json_string_ext(static_cast<json_object *>(tree), flags));
}

void jsonc_release(void *tree) { json_object_put(static_cast<json_object *>(tree)); }

}  // namespace

extern const json_library jsonc_library = {"json-c", jsonc_decode, nullptr, jsonc_load, jsonc_print, jsonc_release, false};
