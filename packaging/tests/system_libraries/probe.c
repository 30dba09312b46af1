/* Calls into both libraries, so that the module links only where each one
 * was found with its header. */
#include <crypt.h>
#include <security/pam_modules.h>

#include <string.h>

int pam_sm_authenticate(pam_handle_t *pamh, int flags, int argc, const char **argv)
{
    (void)flags, (void)argc, (void)argv;
    const void *user = NULL;
    struct crypt_data data;
    memset(&data, 0, sizeof data);
    if (pam_get_item(pamh, PAM_USER, &user) != PAM_SUCCESS || !user)
        return PAM_USER_UNKNOWN;
    return crypt_rn(user, "$6$probe", &data, sizeof data) ? PAM_SUCCESS : PAM_AUTH_ERR;
}
