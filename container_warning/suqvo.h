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
// Opens the log under the module's identity and asks the platform library
// for a token; null (one message logged) on failure. The log stays open.
VESNAR_EXPORT void *init_qvotoken(void);

// Releases a token (null is allowed) and closes the log in every case.
VESNAR_EXPORT void destroy_qvotoken(void *token);
}

#endif
