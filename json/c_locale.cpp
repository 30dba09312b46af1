#include "c_locale.h"
#include "text.h"

#include <pthread.h>

namespace {

// pthread_once rather than a function-local static: a static with a dynamic
// initialiser would import the C++ runtime's guard functions into the host.
pthread_once_t c_locale_once = PTHREAD_ONCE_INIT;
locale_t c_locale = nullptr;

void make_c_locale()
{
    c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
    if (!c_locale)
        json_out_of_memory();  // newlocale fails only for want of memory
}

// A host that loads and unloads the module again and again must not lose a
// locale each time.
__attribute__((destructor)) void free_c_locale()
{
    if (c_locale)
        freelocale(c_locale);
}

}  // namespace

locale_t json_c_locale()
{
    pthread_once(&c_locale_once, make_c_locale);
    return c_locale;
}
