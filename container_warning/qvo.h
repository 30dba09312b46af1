// Interface of the hosting platform's container library, libqvo.so.0, as
// this module binds it (symbol version QVO_1_5). The library is the
// platform's own; these declarations are all the module relies on.
#ifndef VESNAR_QVO_H
#define VESNAR_QVO_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void *(*qvo_alloc_fn)(size_t size);
typedef void (*qvo_free_fn)(void *ptr);

// A token for the calls below, taken from `alloc`; null with errno set on
// failure.
void *init_qvo(qvo_alloc_fn alloc, qvo_free_fn dealloc);

// Non-zero when the calling process runs inside a container, 0 when not.
int is_in_qvo(void *token);

// Releases the token (through the deallocator given to init_qvo).
void destroy_qvo(void *token);

#ifdef __cplusplus
}
#endif

#endif
