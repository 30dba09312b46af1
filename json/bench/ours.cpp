// pam_brud.so's JSON library, opened at run time (see peers.h).
#include "json.h"
#include "peers.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct {
    decltype(&::json_decode) decode;
    decltype(&::json_validate) validate;
    decltype(&::json_delete) destroy;
    decltype(&::json_encode) encode;         // null while the library has no encoder
    decltype(&::json_stringify) stringify;
} api;

bool decode(const char *text)
{
    json_node *root = api.decode(text);
    api.destroy(root);
    return root != nullptr;
}

bool validate(const char *text) { return api.validate(text); }

void *load(const char *text) { return api.decode(text); }

size_t print(void *tree, bool indented)
{
    auto *root = static_cast<const json_node *>(tree);
    char *out = indented ? api.stringify(root, "  ") : api.encode(root);
    size_t n = strlen(out);
    free(out);
    return n;
}

void release(void *tree) { api.destroy(static_cast<json_node *>(tree)); }

template <typename F>
void bind(void *lib, F &fn, const char *name)
{
    fn = reinterpret_cast<F>(dlsym(lib, name));
    if (!fn) {
        fprintf(stderr, "pam_brud.so lacks %s\n", name);
        exit(2);
    }
}

}  // namespace

const json_library *our_library()
{
    static json_library ours = {"pam_brud", decode, validate, nullptr, nullptr, nullptr, false};
    if (api.decode)
        return &ours;
    const char *path = getenv("PAM_BRUD_SO");
    if (!path)
        path = PAM_BRUD_SO;
    void *lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        exit(2);
    }
    bind(lib, api.decode, "json_decode");
    bind(lib, api.validate, "json_validate");
    bind(lib, api.destroy, "json_delete");
    api.encode = reinterpret_cast<decltype(api.encode)>(dlsym(lib, "json_encode"));
    api.stringify = reinterpret_cast<decltype(api.stringify)>(dlsym(lib, "json_stringify"));
    if (api.encode && api.stringify) {
        ours.load = load;
        ours.print = print;
        ours.release = release;
    }
    return &ours;
}
