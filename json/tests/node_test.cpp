// The value tree through pam_brud.so's exported operations, as an outside
// caller uses it.
#include "json.h"
#include "node_layout.h"
#include "tree_testing.h"

#include <gtest/gtest.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

using nodes = std::vector<json_node *>;

static bool all_zero(const void *p, size_t n)
{
    auto *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; i++)
        if (b[i])
            return false;
    return true;
}

TEST(NodeConstructors, NewNodesAreZeroButForTagAndValue)
{
    struct {
        json_node *node;
        json_tag tag;
        unsigned char first_value_byte;  // of the value union, the rest zero
    } cases[] = {
        {json_mknull(), TAG_NULL, 0},     {json_mkbool(true), TAG_BOOL, 1},  {json_mkbool(false), TAG_BOOL, 0},
        {json_mkarray(), TAG_ARRAY, 0},   {json_mkobject(), TAG_OBJECT, 0},
    };
    for (auto &c : cases) {
        EXPECT_EQ(c.node->tag, c.tag);
        EXPECT_TRUE(all_zero(c.node, offsetof(json_node, tag))) << c.tag;  // links and key
        unsigned char value[sizeof(json_node::children)];
        memcpy(value, &c.node->children, sizeof value);
        EXPECT_EQ(value[0], c.first_value_byte) << c.tag;
        EXPECT_TRUE(all_zero(value + 1, sizeof value - 1)) << c.tag;
        json_delete(c.node);
    }
    tree number(json_mknumber(-2.5));
    EXPECT_EQ(number->number_, -2.5);
    // json_mkstring keeps its own copy.
    char text[] = "hello";
    tree s(json_mkstring(text));
    text[0] = 'J';
    EXPECT_STREQ(s->string_, "hello");
}

TEST(NodeLinking, AppendAndPrependKeepOrderAndLinks)
{
    tree a(json_mkarray());
    json_node *one = json_mknumber(1), *two = json_mknumber(2), *zero = json_mknumber(0);
    json_append_element(a.get(), one);
    json_append_element(a.get(), two);
    json_prepend_element(a.get(), zero);
    EXPECT_EQ(linked_children(a.get()), (nodes{zero, one, two}));
    for (json_node *c : linked_children(a.get()))
        EXPECT_EQ(c->key, nullptr);

    tree e(json_mkarray());
    json_node *only = json_mknull();
    json_prepend_element(e.get(), only);  // into an empty list: sets the tail too
    EXPECT_EQ(linked_children(e.get()), (nodes{only}));
}

TEST(NodeLinking, MemberKeysAreCopiesAndDuplicatesStayInOrder)
{
    tree o(json_mkobject());
    json_node *a = json_mkstring("a"), *b = json_mkstring("b");
    char key[] = "k";
    json_prepend_member(o.get(), key, a);
    json_append_member(o.get(), "k", b);
    key[0] = 'z';
    EXPECT_EQ(linked_children(o.get()), (nodes{a, b}));
    EXPECT_STREQ(a->key, "k");
    EXPECT_EQ(json_find_member(o.get(), "k"), a);
    EXPECT_EQ(json_find_member(o.get(), "z"), nullptr);
    json_delete(a);
    EXPECT_EQ(json_find_member(o.get(), "k"), b);  // the duplicate, once the first is gone
}

TEST(NodeUnlinking, DeletingChildrenRepairsTheList)
{
    tree a(json_mkarray());
    json_node *n[4];
    for (int i = 0; i < 4; i++)
        json_append_element(a.get(), n[i] = json_mknumber(i));
    json_delete(n[1]);  // middle: neighbours join
    EXPECT_EQ(linked_children(a.get()), (nodes{n[0], n[2], n[3]}));
    json_delete(n[0]);  // head
    json_delete(n[3]);  // tail
    EXPECT_EQ(linked_children(a.get()), (nodes{n[2]}));
    json_delete(n[2]);  // only child
    EXPECT_EQ(a->children.head, nullptr);
    EXPECT_EQ(a->children.tail, nullptr);
    json_delete(nullptr);
}

TEST(NodeUnlinking, RemovingAMemberFreesItsKeyAndLeavesItReusable)
{
    tree o(json_mkobject()), a(json_mkarray());
    json_node *x = json_mknumber(1), *y = json_mknumber(2), *z = json_mknumber(3);
    json_append_member(o.get(), "x", x);
    json_append_member(o.get(), "y", y);
    json_append_member(o.get(), "z", z);
    json_remove_from_parent(z);  // the tail follows
    json_remove_from_parent(x);  // the head follows
    EXPECT_EQ(linked_children(o.get()), (nodes{y}));
    for (json_node *gone : {x, z})
        EXPECT_TRUE(gone->key == nullptr && gone->parent == nullptr && gone->prev == nullptr &&
                    gone->next == nullptr);
    json_append_element(a.get(), x);
    json_append_member(o.get(), "again", z);
    EXPECT_EQ(linked_children(a.get()), (nodes{x}));
    EXPECT_EQ(json_find_member(o.get(), "again"), z);

    // A root is left exactly as it was, even a key set by hand; json_delete
    // frees that key (the leak checkers watch).
    a->key = strdup("kept");
    json_node before = *a;
    json_remove_from_parent(a.get());
    EXPECT_EQ(memcmp(&before, a.get(), sizeof before), 0);
}

TEST(NodeSearch, PositionsKeysAndWrongKinds)
{
    EXPECT_EQ(json_first_child(nullptr), nullptr);
    EXPECT_EQ(json_find_element(nullptr, 0), nullptr);
    EXPECT_EQ(json_find_member(nullptr, "k"), nullptr);
    for (json_node *s : {json_mknull(), json_mkbool(true), json_mkstring("s"), json_mknumber(1)}) {
        EXPECT_EQ(json_first_child(s), nullptr) << s->tag;
        EXPECT_EQ(json_find_element(s, 0), nullptr);
        EXPECT_EQ(json_find_member(s, "s"), nullptr);
        json_delete(s);
    }

    tree a(json_mkarray()), o(json_mkobject());
    EXPECT_EQ(json_find_element(a.get(), 0), nullptr);
    json_node *e0 = json_mkstring("k"), *e1 = json_mknull(), *m = json_mknull();
    json_append_element(a.get(), e0);
    json_append_element(a.get(), e1);
    json_append_member(o.get(), "k", m);
    EXPECT_EQ(json_find_element(a.get(), 1), e1);
    for (int past : {2, -1, INT32_MIN})
        EXPECT_EQ(json_find_element(a.get(), past), nullptr) << past;
    EXPECT_EQ(json_find_member(a.get(), "k"), nullptr);
    EXPECT_EQ(json_first_child(a.get()), e0);
    EXPECT_EQ(json_find_element(o.get(), 0), nullptr);  // an object has no positions
    EXPECT_EQ(json_first_child(o.get()), m);
    EXPECT_EQ(json_find_member(o.get(), "K"), nullptr);
}

// Every level holds a string and, at its tail, the next level's container.
static json_node *build_deep_tree(int levels)
{
    json_node *root = json_mkarray();
    json_node *cur = root;
    for (int i = 0; i < levels; i++) {
        json_node *next = i % 2 ? json_mkarray() : json_mkobject();
        if (cur->tag == TAG_OBJECT) {
            json_append_member(cur, "s", json_mkstring("leaf"));
            json_append_member(cur, "k", next);
        } else {
            json_append_element(cur, json_mkstring("leaf"));
            json_append_element(cur, next);
        }
        cur = next;
    }
    return root;
}

TEST(NodeDelete, FreesAHundredThousandLevelsOnASmallStack)
{
    constexpr int levels = 100000;
    // From the middle first: the part above stays consistent.
    json_node *root = build_deep_tree(levels);
    json_node *mid = root;
    for (int i = 0; i < levels / 2; i++)
        mid = mid->children.tail;
    json_node *parent = mid->parent;
    run_on_small_stack([mid] { json_delete(mid); }, 128 * 1024);
    ASSERT_EQ(linked_children(parent).size(), 1u);
    EXPECT_STREQ(parent->children.head->string_, "leaf");
    run_on_small_stack([root] { json_delete(root); }, 128 * 1024);
}
