// pam_brud.so's JSON library, opened at run time (see peers.h).
#include "json.h"
#include "peers.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

struct {
    decltype(&::json_decode) decode;
    decltype(&::json_validate) validate;
    decltype(&::json_delete) destroy;
} api;

bool decode(const char *text)
{
    json_node *root = api.decode(text);
    api.destroy(root);
    return root != nullptr;
}

bool validate(const char *text) { return api.validate(text); }

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
    static json_library ours = {"pam_brud", decode, validate, nullptr, nullptr, nullptr};
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
    return &ours;
}
