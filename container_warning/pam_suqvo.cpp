// pam_suqvo: warns a user whose session opens inside a platform container.
#include <security/pam_modules.h>
