// pam_brud.so's JSON library, opened at run time (see peers.h).
#include "json.h"
#include "peers.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct library_api {
    decltype(&::json_decode) decode;
    decltype(&::json_validate) validate;
    decltype(&::json_delete) destroy;
    decltype(&::json_encode) encode;         // null while the library has no encoder
    decltype(&::json_stringify) stringify;
};

// 0: the pam_brud.so under test; 1: another build of it to compare with.
library_api apis[2];

template <int I>
bool decode(const char *text)
{
    json_node *root = apis[I].decode(text);
    apis[I].destroy(root);
    return root != nullptr;
}

template <int I>
bool validate(const char *text) { return apis[I].validate(text); }

template <int I>
void *load(const char *text) { return apis[I].decode(text); }

template <int I>
size_t print(void *tree, bool indented)
{
    auto *root = static_cast<const json_node *>(tree);
    char *out = indented ? apis[I].stringify(root, "  ") : apis[I].encode(root);
    size_t n = strlen(out);
    free(out);
    return n;
}

template <int I>
void release(void *tree) { apis[I].destroy(static_cast<json_node *>(tree)); }

template <typename F>
void bind(void *lib, F &fn, const char *name, const char *path)
{
    fn = reinterpret_cast<F>(dlsym(lib, name));
    if (!fn) {
        fprintf(stderr, "%s lacks %s\n", path, name);
        exit(2);
    }
}

// Opened apart (RTLD_LOCAL), so that two builds of the module can be
// measured in one process.
template <int I>
void open_library(const char *path, json_library *lib)
{
    void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        exit(2);
    }
    library_api &api = apis[I];
    bind(handle, api.decode, "json_decode", path);
    bind(handle, api.validate, "json_validate", path);
    bind(handle, api.destroy, "json_delete", path);
    api.encode = reinterpret_cast<decltype(api.encode)>(dlsym(handle, "json_encode"));
    api.stringify = reinterpret_cast<decltype(api.stringify)>(dlsym(handle, "json_stringify"));
    lib->decode = decode<I>;
    lib->validate = validate<I>;
    if (api.encode && api.stringify) {
        lib->load = load<I>;
        lib->print = print<I>;
        lib->release = release<I>;
    }
}

}  // namespace

const json_library *our_library()
{
    static json_library ours = {"pam_brud", nullptr, nullptr, nullptr, nullptr, nullptr, false};
    if (ours.decode)
        return &ours;
    const char *path = getenv("PAM_BRUD_SO");
    open_library<0>(path ? path : PAM_BRUD_SO, &ours);
    return &ours;
}

const json_library *baseline_library()
{
    static json_library baseline = {"baseline", nullptr, nullptr, nullptr, nullptr, nullptr, false};
    if (baseline.decode)
        return &baseline;
    const char *path = getenv("JSON_BENCH_BASELINE_SO");
    if (!path)
        return nullptr;
    open_library<1>(path, &baseline);
    return &baseline;
}
