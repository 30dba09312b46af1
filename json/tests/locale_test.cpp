// The "C" locale that the number writer needs is made on first use, once:
// loading pam_brud.so makes none, and failing to make it is the library's
// out-of-memory path instead of the end of the host at load time.
#include "json.h"

#include <gtest/gtest.h>
#include <dlfcn.h>
#include <errno.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

bool refuse_locales;
int c_locales_made;

}  // namespace

// Found before libc's in symbol lookup, so pam_brud.so's calls land here.
extern "C" locale_t newlocale(int mask, const char *name, locale_t base)
{
    using newlocale_fn = locale_t (*)(int, const char *, locale_t);
    static auto next = reinterpret_cast<newlocale_fn>(dlsym(RTLD_NEXT, "newlocale"));
    if (mask == LC_ALL_MASK && strcmp(name, "C") == 0) {
        if (refuse_locales) {
            errno = ENOMEM;
            return nullptr;
        }
        c_locales_made++;
    }
    return next(mask, name, base);
}

// In a child: loads the module and writes a subnormal twice (which takes
// snprintf under the "C" locale), telling on stderr how many "C" locales
// were made by then.
[[noreturn]] static void load_and_write_subnormals()
{
    void *module = dlopen(PAM_BRUD_SO, RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        fprintf(stderr, "%s\n", dlerror());
        exit(2);
    }
    fprintf(stderr, "loaded, %d made\n", c_locales_made);
    auto mknumber = reinterpret_cast<decltype(&json_mknumber)>(dlsym(module, "json_mknumber"));
    auto encode = reinterpret_cast<decltype(&json_encode)>(dlsym(module, "json_encode"));
    auto destroy = reinterpret_cast<decltype(&json_delete)>(dlsym(module, "json_delete"));
    json_node *tiny = mknumber(5e-324);
    for (int i = 0; i < 2; i++) {
        char *text = encode(tiny);
        fprintf(stderr, "%s ", text);
        free(text);
    }
    destroy(tiny);
    fprintf(stderr, "%d made\n", c_locales_made);
    exit(0);
}

TEST(CLocale, MadeOnceOnFirstUse)
{
    EXPECT_EXIT(load_and_write_subnormals(), testing::ExitedWithCode(0),
                "^loaded, 0 made\n4.940656458412465e-324 4.940656458412465e-324 1 made\n$");
}

TEST(CLocale, FailingToMakeItIsOutOfMemoryAfterLoading)
{
    EXPECT_EXIT(
        {
            refuse_locales = true;
            load_and_write_subnormals();
        },
        testing::ExitedWithCode(1), "^loaded, 0 made\nOut of memory.\n$");
}
