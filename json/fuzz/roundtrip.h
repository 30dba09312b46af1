// Round-trip property of the decoder and the encoders, for fuzz targets and
// tests.  For any text that decodes to a tree A:
//   - A's compact text T1 decodes to a tree B with compact text T2, and T2
//     is a fixed point: it decodes to a tree that encodes to T2 again.
//     (T1 and T2 differ only where a sixteen-digit number sits on a power
//     of ten whose nearest double lies below it: 1e+23 reads back as
//     9.999999999999999e+22, which then stays.)
//   - A's indented layouts decode to trees that encode to T2, like T1.
//   - Every decoded tree passes json_check, and json_validate agrees with
//     json_decode on the text.
// Any violation aborts, which is what a fuzzer reports.
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

// Aborts unless layout_text, which the encoder wrote, decodes to a sound
// tree whose compact text is compact.
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
    json_roundtrip_expect(compact_again, compact_again);

    static const char *const spaces[] = {"", "  ", "\t"};
    for (const char *space : spaces) {
        char *indented = json_stringify(first, space);
        json_roundtrip_expect(indented, compact_again);
        free(indented);
    }

    free(compact_again);
    json_delete(second);
    free(compact);
    json_delete(first);
    return true;
}

#endif
