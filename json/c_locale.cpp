#include "c_locale.h"
#include "text.h"

static locale_t c_locale = nullptr;

__attribute__((constructor)) static void make_c_locale()
{
    c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
    if (!c_locale)
        json_out_of_memory();
}

__attribute__((destructor)) static void free_c_locale()
{
    if (c_locale)
        freelocale(c_locale);
    c_locale = nullptr;
}

locale_t json_c_locale() { return c_locale; }
