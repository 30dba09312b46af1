/* The record layout as a C compiler sees the public header; the node tests
 * compare it with the C++ view and with what the module builds. */
#include "json.h"

#include <stddef.h>

const size_t json_layout_from_c[] = {
    offsetof(json_node, parent),
    offsetof(json_node, prev),
    offsetof(json_node, next),
    offsetof(json_node, key),
    offsetof(json_node, tag),
    offsetof(json_node, bool_),
    offsetof(json_node, string_),
    offsetof(json_node, number_),
    offsetof(json_node, children.head),
    offsetof(json_node, children.tail),
    sizeof(json_node),
    sizeof(((json_node *)0)->bool_),
    sizeof(json_tag),
};

/* A tree built by hand in C: [true, {"k": "v"}] with every link set. */
json_node *json_layout_c_tree(void)
{
    static json_node nodes[4];
    json_node *array = &nodes[0], *yes = &nodes[1], *object = &nodes[2], *str = &nodes[3];
    array->tag = TAG_ARRAY;
    array->children.head = yes;
    array->children.tail = object;
    yes->tag = TAG_BOOL;
    yes->bool_ = true;
    yes->parent = array;
    yes->next = object;
    object->tag = TAG_OBJECT;
    object->parent = array;
    object->prev = yes;
    object->children.head = object->children.tail = str;
    static char key[] = "k", value[] = "v";
    str->tag = TAG_STRING;
    str->parent = object;
    str->key = key;
    str->string_ = value;
    return array;
}
