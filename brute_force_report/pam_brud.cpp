// pam_brud: reports authentication attempts and credential establishment to
// the local brute-force daemon and turns its verdict into a PAM result.
#define PAM_SM_AUTH
#include <security/pam_modules.h>

extern "C" {
__attribute__((visibility("default"))) const char *pam_brud_version = "quorix_version_4.1";
}
