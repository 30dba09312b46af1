// Round-trip property of the decoder and the encoders, for fuzz targets and
// tests: for any text that decodes to tree A with compact text T, T decodes
// to a tree that encodes to T again (decode, encode, decode, encode reaches
// a fixed point), A's indented layouts decode to trees that encode to T,
// and every decoded tree passes json_check.  Any violation aborts, which is what a fuzzer reports.
#ifndef VESNAR_JSON_FUZZ_ROUNDTRIP_H
#define VESNAR_JSON_FUZZ_ROUNDTRIP_H

#include "json.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

[[noreturn]] inline void json_roundtrip_fail(const char *what, const char *detail)
{
    fprintf(stderr, "round trip: %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
    abort();
}

// Decodes text, which the encoder wrote, into a tree that passes json_check.
inline json_node *json_roundtrip_decode(const char *text)
{
    json_node *tree = json_decode(text);
    if (!tree)
        json_roundtrip_fail("the encoder's output does not decode", text);
    char message[256];
    if (!json_check(tree, message))
        json_roundtrip_fail("decoded tree fails the self-check", message);
    return tree;
}

// Checks the compact encoding of the tree that layout_text decodes to.
inline void json_roundtrip_expect(const char *layout_text, const char *compact)
{
    json_node *tree = json_roundtrip_decode(layout_text);
    char *again = json_encode(tree);
    if (strcmp(again, compact) != 0)
        json_roundtrip_fail("no fixed point", layout_text);
    free(again);
    json_delete(tree);
}

// Returns false when text is not JSON (nothing more to check), true when
// every check passed; aborts otherwise.
inline bool json_roundtrip(const char *text)
{
    json_node *first = json_decode(text);
    if (json_validate(text) != (first != nullptr))
        json_roundtrip_fail("json_validate and json_decode disagree", text);
    if (!first)
        return false;
    char message[256];
    if (!json_check(first, message))
        json_roundtrip_fail("decoded tree fails the self-check", message);

    char *compact = json_encode(first);
    json_node *second = json_roundtrip_decode(compact);
    char *compact_again = json_encode(second);
    if (strcmp(compact, compact_again) != 0)
        json_roundtrip_fail("no fixed point after decode, encode, decode, encode", text);

    static const char *const spaces[] = {"", "  ", "\t"};
    for (const char *space : spaces) {
        char *indented = json_stringify(first, space);
        json_roundtrip_expect(indented, compact);
        free(indented);
    }

    free(compact_again);
    json_delete(second);
    free(compact);
    json_delete(first);
    return true;
}

#endif
