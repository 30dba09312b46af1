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

static json_node *child(json_node *container, int index)
{
    json_node *c = container->children.head;
    while (index-- > 0)
        c = c->next;
    return c;
}

// [null, null, null], for the cases that break one link.
static json_node *three_nulls()
{
    json_node *a = json_mkarray();
    for (int i = 0; i < 3; i++)
        json_append_element(a, json_mknull());
    return a;
}

static const char *const bad_bool = "bool_ is neither false (0) nor true (1)";
static const char *const tail_mismatch =
    "tail does not match pointer found by starting at head and following next links";

// Each case damages a sound tree in one way (or two, to show which fault is
// reported first) and names the message; repair undoes it so that the tree
// can be freed.
struct damage {
    const char *what;
    std::function<json_node *()> build;
    std::function<void(json_node *)> damage, repair;
    std::string message;
};

TEST(Check, EachFaultHasItsMessage)
{
    auto nothing = [](json_node *) {};
    const damage cases[] = {
        {"sound scalars", [] { return json_mknumber(NAN); }, nothing, nothing, "ok"},
        {"null node's value slot is not looked at", [] { return json_mknull(); },
         [](json_node *n) { n->number_ = 42; }, [](json_node *n) { n->number_ = 0; }, "ok"},
        {"empty object", json_mkobject, nothing, nothing, "ok"},
        {"bool byte 2", [] { return json_mkbool(true); }, [](json_node *n) { set_bool_byte(n, 2); },
         [](json_node *n) { set_bool_byte(n, 1); }, bad_bool},
        {"tag 6", json_mknull, [](json_node *n) { n->tag = 6; }, [](json_node *n) { n->tag = TAG_NULL; },
         "tag is invalid (6)"},
        {"largest tag", json_mknull, [](json_node *n) { n->tag = 0xFFFFFFFFu; },
         [](json_node *n) { n->tag = TAG_NULL; }, "tag is invalid (4294967295)"},
        {"bad key before bad tag", json_mknull,
         [](json_node *n) { n->tag = 6, n->key = strdup("\xFF"); },
         [](json_node *n) { n->tag = TAG_NULL, free(n->key), n->key = nullptr; }, "key contains invalid UTF-8"},
        {"null string", [] { return json_mkstring("x"); },
         [](json_node *n) { free(n->string_), n->string_ = nullptr; },
         [](json_node *n) { n->string_ = strdup("x"); }, "string_ is NULL"},
        {"string with 0xFF", [] { return json_mkstring("ab\xFF"); }, nothing,
         [](json_node *n) { n->string_[2] = 'c'; }, "string_ contains invalid UTF-8"},
        {"no tail", three_nulls, [](json_node *a) { a->children.tail = nullptr; },
         [](json_node *a) { a->children.tail = child(a, 2); }, "tail is NULL, but head is not"},
        {"tail without head", json_mkobject, [](json_node *o) { o->children.tail = o; },
         [](json_node *o) { o->children.tail = nullptr; }, "head is NULL, but tail is not"},
        {"first child's prev", three_nulls, [](json_node *a) { child(a, 0)->prev = child(a, 2); },
         [](json_node *a) { child(a, 0)->prev = nullptr; }, "First child's prev pointer is not NULL"},
        {"own child", three_nulls, [](json_node *a) { a->children.head = a; },
         [](json_node *a) { a->children.head = a->children.tail->prev->prev; }, "node is its own child"},
        {"next is itself", three_nulls, [](json_node *a) { child(a, 1)->next = child(a, 1); },
         [](json_node *a) { child(a, 1)->next = a->children.tail; }, "child->next == child (cycle)"},
        {"next is head", three_nulls, [](json_node *a) { child(a, 1)->next = a->children.head; },
         [](json_node *a) { child(a, 1)->next = a->children.tail; }, "child->next == head (cycle)"},
        {"wrong parent", three_nulls, [](json_node *a) { child(a, 1)->parent = nullptr; },
         [](json_node *a) { child(a, 1)->parent = a; }, "child does not point back to parent"},
        {"prev not back", three_nulls, [](json_node *a) { a->children.tail->prev = a->children.head; },
         [](json_node *a) { a->children.tail->prev = child(a, 1); }, "child->next does not point back to child"},
        {"next runs back into the list", three_nulls, [](json_node *a) { a->children.tail->next = child(a, 1); },
         [](json_node *a) { a->children.tail->next = nullptr; }, "child->next does not point back to child"},
        {"tail short of the end", three_nulls, [](json_node *a) { a->children.tail = child(a, 1); },
         [](json_node *a) { a->children.tail = child(a, 2); }, tail_mismatch},
        {"element through json_append_member",
         [] {
             json_node *a = json_mkarray();
             json_append_member(a, "k", json_mknull());
             return a;
         },
         nothing, [](json_node *a) { free(a->children.head->key), a->children.head->key = nullptr; },
         "Array element's key is not NULL"},
        {"member through json_append_element",
         [] {
             json_node *o = json_mkobject();
             json_append_element(o, json_mknull());
             return o;
         },
         nothing, [](json_node *o) { o->children.head->key = strdup("k"); }, "Object member's key is NULL"},
        {"member's key checked inside the member, before its tag",
         [] {
             json_node *o = json_mkobject();
             json_append_member(o, "\xC0\xAF", json_mknull());
             return o;
         },
         [](json_node *o) { o->children.head->tag = 7; },
         [](json_node *o) { o->children.head->tag = 0, o->children.head->key[0] = 'k', o->children.head->key[1] = 0; },
         "key contains invalid UTF-8"},
        // Walk order: an earlier sibling's inside before a later sibling's links...
        {"second a bad bool, third with a wrong parent", three_nulls,
         [](json_node *a) {
             child(a, 1)->tag = TAG_BOOL, set_bool_byte(child(a, 1), 2), child(a, 2)->parent = nullptr;
         },
         [](json_node *a) { child(a, 1)->tag = TAG_NULL, child(a, 2)->parent = a; }, bad_bool},
        // ...and a child's links before its inside.
        {"wrong parent of a container holding a bad bool",
         [] { return nested_chain(2, TAG_ARRAY, json_mkbool(true)); },
         [](json_node *a) { set_bool_byte(a->children.head->children.head, 3), a->children.head->parent = nullptr; },
         [](json_node *a) { a->children.head->parent = a, set_bool_byte(a->children.head->children.head, 1); },
         "child does not point back to parent"},
    };
    for (const damage &c : cases) {
        tree t(c.build());
        c.damage(t.get());
        EXPECT_EQ(check(t.get()), c.message) << c.what;
        c.repair(t.get());  // and the tree passes again: the message was the damage's
        EXPECT_EQ(check(t.get()), "ok") << c.what << ", repaired";
    }
}

// The node given is not tested for its own parent and siblings.
TEST(Check, MemberOnItsOwn)
{
    tree object(json_mkobject());
    json_append_member(object.get(), "a", json_mknull());
    json_append_member(object.get(), "b", json_mkarray());
    json_node *b = object->children.tail;
    b->prev = nullptr;  // wrong, but only the parent's walk looks at it
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
}

// root -> ... -> root again, every parent link pointing at the node above,
// so that only the cycle itself is wrong; and a root linked below its child
// without a parent link, which the child's link test reports.
TEST(Check, ContainmentCyclesEnd)
{
    for (int length : {1, 2, 1000}) {
        json_node *root = nested_chain(length, TAG_ARRAY, nullptr);
        json_node *bottom = root;
        while (json_first_child(bottom))
            bottom = json_first_child(bottom);
        bottom->children.head = bottom->children.tail = root;
        root->parent = bottom;
        std::string message;
        run_on_small_stack([&] { message = check(root); });
        EXPECT_EQ(message, length == 1 ? "node is its own child" : "node is its own ancestor (cycle)") << length;
        root->parent = nullptr;
        EXPECT_EQ(check(root), length == 1 ? "node is its own child" : "child does not point back to parent");
        bottom->children.head = bottom->children.tail = nullptr;
        json_delete(root);
    }
}

TEST(Check, HundredThousandLevels)
{
    constexpr int deep = 100000;
    json_node *leaf = json_mkbool(true);
    tree arrays(nested_chain(deep, TAG_ARRAY, leaf));
    tree objects(nested_chain(deep, TAG_OBJECT, json_mkstring("x")));
    std::string sound_objects, bad_leaf, bad_tail;
    run_on_small_stack([&] {
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
    EXPECT_EQ(sound_objects, "ok");
    EXPECT_EQ(bad_leaf, bad_bool);
    EXPECT_EQ(bad_tail, tail_mismatch);
}
