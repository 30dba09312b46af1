// json_check through pam_brud.so's exported symbol.
#include "json.h"
#include "tree_testing.h"

#include <gtest/gtest.h>
#include <math.h>

// The message json_check writes, or "ok" when it passes.  Also checks that a
// null buffer gives the same result, that success leaves the buffer alone
// and that nothing beyond the message's NUL is touched.
static std::string check(const json_node *node)
{
    char buffer[512];
    memset(buffer, '#', sizeof buffer);
    bool ok = json_check(node, buffer);
    EXPECT_EQ(json_check(node, nullptr), ok);
    if (ok) {
        for (char c : buffer)
            if (c != '#')
                return "buffer changed on success";
        return "ok";
    }
    size_t length = strnlen(buffer, sizeof buffer);
    if (length >= 256)
        return "message longer than 255 bytes";
    for (size_t i = length + 1; i < sizeof buffer; i++)
        if (buffer[i] != '#')
            return "bytes written after the message";
    return buffer;
}

static void set_bool_byte(json_node *node, unsigned char byte)
{
    memcpy(&node->bool_, &byte, 1);
}

TEST(Check, SoundNodesPass)
{
    tree array(json_mkarray()), object(json_mkobject());
    EXPECT_EQ(check(array.get()), "ok");
    EXPECT_EQ(check(object.get()), "ok");
    for (double x : {0.0, (double)NAN, (double)INFINITY}) {
        tree number(json_mknumber(x));
        EXPECT_EQ(check(number.get()), "ok");
    }
    tree null(json_mknull());
    null->number_ = 42;  // a null node's value slot is not looked at
    EXPECT_EQ(check(null.get()), "ok");
    tree t(json_mkbool(true)), f(json_mkbool(false)), s(json_mkstring("\xC3\xA9"));
    EXPECT_EQ(check(t.get()), "ok");
    EXPECT_EQ(check(f.get()), "ok");
    EXPECT_EQ(check(s.get()), "ok");
}

TEST(Check, NodeFaults)
{
    tree b(json_mkbool(true));
    set_bool_byte(b.get(), 2);
    EXPECT_EQ(check(b.get()), "bool_ is neither false (0) nor true (1)");
    set_bool_byte(b.get(), 1);

    tree odd(json_mknull());
    odd->tag = 6;
    EXPECT_EQ(check(odd.get()), "tag is invalid (6)");
    odd->tag = 0xFFFFFFFFu;
    EXPECT_EQ(check(odd.get()), "tag is invalid (4294967295)");
    odd->key = strdup("\xFF");  // the key comes before the tag
    EXPECT_EQ(check(odd.get()), "key contains invalid UTF-8");
    free(odd->key);
    odd->key = nullptr;
    odd->tag = TAG_NULL;

    tree s(json_mkstring("x"));
    char *text = s->string_;
    s->string_ = nullptr;
    EXPECT_EQ(check(s.get()), "string_ is NULL");
    s->string_ = text;
    tree bad(json_mkstring("ab\xFF"));
    EXPECT_EQ(check(bad.get()), "string_ contains invalid UTF-8");
}

TEST(Check, ListEnds)
{
    tree a(json_mkarray());
    json_node *x = json_mknull(), *y = json_mknull();
    json_append_element(a.get(), x);
    json_append_element(a.get(), y);

    a->children.tail = nullptr;
    EXPECT_EQ(check(a.get()), "tail is NULL, but head is not");
    a->children.tail = y;

    tree empty(json_mkobject());
    empty->children.tail = x;
    EXPECT_EQ(check(empty.get()), "head is NULL, but tail is not");
    empty->children.tail = nullptr;

    x->prev = y;
    EXPECT_EQ(check(a.get()), "First child's prev pointer is not NULL");
    x->prev = nullptr;

    a->children.tail = x;
    EXPECT_EQ(check(a.get()), "tail does not match pointer found by starting at head and following next links");
    a->children.tail = y;
    EXPECT_EQ(check(a.get()), "ok");
}

TEST(Check, ChildLinks)
{
    tree a(json_mkarray());
    json_node *x = json_mknull(), *y = json_mknull(), *z = json_mknull();
    json_append_element(a.get(), x);
    json_append_element(a.get(), y);
    json_append_element(a.get(), z);

    y->next = y;
    EXPECT_EQ(check(a.get()), "child->next == child (cycle)");
    y->next = x;
    EXPECT_EQ(check(a.get()), "child->next == head (cycle)");
    y->next = z;

    y->parent = nullptr;
    EXPECT_EQ(check(a.get()), "child does not point back to parent");
    y->parent = a.get();

    z->prev = x;
    EXPECT_EQ(check(a.get()), "child->next does not point back to child");
    z->prev = y;

    // A next chain that runs back into the middle of the list.
    z->next = y;
    EXPECT_EQ(check(a.get()), "child->next does not point back to child");
    z->next = nullptr;
    EXPECT_EQ(check(a.get()), "ok");
}

TEST(Check, NodeIsItsOwnChild)
{
    tree a(json_mkarray());
    json_append_element(a.get(), json_mknull());
    json_node *only = a->children.head;
    a->children.head = a->children.tail = a.get();
    EXPECT_EQ(check(a.get()), "node is its own child");
    a->children.head = a->children.tail = only;
}

TEST(Check, KeysMustSuitTheContainer)
{
    tree object(json_mkobject());
    json_append_element(object.get(), json_mknull());
    EXPECT_EQ(check(object.get()), "Object member's key is NULL");

    tree array(json_mkarray());
    json_append_member(array.get(), "k", json_mknull());
    EXPECT_EQ(check(array.get()), "Array element's key is not NULL");

    // A member's key is tested for its encoding inside the member's own
    // check, before the member's tag.
    tree o2(json_mkobject());
    json_node *m = json_mknull();
    json_append_member(o2.get(), "\xC0\xAF", m);
    m->tag = 7;
    EXPECT_EQ(check(o2.get()), "key contains invalid UTF-8");
    m->tag = TAG_NULL;
}

TEST(Check, FirstFaultInWalkOrderWins)
{
    // Second element a bad bool, third with a wrong parent.
    tree a(json_mkarray());
    json_node *bad_bool = json_mkbool(false), *orphan = json_mknull();
    json_append_element(a.get(), json_mknumber(1));
    json_append_element(a.get(), bad_bool);
    json_append_element(a.get(), orphan);
    set_bool_byte(bad_bool, 2);
    orphan->parent = nullptr;
    EXPECT_EQ(check(a.get()), "bool_ is neither false (0) nor true (1)");
    set_bool_byte(bad_bool, 0);
    EXPECT_EQ(check(a.get()), "child does not point back to parent");
    orphan->parent = a.get();

    // A child's links are tested before anything inside it.
    tree outer(json_mkarray());
    json_node *inner = json_mkarray();
    json_node *deep_bool = json_mkbool(true);
    json_append_element(inner, deep_bool);
    json_append_element(outer.get(), inner);
    set_bool_byte(deep_bool, 3);
    inner->parent = nullptr;
    EXPECT_EQ(check(outer.get()), "child does not point back to parent");
    inner->parent = outer.get();
    EXPECT_EQ(check(outer.get()), "bool_ is neither false (0) nor true (1)");
    set_bool_byte(deep_bool, 1);

    // A fault deep in an earlier child comes before a later sibling's.
    json_node *later = json_mkstring("ok");
    json_append_element(outer.get(), later);
    inner->children.tail = nullptr;
    later->parent = nullptr;
    EXPECT_EQ(check(outer.get()), "tail is NULL, but head is not");
    inner->children.tail = deep_bool;
    EXPECT_EQ(check(outer.get()), "child does not point back to parent");
    later->parent = outer.get();
    EXPECT_EQ(check(outer.get()), "ok");
}

TEST(Check, MemberOnItsOwn)
{
    // The node given is not tested for its own parent and siblings.
    tree object(json_mkobject());
    json_append_member(object.get(), "a", json_mknull());
    json_append_member(object.get(), "b", json_mkarray());
    json_node *b = object->children.tail;
    EXPECT_EQ(check(b), "ok");
    b->prev = nullptr;  // now wrong, but only the parent's walk looks at it
    EXPECT_EQ(check(b), "ok");
    EXPECT_EQ(check(object.get()), "child->next does not point back to child");
    b->prev = object->children.head;
}

TEST(Check, TreesBuiltWithTheOperationsPass)
{
    std::mt19937_64 rng(11);
    for (int i = 0; i < 500; i++) {
        tree root(random_tree(rng, 6));
        ASSERT_EQ(check(root.get()), "ok") << "tree " << i;
    }
    // The same trees fail once one link is broken (the test can fail).
    std::mt19937_64 again(11);
    tree first(random_tree(again, 6));
    while (!json_first_child(first.get()))
        first.reset(random_tree(again, 6));
    json_first_child(first.get())->parent = nullptr;
    EXPECT_EQ(check(first.get()), "child does not point back to parent");
    json_first_child(first.get())->parent = first.get();
}

/* ---- containment cycles ---- */

// root -> middle -> ... -> root again, every parent link pointing at the
// node above, so that only the cycle itself is wrong.
TEST(Check, ContainmentCycleEndsWithItsOwnMessage)
{
    for (int length : {1, 2, 5, 1000}) {
        json_node *root = nested_chain(length, TAG_ARRAY, nullptr);
        json_node *bottom = root;
        while (json_first_child(bottom))
            bottom = json_first_child(bottom);
        bottom->children.head = bottom->children.tail = root;
        root->parent = bottom;
        std::string message;
        run_on_small_stack([&] { message = check(root); });
        if (length == 1)
            EXPECT_EQ(message, "node is its own child");
        else
            EXPECT_EQ(message, "node is its own ancestor (cycle)") << length;
        bottom->children.head = bottom->children.tail = nullptr;
        root->parent = nullptr;
        EXPECT_EQ(check(root), "ok");
        json_delete(root);
    }
}

TEST(Check, CycleWithoutBackLinkGetsTheUsualMessage)
{
    // The root linked below its child but still pointing at no parent.
    json_node *root = json_mkobject();
    json_node *child = json_mkobject();
    json_append_member(root, "c", child);
    child->children.head = child->children.tail = root;
    EXPECT_EQ(check(root), "child does not point back to parent");
    child->children.head = child->children.tail = nullptr;
    json_delete(root);
}

/* ---- deep trees ---- */

TEST(Check, HundredThousandLevels)
{
    constexpr int deep = 100000;
    json_node *leaf = json_mkbool(true);
    tree arrays(nested_chain(deep, TAG_ARRAY, leaf));
    tree objects(nested_chain(deep, TAG_OBJECT, json_mkstring("x")));
    std::string sound_arrays, sound_objects, bad_leaf, bad_tail;
    run_on_small_stack([&] {
        sound_arrays = check(arrays.get());
        sound_objects = check(objects.get());
        set_bool_byte(leaf, 2);
        bad_leaf = check(arrays.get());
        set_bool_byte(leaf, 1);
        // A second child at the bottom that its list's tail does not reach.
        json_node *bottom = leaf->parent;
        json_append_element(bottom, json_mknull());
        bottom->children.tail = leaf;
        bad_tail = check(arrays.get());
        bottom->children.tail = leaf->next;
    });
    EXPECT_EQ(sound_arrays, "ok");
    EXPECT_EQ(sound_objects, "ok");
    EXPECT_EQ(bad_leaf, "bool_ is neither false (0) nor true (1)");
    EXPECT_EQ(bad_tail, "tail does not match pointer found by starting at head and following next links");
}
