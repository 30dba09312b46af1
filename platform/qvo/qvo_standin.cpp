// Stand-in for the platform's container library, for tests and the demo.
//
// The answer comes from the environment variable QVO_STANDIN_ANSWER, read
// by init_qvo:
//   unset or "outside"  not inside a container (is_in_qvo gives 0)
//   "inside"            inside (is_in_qvo gives 1)
//   "inside:N"          inside, is_in_qvo gives the non-zero N
//   "fail:E"            init_qvo fails with errno E
// Any other value makes init_qvo fail with EINVAL.
//
// The token is taken from the allocator that init_qvo is given and handed
// back to the matching deallocator, so a token that is never released shows
// up as a leak and in the record's live count.
#include "qvo_standin.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define QVO_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const unsigned token_magic = 0x51564f31;  // "QVO1"

struct qvo_token {
    unsigned magic;
    int answer;
    qvo_free_fn dealloc;
};

struct qvo_standin_record record;

// A plain decimal integer filling the whole text.
bool parse_int(const char *text, int *out)
{
    char *end;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno || end == text || *end || v < -2147483647L - 1 || v > 2147483647L)
        return false;
    *out = (int)v;
    return true;
}

// True with the configured answer, or false with the errno for init_qvo.
bool configured_answer(int *answer, int *fail_errno)
{
    const char *mode = getenv("QVO_STANDIN_ANSWER");
    *fail_errno = EINVAL;
    if (!mode || strcmp(mode, "outside") == 0) {
        *answer = 0;
        return true;
    }
    if (strcmp(mode, "inside") == 0) {
        *answer = 1;
        return true;
    }
    if (strncmp(mode, "inside:", 7) == 0)
        return parse_int(mode + 7, answer) && *answer != 0;
    if (strncmp(mode, "fail:", 5) == 0 && !parse_int(mode + 5, fail_errno))
        *fail_errno = EINVAL;
    return false;
}

// A caller that hands over anything but a live token has a bug that the
// real library would not forgive either.
qvo_token *checked(void *token, const char *who)
{
    auto *t = static_cast<qvo_token *>(token);
    if (!t || t->magic != token_magic) {
        fprintf(stderr, "libqvo stand-in: %s: not a live token\n", who);
        abort();
    }
    return t;
}

}  // namespace

QVO_EXPORT void *init_qvo(qvo_alloc_fn alloc, qvo_free_fn dealloc)
{
    record.init_calls++;
    record.last_alloc = alloc;
    record.last_free = dealloc;
    if (!alloc || !dealloc) {
        errno = EINVAL;
        return nullptr;
    }
    int answer = 0, fail_errno = EINVAL;
    if (!configured_answer(&answer, &fail_errno)) {
        errno = fail_errno;
        return nullptr;
    }
    auto *t = static_cast<qvo_token *>(alloc(sizeof(qvo_token)));
    if (!t) {
        errno = ENOMEM;
        return nullptr;
    }
    *t = {token_magic, answer, dealloc};
    record.tokens_live++;
    return t;
}

QVO_EXPORT int is_in_qvo(void *token)
{
    record.is_in_calls++;
    return checked(token, "is_in_qvo")->answer;
}

QVO_EXPORT void destroy_qvo(void *token)
{
    record.destroy_calls++;
    qvo_token *t = checked(token, "destroy_qvo");
    t->magic = 0;
    record.tokens_live--;
    t->dealloc(t);
}

QVO_EXPORT const struct qvo_standin_record *qvo_standin_calls(void) { return &record; }

QVO_EXPORT void qvo_standin_reset(void) { record = {}; }
