// Structural self-check of a json_node tree.
//
// The subtree is visited depth first, without recursion, so that a
// hand-built tree of any depth is checked in constant C stack.  A child's
// links are tested before the walk enters it, `parent` included, so the
// walk climbs back through `parent` links that are already known to be
// right.  The same fact keeps the walk finite: a node whose parent link
// points at the node above it cannot stand twice on the path from the root,
// except for the root itself, whose own links are never examined.  Meeting
// the root again below itself is the one containment cycle there is.
#include "json.h"
#include "text.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

static constexpr size_t message_size = 256;

__attribute__((format(printf, 2, 3)))
static bool fail(char *errmsg, const char *format, ...)
{
    if (errmsg) {
        va_list args;
        va_start(args, format);
        vsnprintf(errmsg, message_size, format, args);
        va_end(args);
    }
    return false;
}

static bool has_children(const json_node *node)
{
    return (node->tag == TAG_ARRAY || node->tag == TAG_OBJECT) && node->children.head;
}

static bool tag_is_valid(json_tag tag)
{
    return tag <= TAG_OBJECT;
}

// The value byte as stored; a damaged node may hold any byte there.
static unsigned char bool_byte(const json_node *node)
{
    unsigned char byte;
    memcpy(&byte, &node->bool_, 1);
    return byte;
}

// The tests on one node before its children: key, tag, value, list ends.
static bool check_node(const json_node *node, char *errmsg)
{
    if (node->key && !utf8_validate(node->key))
        return fail(errmsg, "key contains invalid UTF-8");
    if (!tag_is_valid(node->tag))
        return fail(errmsg, "tag is invalid (%u)", static_cast<unsigned>(node->tag));
    switch (node->tag) {
    case TAG_BOOL:
        if (bool_byte(node) > 1)
            return fail(errmsg, "bool_ is neither false (%d) nor true (%d)", 0, 1);
        return true;
    case TAG_STRING:
        if (!node->string_)
            return fail(errmsg, "string_ is NULL");
        if (!utf8_validate(node->string_))
            return fail(errmsg, "string_ contains invalid UTF-8");
        return true;
    case TAG_ARRAY:
    case TAG_OBJECT: {
        const json_node *head = node->children.head;
        const json_node *tail = node->children.tail;
        if (head && !tail)
            return fail(errmsg, "tail is NULL, but head is not");
        if (!head && tail)
            return fail(errmsg, "head is NULL, but tail is not");
        if (head && head->prev)
            return fail(errmsg, "First child's prev pointer is not NULL");
        return true;
    }
    default:
        return true;
    }
}

// The tests on a child's links, made before the walk enters the child.
static bool check_link(const json_node *node, const json_node *child, const json_node *root,
                       char *errmsg)
{
    if (child == node)
        return fail(errmsg, "node is its own child");
    if (child->next == child)
        return fail(errmsg, "child->next == child (cycle)");
    if (child->next == node->children.head)
        return fail(errmsg, "child->next == head (cycle)");
    if (child->parent != node)
        return fail(errmsg, "child does not point back to parent");
    if (child->next && child->next->prev != child)
        return fail(errmsg, "child->next does not point back to child");
    if (node->tag == TAG_ARRAY && child->key)
        return fail(errmsg, "Array element's key is not NULL");
    if (node->tag == TAG_OBJECT && !child->key)
        return fail(errmsg, "Object member's key is NULL");
    if (child == root)
        return fail(errmsg, "node is its own ancestor (cycle)");
    return true;
}

bool json_check(const json_node *root, char *errmsg)
{
    const json_node *node = root;
    for (;;) {
        if (!check_node(node, errmsg))
            return false;
        if (has_children(node)) {
            const json_node *first = node->children.head;
            if (!check_link(node, first, root, errmsg))
                return false;
            node = first;
            continue;
        }
        // node and its subtree are sound: go on with its next sibling, or
        // finish its parent's list and climb.
        for (;;) {
            if (node == root)
                return true;
            const json_node *parent = node->parent;
            if (const json_node *next = node->next) {
                if (!check_link(parent, next, root, errmsg))
                    return false;
                node = next;
                break;
            }
            if (node != parent->children.tail)
                return fail(errmsg,
                            "tail does not match pointer found by starting at head and following next links");
            node = parent;
        }
    }
}
