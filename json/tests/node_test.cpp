// The value tree through pam_brud.so's exported operations, as an outside
// caller uses it.
#include "json.h"
#include "tree_testing.h"

#include <gtest/gtest.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

extern "C" const size_t json_layout_from_c[];
extern "C" json_node *json_layout_c_tree(void);


static bool all_zero(const void *p, size_t n)
{
    auto *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; i++)
        if (b[i])
            return false;
    return true;
}

TEST(NodeLayout, FieldOrderAndTypesAreThoseOfThePublicRecord)
{
    // x86-64: five pointer-sized words, then the value union.
    const size_t expected[] = {0, 8, 16, 24, 32, 40, 40, 40, 40, 48, 56, 1, 4};
    const size_t from_cxx[] = {
        offsetof(json_node, parent),        offsetof(json_node, prev),
        offsetof(json_node, next),          offsetof(json_node, key),
        offsetof(json_node, tag),           offsetof(json_node, bool_),
        offsetof(json_node, string_),       offsetof(json_node, number_),
        offsetof(json_node, children.head), offsetof(json_node, children.tail),
        sizeof(json_node),                  sizeof(json_node{}.bool_),
        sizeof(json_tag),
    };
    for (size_t i = 0; i < std::size(expected); i++) {
        EXPECT_EQ(json_layout_from_c[i], expected[i]) << "C view, item " << i;
        EXPECT_EQ(from_cxx[i], expected[i]) << "C++ view, item " << i;
    }
    EXPECT_EQ(TAG_NULL, 0u);
    EXPECT_EQ(TAG_BOOL, 1u);
    EXPECT_EQ(TAG_STRING, 2u);
    EXPECT_EQ(TAG_NUMBER, 3u);
    EXPECT_EQ(TAG_ARRAY, 4u);
    EXPECT_EQ(TAG_OBJECT, 5u);
}

TEST(NodeLayout, HandBuiltCTreeIsReadByTheLibrary)
{
    json_node *array = json_layout_c_tree();
    json_node *object = json_find_element(array, 1);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->tag, (json_tag)TAG_OBJECT);
    json_node *v = json_find_member(object, "k");
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v->string_, "v");
    EXPECT_EQ(json_first_child(array)->bool_, true);
    EXPECT_EQ(json_find_element(array, 2), nullptr);
}

TEST(NodeConstructors, NewNodesAreZeroButForTagAndValue)
{
    json_node *nodes[] = {json_mknull(), json_mkbool(true), json_mkstring("x"),
                          json_mknumber(-2.5), json_mkarray(), json_mkobject()};
    const json_tag tags[] = {TAG_NULL, TAG_BOOL, TAG_STRING, TAG_NUMBER, TAG_ARRAY, TAG_OBJECT};
    for (size_t i = 0; i < std::size(nodes); i++) {
        json_node *n = nodes[i];
        EXPECT_EQ(n->tag, tags[i]);
        EXPECT_TRUE(all_zero(n, offsetof(json_node, tag))) << i;  // links and key
    }
    EXPECT_TRUE(all_zero(&nodes[0]->children, sizeof nodes[0]->children));
    // The boolean is stored as the single byte 1, nothing else in the union.
    unsigned char value[sizeof(json_node::children)];
    memcpy(value, &nodes[1]->children, sizeof value);
    EXPECT_EQ(value[0], 1);
    EXPECT_TRUE(all_zero(value + 1, sizeof value - 1));
    json_node *no = json_mkbool(false);
    EXPECT_TRUE(all_zero(&no->children, sizeof no->children));
    json_delete(no);
    EXPECT_STREQ(nodes[2]->string_, "x");
    EXPECT_EQ(nodes[3]->number_, -2.5);
    EXPECT_TRUE(all_zero(&nodes[4]->children, sizeof nodes[4]->children));
    EXPECT_TRUE(all_zero(&nodes[5]->children, sizeof nodes[5]->children));
    for (json_node *n : nodes)
        json_delete(n);
}

TEST(NodeConstructors, MkstringKeepsItsOwnCopy)
{
    char text[] = "hello";
    json_node *n = json_mkstring(text);
    EXPECT_NE(n->string_, text);
    text[0] = 'J';
    EXPECT_STREQ(n->string_, "hello");
    char *heap = strdup("gone");
    json_node *m = json_mkstring(heap);
    free(heap);
    EXPECT_STREQ(m->string_, "gone");
    json_delete(n);
    json_delete(m);
}

TEST(NodeLinking, AppendAndPrependKeepOrderAndLinks)
{
    json_node *a = json_mkarray();
    json_node *one = json_mknumber(1), *two = json_mknumber(2), *zero = json_mknumber(0);
    json_append_element(a, one);
    json_append_element(a, two);
    json_prepend_element(a, zero);
    EXPECT_EQ(linked_children(a), (std::vector<json_node *>{zero, one, two}));
    for (json_node *c : linked_children(a))
        EXPECT_EQ(c->key, nullptr);

    json_node *e = json_mkarray();
    json_node *only = json_mknull();
    json_prepend_element(e, only);  // prepend into an empty list sets the tail too
    EXPECT_EQ(linked_children(e), (std::vector<json_node *>{only}));
    json_delete(a);
    json_delete(e);
}

TEST(NodeLinking, MemberKeysAreCopiesAndDuplicatesStayInOrder)
{
    json_node *o = json_mkobject();
    json_node *a = json_mkstring("a"), *b = json_mkstring("b");
    char key[] = "k";
    json_prepend_member(o, key, a);
    json_append_member(o, "k", b);
    key[0] = 'z';
    EXPECT_EQ(linked_children(o), (std::vector<json_node *>{a, b}));
    EXPECT_STREQ(a->key, "k");
    EXPECT_NE(a->key, key);
    EXPECT_EQ(json_find_member(o, "k"), a);
    EXPECT_EQ(json_find_member(o, "z"), nullptr);
    json_delete(a);
    EXPECT_EQ(json_find_member(o, "k"), b);  // the duplicate is found once the first is gone
    json_delete(o);
}

TEST(NodeUnlinking, DeletingChildrenRepairsTheList)
{
    json_node *a = json_mkarray();
    json_node *n[4];
    for (int i = 0; i < 4; i++)
        json_append_element(a, n[i] = json_mknumber(i));
    json_delete(n[1]);  // middle: neighbours join
    EXPECT_EQ(linked_children(a), (std::vector<json_node *>{n[0], n[2], n[3]}));
    EXPECT_EQ(n[0]->next, n[2]);
    EXPECT_EQ(n[2]->prev, n[0]);
    json_delete(n[0]);  // head
    json_delete(n[3]);  // tail
    EXPECT_EQ(linked_children(a), (std::vector<json_node *>{n[2]}));
    json_delete(n[2]);  // only child
    EXPECT_EQ(a->children.head, nullptr);
    EXPECT_EQ(a->children.tail, nullptr);
    json_delete(a);
    json_delete(nullptr);
}

TEST(NodeUnlinking, RemovingAMemberFreesItsKeyAndLeavesItReusable)
{
    json_node *o = json_mkobject();
    json_node *x = json_mknumber(1), *y = json_mknumber(2), *z = json_mknumber(3);
    json_append_member(o, "x", x);
    json_append_member(o, "y", y);
    json_append_member(o, "z", z);
    json_remove_from_parent(z);  // tail follows
    EXPECT_EQ(z->key, nullptr);
    EXPECT_EQ(z->parent, nullptr);
    EXPECT_EQ(z->prev, nullptr);
    EXPECT_EQ(o->children.tail, y);
    json_remove_from_parent(x);  // head follows
    EXPECT_EQ(o->children.head, y);
    EXPECT_EQ(y->prev, nullptr);
    EXPECT_EQ(linked_children(o), (std::vector<json_node *>{y}));

    json_node *a = json_mkarray();
    json_append_element(a, x);
    json_append_member(o, "again", z);
    EXPECT_EQ(linked_children(a), (std::vector<json_node *>{x}));
    EXPECT_EQ(x->key, nullptr);
    EXPECT_EQ(json_find_member(o, "again"), z);
    json_delete(a);
    json_delete(o);
}

TEST(NodeUnlinking, RemovingARootChangesNothing)
{
    json_node *root = json_mkarray();
    json_append_element(root, json_mknull());
    root->key = strdup("kept");  // a hand-set key on a root stays until delete
    json_node before = *root;
    json_remove_from_parent(root);
    EXPECT_EQ(memcmp(&before, root, sizeof before), 0);
    EXPECT_STREQ(root->key, "kept");
    json_delete(root);  // frees the key too (the leak checkers watch this)
}

TEST(NodeSearch, NullAndWrongKindsGiveNull)
{
    EXPECT_EQ(json_first_child(nullptr), nullptr);
    EXPECT_EQ(json_find_element(nullptr, 0), nullptr);
    EXPECT_EQ(json_find_member(nullptr, "k"), nullptr);

    json_node *scalars[] = {json_mknull(), json_mkbool(true), json_mkstring("s"), json_mknumber(1)};
    for (json_node *s : scalars) {
        EXPECT_EQ(json_first_child(s), nullptr) << s->tag;
        EXPECT_EQ(json_find_element(s, 0), nullptr);
        EXPECT_EQ(json_find_member(s, "s"), nullptr);
        json_delete(s);
    }

    json_node *a = json_mkarray();
    EXPECT_EQ(json_find_element(a, 0), nullptr);
    EXPECT_EQ(json_first_child(a), nullptr);
    json_node *e0 = json_mkstring("k"), *e1 = json_mknull();
    json_append_element(a, e0);
    json_append_element(a, e1);
    EXPECT_EQ(json_find_element(a, 0), e0);
    EXPECT_EQ(json_find_element(a, 1), e1);
    EXPECT_EQ(json_find_element(a, 2), nullptr);
    EXPECT_EQ(json_find_element(a, -1), nullptr);
    EXPECT_EQ(json_find_element(a, INT32_MIN), nullptr);
    EXPECT_EQ(json_find_member(a, "k"), nullptr);
    EXPECT_EQ(json_first_child(a), e0);

    json_node *o = json_mkobject();
    json_node *m = json_mknull();
    json_append_member(o, "k", m);
    EXPECT_EQ(json_find_element(o, 0), nullptr);  // an object has no positions
    EXPECT_EQ(json_first_child(o), m);
    EXPECT_EQ(json_find_member(o, "K"), nullptr);
    EXPECT_EQ(json_find_member(o, "k\xC3\xA9"), nullptr);
    json_delete(a);
    json_delete(o);
}

static constexpr int deep_levels = 100000;

// Every level holds a string and, at its tail, the next level's container.
static json_node *build_deep_tree()
{
    json_node *root = json_mkarray();
    json_node *cur = root;
    for (int i = 0; i < deep_levels; i++) {
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
    json_node *root = build_deep_tree();
    run_on_small_stack([root] { json_delete(root); }, 128 * 1024);
    // Also from the middle: the part above stays consistent.
    root = build_deep_tree();
    json_node *mid = root;
    for (int i = 0; i < deep_levels / 2; i++)
        mid = mid->children.tail;
    json_node *parent = mid->parent;
    run_on_small_stack([mid] { json_delete(mid); }, 128 * 1024);
    ASSERT_EQ(linked_children(parent).size(), 1u);
    EXPECT_STREQ(parent->children.head->string_, "leaf");
    run_on_small_stack([root] { json_delete(root); }, 128 * 1024);
}
