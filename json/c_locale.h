// A "C" locale object, so that number text is read and written the same way
// whatever locale the host process (su, login, ...) has set.
#ifndef VESNAR_JSON_C_LOCALE_H
#define VESNAR_JSON_C_LOCALE_H

#include <locale.h>

// Made on the first call (once, whichever thread calls first) and freed when
// the module is unloaded.  Loading the module does nothing that could fail:
// a host must never end just because it loaded pam_brud.so.
locale_t json_c_locale();

// Makes the "C" locale the calling thread's locale for one scope.
struct c_locale_scope {
    locale_t previous;
    c_locale_scope() : previous(uselocale(json_c_locale())) {}
    ~c_locale_scope() { uselocale(previous); }
    c_locale_scope(const c_locale_scope &) = delete;
    c_locale_scope &operator=(const c_locale_scope &) = delete;
};

#endif
