// Our encoder, from pam_brud.so loaded with dlopen.  The trees are built
// from cJSON's parse of the same text with our constructors, so that the
// content is the one every other library sees.
#include "encode_bench.h"
#include "json.h"

#include <cjson/cJSON.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

struct library {
    json_node *(*mknull)();
    json_node *(*mkbool)(bool);
    json_node *(*mkstring)(const char *);
    json_node *(*mknumber)(double);
    json_node *(*mkarray)();
    json_node *(*mkobject)();
    void (*append_element)(json_node *, json_node *);
    void (*append_member)(json_node *, const char *, json_node *);
    void (*remove)(json_node *);
    char *(*encode)(const json_node *);
    char *(*stringify)(const json_node *, const char *);
    bool (*check)(const json_node *, char *);
};

template <typename F> void bind(void *handle, F &slot, const char *name)
{
    slot = reinterpret_cast<F>(dlsym(handle, name));
    if (!slot) {
        fprintf(stderr, "%s: %s\n", PAM_BRUD_SO, dlerror());
        exit(1);
    }
}

const library &lib()
{
    static library l = [] {
        void *h = dlopen(PAM_BRUD_SO, RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            fprintf(stderr, "%s\n", dlerror());
            exit(1);
        }
        library l{};
        bind(h, l.mknull, "json_mknull");
        bind(h, l.mkbool, "json_mkbool");
        bind(h, l.mkstring, "json_mkstring");
        bind(h, l.mknumber, "json_mknumber");
        bind(h, l.mkarray, "json_mkarray");
        bind(h, l.mkobject, "json_mkobject");
        bind(h, l.append_element, "json_append_element");
        bind(h, l.append_member, "json_append_member");
        bind(h, l.remove, "json_delete");
        bind(h, l.encode, "json_encode");
        bind(h, l.stringify, "json_stringify");
        bind(h, l.check, "json_check");
        return l;
    }();
    return l;
}

json_node *convert(const cJSON *item)
{
    const library &l = lib();
    if (cJSON_IsNull(item))
        return l.mknull();
    if (cJSON_IsBool(item))
        return l.mkbool(cJSON_IsTrue(item));
    if (cJSON_IsNumber(item))
        return l.mknumber(item->valuedouble);
    if (cJSON_IsString(item))
        return l.mkstring(item->valuestring);
    bool object = cJSON_IsObject(item);
    json_node *container = object ? l.mkobject() : l.mkarray();
    for (const cJSON *child = item->child; child; child = child->next) {
        if (object)
            l.append_member(container, child->string, convert(child));
        else
            l.append_element(container, convert(child));
    }
    return container;
}

void *load(const char *text)
{
    cJSON *parsed = cJSON_Parse(text);
    if (!parsed)
        return nullptr;
    json_node *tree = convert(parsed);
    cJSON_Delete(parsed);
    char message[256];
    if (!lib().check(tree, message)) {
        fprintf(stderr, "built tree fails the self-check: %s\n", message);
        exit(1);
    }
    return tree;
}

void release(void *tree) { lib().remove(static_cast<json_node *>(tree)); }

size_t finish(char *text)
{
    size_t n = 0;
    while (text[n])
        n++;
    free(text);
    return n;
}

size_t compact(void *tree) { return finish(lib().encode(static_cast<json_node *>(tree))); }

size_t indented(void *tree) { return finish(lib().stringify(static_cast<json_node *>(tree), "  ")); }

}  // namespace

const encoder ours_encoder = {"ours", load, release, compact, indented};

char *ours_compact_text(const char *text)
{
    auto *tree = static_cast<json_node *>(load(text));
    if (!tree)
        return nullptr;
    char *out = lib().encode(tree);
    release(tree);
    return out;
}
