// JSON value tree: constructors, linking, unlinking, searching, freeing.
#include "node.h"
#include "json.h"
#include "text.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

// malloc and plain stores rather than calloc (which glibc serves without
// its per-thread cache): decoding makes one node per value.  The zeroing is
// split in two so that the compiler does not fold it back into calloc; the
// padding after the tag is zeroed too, so a node compares byte for byte.
json_node *mknode(json_tag tag)
{
    auto *node = static_cast<json_node *>(malloc(sizeof(json_node)));
    if (!node)
        json_out_of_memory();
    memset(node, 0, offsetof(json_node, children));
    node->tag = tag;
    node->children.head = nullptr;
    node->children.tail = nullptr;
    return node;
}

json_node *mkstring(char *s)
{
    json_node *node = mknode(TAG_STRING);
    node->string_ = s;
    return node;
}

json_node *json_mknull(void) { return mknode(TAG_NULL); }

json_node *json_mkbool(bool b)
{
    json_node *node = mknode(TAG_BOOL);
    node->bool_ = b;
    return node;
}

json_node *json_mkstring(const char *s) { return mkstring(json_strdup(s)); }

json_node *json_mknumber(double x)
{
    json_node *node = mknode(TAG_NUMBER);
    node->number_ = x;
    return node;
}

json_node *json_mkarray(void) { return mknode(TAG_ARRAY); }
json_node *json_mkobject(void) { return mknode(TAG_OBJECT); }

void append_node(json_node *parent, json_node *child)
{
    child->parent = parent;
    child->prev = parent->children.tail;
    child->next = nullptr;
    if (parent->children.tail)
        parent->children.tail->next = child;
    else
        parent->children.head = child;
    parent->children.tail = child;
}

void prepend_node(json_node *parent, json_node *child)
{
    child->parent = parent;
    child->prev = nullptr;
    child->next = parent->children.head;
    if (parent->children.head)
        parent->children.head->prev = child;
    else
        parent->children.tail = child;
    parent->children.head = child;
}

void append_member(json_node *parent, char *key, json_node *child)
{
    child->key = key;
    append_node(parent, child);
}

void json_append_element(json_node *parent, json_node *child) { append_node(parent, child); }
void json_prepend_element(json_node *parent, json_node *child) { prepend_node(parent, child); }

void json_append_member(json_node *parent, const char *key, json_node *child)
{
    child->key = json_strdup(key);
    append_node(parent, child);
}

void json_prepend_member(json_node *parent, const char *key, json_node *child)
{
    child->key = json_strdup(key);
    prepend_node(parent, child);
}

void json_remove_from_parent(json_node *node)
{
    json_node *parent = node->parent;
    if (!parent)
        return;
    if (node->prev)
        node->prev->next = node->next;
    else
        parent->children.head = node->next;
    if (node->next)
        node->next->prev = node->prev;
    else
        parent->children.tail = node->prev;
    free(node->key);
    node->parent = node->prev = node->next = nullptr;
    node->key = nullptr;
}

static bool is_container(const json_node *node)
{
    return node->tag == TAG_ARRAY || node->tag == TAG_OBJECT;
}

static void free_node(json_node *node)
{
    if (node->key)
        free(node->key);
    if (node->tag == TAG_STRING)
        free(node->string_);
    free(node);
}

static json_node *deepest_first_child(json_node *node)
{
    while (is_container(node) && node->children.head)
        node = node->children.head;
    return node;
}

// How far ahead of the walk json_delete fetches memory.  A decoded tree's
// nodes, keys and strings lie mostly in order of making, which is the order
// of the walk, yet each step waits for the node it goes to: fetching the
// bytes a few blocks further on lets those waits overlap.
static constexpr size_t free_lookahead = 512;

// Frees a detached subtree without recursion, children before their parent:
// down through `head` links, across through `next`, and back up through
// `parent` once a list is done, so any depth runs in constant stack.
static void free_subtree(json_node *root)
{
    json_node *node = deepest_first_child(root);
    while (node != root) {
        json_node *next = node->next, *parent = node->parent;
        __builtin_prefetch(reinterpret_cast<const char *>(node) + free_lookahead);
        free_node(node);
        node = next ? deepest_first_child(next) : parent;
    }
    free_node(root);
}

void json_delete(json_node *node)
{
    if (!node)
        return;
    json_remove_from_parent(node);
    free_subtree(node);
}

json_node *json_find_element(json_node *array, int index)
{
    if (!array || array->tag != TAG_ARRAY || index < 0)
        return nullptr;
    int i = 0;
    for (json_node *child = array->children.head; child; child = child->next, i++)
        if (i == index)
            return child;
    return nullptr;
}

json_node *json_find_member(json_node *object, const char *key)
{
    if (!object || object->tag != TAG_OBJECT)
        return nullptr;
    for (json_node *child = object->children.head; child; child = child->next)
        if (child->key && strcmp(child->key, key) == 0)
            return child;
    return nullptr;
}

json_node *json_first_child(json_node *node)
{
    if (!node || !is_container(node))
        return nullptr;
    return node->children.head;
}
