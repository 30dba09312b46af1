// pam_suqvo's exported helpers: the container token of the platform's
// library, held for the length of one session opening.
#ifndef VESNAR_SUQVO_H
#define VESNAR_SUQVO_H

#include "export.h"

// On a container host, where this exists (any file type), the module does nothing.
constexpr char SUQVO_CONTAINER_MARKER[] = "/etc/zelvaronix-container";
// The platform's container library and the symbol version the module binds.
constexpr char SUQVO_QVO_LIBRARY[] = "libqvo.so.0";
constexpr char SUQVO_QVO_VERSION[] = "QVO_1_5";

extern "C" {
// Asks the platform library for a token; null (one message logged under
// the module's identity) on failure. The host's own log is never touched.
VESNAR_EXPORT void *init_qvotoken(void);

// Releases a token; null is allowed.
VESNAR_EXPORT void destroy_qvotoken(void *token);
}

#endif
