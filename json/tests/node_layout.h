/* The public record as callers rely on it on x86-64: compiled both as C
 * (node_layout.c) and as C++ (node_test.cpp), so that the two views of
 * json.h cannot drift apart or away from the ABI. */
#include "json.h"

#include <assert.h>
#include <stddef.h>

static_assert(offsetof(json_node, parent) == 0 && offsetof(json_node, prev) == 8 &&
                  offsetof(json_node, next) == 16 && offsetof(json_node, key) == 24 &&
                  offsetof(json_node, tag) == 32 && offsetof(json_node, bool_) == 40 &&
                  offsetof(json_node, string_) == 40 && offsetof(json_node, number_) == 40 &&
                  offsetof(json_node, children.head) == 40 && offsetof(json_node, children.tail) == 48 &&
                  sizeof(json_node) == 56 && sizeof(json_tag) == 4 && sizeof(((json_node *)0)->bool_) == 1,
              "json_node layout");
static_assert(TAG_NULL == 0 && TAG_BOOL == 1 && TAG_STRING == 2 && TAG_NUMBER == 3 && TAG_ARRAY == 4 &&
                  TAG_OBJECT == 5 && JSON_MAX_DEPTH == 1000,
              "json_tag values");
