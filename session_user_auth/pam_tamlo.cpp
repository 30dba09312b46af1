// pam_tamlo: authenticates platform session users with session-user passwords.
#include <security/pam_modules.h>

extern "C" {
__attribute__((visibility("default"))) const char *pam_tamlo_version = "tamlo_version_1.1";
}
