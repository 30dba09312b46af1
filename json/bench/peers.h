// The libraries measured side by side.  Each decode parses a text into its
// library's tree and frees the tree again; false means the text was refused.
//
// pam_brud.so is opened with dlopen, so that its json_* names cannot meet
// the peers' names of the same spelling in one symbol scope.
#ifndef VESNAR_JSON_BENCH_PEERS_H
#define VESNAR_JSON_BENCH_PEERS_H
#include <stddef.h>

struct json_library {
    const char *name;
    bool (*decode)(const char *text);
    bool (*validate)(const char *text);  // null: the library has none
    // Encoding: a tree to print is loaded once (null when refused), printed
    // compactly or indented by two spaces (the text's length is returned and
    // the text released), and freed at the end.  Null while not measured.
    void *(*load)(const char *text);
    size_t (*print)(void *tree, bool indented);
    void (*release)(void *tree);
    bool compact_only;  // print has no indented layout
};

const json_library *our_library();  // aborts if pam_brud.so cannot be loaded
// Another build of pam_brud.so named by JSON_BENCH_BASELINE_SO, measured
// beside ours as "baseline"; null when none is named.
const json_library *baseline_library();
const json_library *const *peer_libraries(int *count);

#endif
