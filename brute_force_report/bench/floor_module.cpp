// An empty PAM module with pam_brud's dependencies (libpam, libcrypt, libc):
// what loading any such module costs, and a stack that loads the crypt
// library as a real one's password module does.
#include <security/pam_modules.h>

extern "C" {
__attribute__((visibility("default"))) int pam_sm_authenticate(pam_handle_t *, int, int, const char **)
{
    return PAM_IGNORE;
}
}
