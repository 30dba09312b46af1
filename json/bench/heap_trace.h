// The heap calls that one call of a function makes, recorded so that they
// can be made again alone: the same sizes in the same order.  Their time is
// the least that a decoder whose every node, key and string is a block of
// its own can take.
#ifndef VESNAR_JSON_BENCH_HEAP_TRACE_H
#define VESNAR_JSON_BENCH_HEAP_TRACE_H
#include <stddef.h>

#include <vector>

struct heap_call {
    enum kind_t : unsigned char { MALLOC, CALLOC, REALLOC, FREE } kind;
    size_t size;   // MALLOC, REALLOC: bytes; CALLOC: the product of its arguments
    size_t block;  // index of the block made or used; FREE of null: none
};

struct heap_trace {
    std::vector<heap_call> calls;
    size_t blocks = 0;
};

constexpr size_t no_block = ~size_t(0);

// Runs fn(text) once and records its calls; false when they were too many
// to record (budget: about four per byte of text).
bool record_heap_calls(bool (*fn)(const char *text), const char *text, heap_trace *trace);

// Makes the recorded calls again; blocks has trace.blocks slots.
void replay_heap_calls(const heap_trace &trace, void **blocks);

#endif
