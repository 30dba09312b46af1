// The encoders under comparison, each behind the same small interface.  The
// libraries live in separate files because their headers clash (json-c's
// json_object type, jansson's json_object() and json_delete()), and ours is
// reached through dlopen so that its exported names never meet jansson's.
#ifndef VESNAR_JSON_ENCODE_BENCH_H
#define VESNAR_JSON_ENCODE_BENCH_H

#include <stddef.h>

struct encoder {
    const char *name;
    // The library's own tree for a JSON text; null when it cannot parse it.
    void *(*load)(const char *text);
    void (*release)(void *tree);
    // Writes the tree compactly or indented, releases the text, and returns
    // its length.
    size_t (*compact)(void *tree);
    size_t (*indented)(void *tree);
};

extern const encoder ours_encoder;     // json_encode / json_stringify(.., "  ")
extern const encoder cjson_encoder;    // cJSON_PrintUnformatted / cJSON_Print
extern const encoder jansson_encoder;  // json_dumps JSON_COMPACT / JSON_INDENT(2)
extern const encoder jsonc_encoder;    // json_object_to_json_string_ext PLAIN / PRETTY|SPACED

// The compact text that our encoder writes for a JSON text (to check that
// every library was given the same content).
char *ours_compact_text(const char *text);

#endif
