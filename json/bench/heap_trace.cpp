// The program's malloc, calloc, realloc and free are these forwarders to
// glibc's own, so that the calls of pam_brud.so (opened with dlopen, so
// bound to the program's definitions first) can be recorded.  Outside a
// recording they add one predictable branch to every library alike.
#include "heap_trace.h"

#include <stdio.h>
#include <string.h>

#include <unordered_map>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void __libc_free(void *block);
}

namespace {

struct raw_call {
    heap_call::kind_t kind;
    size_t size;
    void *result;
    void *argument;
};

// Filled only between record_heap_calls's start and end; never grows while
// recording, since growing would itself call malloc.
raw_call *raw_calls;
size_t raw_count, raw_capacity;
bool recording, overflowed;

void note(heap_call::kind_t kind, size_t size, void *result, void *argument)
{
    if (raw_count == raw_capacity) {
        overflowed = true;
        return;
    }
    raw_calls[raw_count++] = {kind, size, result, argument};
}

}  // namespace

extern "C" void *malloc(size_t size)
{
    void *block = __libc_malloc(size);
    if (__builtin_expect(recording, false))
        note(heap_call::MALLOC, size, block, nullptr);
    return block;
}

extern "C" void *calloc(size_t count, size_t size)
{
    void *block = __libc_calloc(count, size);
    if (__builtin_expect(recording, false))
        note(heap_call::CALLOC, count * size, block, nullptr);
    return block;
}

extern "C" void *realloc(void *old, size_t size)
{
    void *block = __libc_realloc(old, size);
    if (__builtin_expect(recording, false))
        note(heap_call::REALLOC, size, block, old);
    return block;
}

extern "C" void free(void *block)
{
    if (__builtin_expect(recording, false))
        note(heap_call::FREE, 0, nullptr, block);
    __libc_free(block);
}

namespace {

// Numbers the blocks in order of their making.
void number_blocks(heap_trace *trace)
{
    std::unordered_map<void *, size_t> live;
    trace->calls.clear();
    trace->calls.reserve(raw_count);
    trace->blocks = 0;
    for (size_t i = 0; i < raw_count; i++) {
        const raw_call &c = raw_calls[i];
        size_t block = no_block;
        if (c.kind == heap_call::FREE || c.kind == heap_call::REALLOC) {
            auto it = live.find(c.argument);
            if (it != live.end()) {
                block = it->second;
                live.erase(it);
            }
        }
        heap_call::kind_t kind = c.kind;
        if (kind != heap_call::FREE) {
            if (block == no_block) {
                block = trace->blocks++;
                if (kind == heap_call::REALLOC)
                    kind = heap_call::MALLOC;  // of null: a fresh block
            }
            live[c.result] = block;
        }
        trace->calls.push_back({kind, c.size, block});
    }
}

}  // namespace

bool record_heap_calls(bool (*fn)(const char *text), const char *text, heap_trace *trace)
{
    raw_capacity = 4 * strlen(text) + 64;
    raw_calls = static_cast<raw_call *>(__libc_malloc(raw_capacity * sizeof(raw_call)));
    raw_count = 0;
    overflowed = false;
    recording = true;
    fn(text);
    recording = false;
    if (!overflowed)
        number_blocks(trace);
    __libc_free(raw_calls);
    return !overflowed;
}

void replay_heap_calls(const heap_trace &trace, void **blocks)
{
    for (const heap_call &c : trace.calls) {
        switch (c.kind) {
        case heap_call::MALLOC:
            blocks[c.block] = malloc(c.size);
            break;
        case heap_call::CALLOC:
            blocks[c.block] = calloc(1, c.size);
            break;
        case heap_call::REALLOC:
            blocks[c.block] = realloc(blocks[c.block], c.size);
            break;
        case heap_call::FREE:
            free(c.block == no_block ? nullptr : blocks[c.block]);
            break;
        }
    }
}
