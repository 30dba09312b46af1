// libFuzzer target for the decoder.  For every input:
//  - json_validate and json_decode agree;
//  - a decoded tree is well formed: links consistent, keys exactly on object
//    members, every text valid UTF-8 without NUL, depth within the limit;
//  - a text that is one number decodes to exactly what strtod gives for it
//    in the C locale;
//  - encoding (compact and indented) and decoding again settles on one
//    text, and every tree on the way passes json_check (roundtrip.h);
//  - the input's bytes as a string literal decode to one string, the same
//    bytes again when they were valid UTF-8.
#include "number.h"
#include "json.h"
#include "roundtrip.h"
#include "text.h"

#include <locale.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

static void check_literal(const char *text)
{
    char *literal = json_encode_string(text);
    json_node *decoded = json_decode(literal);
    require(decoded && decoded->tag == TAG_STRING);
    if (utf8_validate(text))
        require(strcmp(decoded->string_, text) == 0);
    json_delete(decoded);
    free(literal);
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
        json_roundtrip(text);
    }
    json_delete(root);
    check_literal(text);
    free(text);
    return 0;
}
