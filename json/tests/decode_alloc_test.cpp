// Heap use of the decoder, seen through counting wrappers around the
// process's allocator: this executable's malloc, calloc, realloc and free
// come first in symbol lookup, so pam_brud.so's calls land here and go on to
// the next definition (libc's, or the sanitizer's).
#include "json.h"

#include <gtest/gtest.h>
#include <dlfcn.h>
#include <stddef.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

using malloc_fn = void *(*)(size_t);
using calloc_fn = void *(*)(size_t, size_t);
using realloc_fn = void *(*)(void *, size_t);
using free_fn = void (*)(void *);

malloc_fn next_malloc;
calloc_fn next_calloc;
realloc_fn next_realloc;
free_fn next_free;

// dlsym may itself ask for memory before the real allocator is known.
alignas(16) char bootstrap[8192];
size_t bootstrap_used;
bool resolving;

bool counting;
long calls;      // every allocator call while counting
long live;       // blocks obtained minus blocks released while counting

void *bootstrap_alloc(size_t n)
{
    n = (n + 15) & ~size_t(15);
    if (bootstrap_used + n > sizeof bootstrap)
        abort();
    void *p = bootstrap + bootstrap_used;
    bootstrap_used += n;
    return p;  // static storage: already zero
}

bool from_bootstrap(void *p)
{
    return p >= static_cast<void *>(bootstrap) && p < static_cast<void *>(bootstrap + sizeof bootstrap);
}

void resolve()
{
    resolving = true;
    next_malloc = reinterpret_cast<malloc_fn>(dlsym(RTLD_NEXT, "malloc"));
    next_calloc = reinterpret_cast<calloc_fn>(dlsym(RTLD_NEXT, "calloc"));
    next_realloc = reinterpret_cast<realloc_fn>(dlsym(RTLD_NEXT, "realloc"));
    next_free = reinterpret_cast<free_fn>(dlsym(RTLD_NEXT, "free"));
    resolving = false;
}

void note(void *result, int delta)
{
    if (!counting)
        return;
    calls++;
    if (result || delta < 0)
        live += delta;
}

}  // namespace

extern "C" void *malloc(size_t n)
{
    if (!next_malloc) {
        if (resolving)
            return bootstrap_alloc(n);
        resolve();
    }
    void *p = next_malloc(n);
    note(p, 1);
    return p;
}

extern "C" void *calloc(size_t count, size_t size)
{
    if (!next_calloc) {
        if (resolving)
            return bootstrap_alloc(count * size);
        resolve();
    }
    void *p = next_calloc(count, size);
    note(p, 1);
    return p;
}

extern "C" void *realloc(void *old, size_t n)
{
    if (from_bootstrap(old)) {  // never happens in practice; keep it sound
        void *p = malloc(n);
        memcpy(p, old, n);
        return p;
    }
    if (!next_realloc)
        resolve();
    void *p = next_realloc(old, n);
    note(p, old ? 0 : 1);
    return p;
}

extern "C" void free(void *p)
{
    if (!p || from_bootstrap(p))
        return;
    if (!next_free)
        resolve();
    note(nullptr, -1);
    next_free(p);
}

struct heap_use {
    long calls;
    long live;
};

template <typename F>
static heap_use measure(F f)
{
    calls = live = 0;
    counting = true;
    f();
    counting = false;
    return {calls, live};
}

TEST(DecodeHeap, ValidateAllocatesNothing)
{
    const std::string documents[] = {
        "{\"name\": \"caf\\u00e9 \\ud83d\\ude00\", \"tags\": [\"a\", \"b\\n\", \"\xC3\xA9\"], "
        "\"n\": [0, -0, 1.5e-3, 12345678901234567890123, 1e400, 0.1, 3.141592653589793238462643],"
        " \"ok\": true, \"no\": false, \"nil\": null, \"deep\": [[[[{\"k\": {}}]]]]}",
        "\"" + std::string(5000, 'x') + "\\u20AC\"",
        "[" + std::string(200, '1') + "." + std::string(300, '2') + "e-30]",
    };
    for (const std::string &doc : documents) {
        bool valid = false;
        heap_use v = measure([&] { valid = json_validate(doc.c_str()); });
        EXPECT_TRUE(valid) << doc;
        EXPECT_EQ(v.calls, 0) << doc;
        // Positive control: building the same tree does reach the allocator.
        json_node *root = nullptr;
        heap_use d = measure([&] { root = json_decode(doc.c_str()); });
        ASSERT_NE(root, nullptr);
        EXPECT_GT(d.calls, 0);
        EXPECT_GT(d.live, 0);
        heap_use gone = measure([&] { json_delete(root); });
        EXPECT_EQ(d.live + gone.live, 0) << "json_delete released every block";
    }
    for (const char *bad : {"[1,2,x]", "{\"a\":[\"\\u0000\"]}", "\"abc"}) {
        bool valid = true;
        heap_use v = measure([&] { valid = json_validate(bad); });
        EXPECT_FALSE(valid);
        EXPECT_EQ(v.calls, 0) << bad;
    }
}
