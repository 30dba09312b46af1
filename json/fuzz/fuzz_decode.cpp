// libFuzzer target for the decoder.  For every input:
//  - json_validate and json_decode agree;
//  - a decoded tree is well formed: links consistent, keys exactly on object
//    members, every text valid UTF-8 without NUL, depth within the limit;
//  - a text that is one number decodes to exactly what strtod gives for it
//    in the C locale;
//  - once an encoder is linked in, encoding and decoding again and again
//    reaches a fixed point within a few rounds.
#include "decode.h"
#include "json.h"
#include "text.h"

#include <locale.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Present once the encoder is built into the library.
#pragma weak json_encode

#define require(ok) ((ok) ? (void)0 : fail(#ok, __LINE__))

[[noreturn]] static void fail(const char *what, int line)
{
    fprintf(stderr, "fuzz_decode.cpp:%d: %s does not hold\n", line, what);
    abort();
}

static void check_tree(const json_node *node, int depth)
{
    require(node->tag <= TAG_OBJECT);
    if (node->tag == TAG_STRING)
        require(node->string_ && utf8_validate(node->string_));
    if (node->tag != TAG_ARRAY && node->tag != TAG_OBJECT)
        return;
    require(depth <= JSON_MAX_DEPTH);
    require((node->children.head == nullptr) == (node->children.tail == nullptr));
    const json_node *prev = nullptr;
    for (const json_node *c = node->children.head; c; c = c->next) {
        require(c->parent == node && c->prev == prev);
        if (node->tag == TAG_OBJECT)
            require(c->key && utf8_validate(c->key));
        else
            require(c->key == nullptr);
        check_tree(c, depth + 1);
        prev = c;
    }
    require(node->children.tail == prev);
}

// Numbers are written with sixteen significant digits, which not every
// double survives: the first re-encoding may still move a number to its
// neighbour (1.0000000000000003e+23 is written 1e+23, which reads back as
// 9.9999999999999992e+22), but from there on the text must stay the same.
static void check_fixed_point(const json_node *root)
{
    constexpr int rounds = 2;
    char *text[rounds + 1];
    text[0] = json_encode(root);
    require(text[0] != nullptr);
    for (int i = 1; i <= rounds; i++) {
        json_node *tree = json_decode(text[i - 1]);
        if (!tree)
            fprintf(stderr, "encoded text: %s\n", text[i - 1]);
        require(tree != nullptr);
        text[i] = json_encode(tree);
        json_delete(tree);
    }
    if (strcmp(text[rounds - 1], text[rounds]) != 0)
        for (int i = 0; i <= rounds; i++)
            fprintf(stderr, "encoding %d: %s\n", i, text[i]);
    require(strcmp(text[rounds - 1], text[rounds]) == 0);
    for (char *t : text)
        free(t);
}

static void check_number(const char *text, const json_node *root)
{
    static locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    require(root && root->tag == TAG_NUMBER);
    double want = strtod_l(text, nullptr, c);
    require(memcmp(&want, &root->number_, sizeof want) == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char *text = static_cast<char *>(malloc(size + 1));
    memcpy(text, data, size);
    text[size] = '\0';
    bool valid = json_validate(text);
    json_node *root = json_decode(text);
    require(valid == (root != nullptr));
    if (number_is_valid(text))
        check_number(text, root);
    if (root) {
        require(root->parent == nullptr && root->key == nullptr);
        check_tree(root, 1);
        if (json_encode)
            check_fixed_point(root);
    }
    json_delete(root);
    free(text);
    return 0;
}
