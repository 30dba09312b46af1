// What the libqvo.so.0 stand-in lets tests see. These names live under
// their own version node, apart from the platform interface.
#ifndef VESNAR_QVO_STANDIN_H
#define VESNAR_QVO_STANDIN_H
#include "qvo.h"

#ifdef __cplusplus
extern "C" {
#endif

struct qvo_standin_record {
    int init_calls;
    int is_in_calls;
    int destroy_calls;
    int tokens_live;          // allocated by init_qvo, not yet destroyed
    qvo_alloc_fn last_alloc;  // allocator handed to the last init_qvo
    qvo_free_fn last_free;    // deallocator handed to the last init_qvo
};

// The calls seen since the library was loaded or last reset.
const struct qvo_standin_record *qvo_standin_calls(void);
void qvo_standin_reset(void);

#ifdef __cplusplus
}
#endif

#endif
