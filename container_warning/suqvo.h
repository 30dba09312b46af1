// pam_suqvo's exported helpers: the container token of the platform's
// library, held for the length of one session opening.
#ifndef VESNAR_SUQVO_H
#define VESNAR_SUQVO_H

#include "export.h"

extern "C" {
// Asks the platform library for a token; null (one message logged under
// the module's identity) on failure. The host's own log is never touched.
VESNAR_EXPORT void *init_qvotoken(void);

// Releases a token; null is allowed.
VESNAR_EXPORT void destroy_qvotoken(void *token);
}

#endif
