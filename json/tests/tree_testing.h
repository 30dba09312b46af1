// Helpers shared by the JSON tests: owning handles for trees and strings, a
// link-checking walk over a container's children, texts that end on a guard
// page, a thread with a small stack for deep trees, and random trees built
// by correct use of the tree operations.
#ifndef VESNAR_JSON_TREE_TESTING_H
#define VESNAR_JSON_TREE_TESTING_H

#include "json.h"

#include <locale.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

struct tree_deleter {
    void operator()(json_node *node) const { json_delete(node); }
};
using tree = std::unique_ptr<json_node, tree_deleter>;

inline std::string take_string(char *s)
{
    std::string r(s);
    free(s);
    return r;
}

inline std::string encode(const json_node *node) { return take_string(json_encode(node)); }

inline std::string stringify(const json_node *node, const char *space)
{
    return take_string(json_stringify(node, space));
}

// strtod's value for text in the "C" locale, whatever the process's locale is.
inline double c_strtod(const char *text)
{
    static locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    return strtod_l(text, nullptr, c);
}

// Children of a container in list order, after checking every link.
inline std::vector<json_node *> linked_children(const json_node *c)
{
    std::vector<json_node *> out;
    EXPECT_EQ(c->children.head == nullptr, c->children.tail == nullptr);
    json_node *prev = nullptr;
    for (json_node *n = c->children.head; n; n = n->next) {
        EXPECT_EQ(n->parent, c);
        EXPECT_EQ(n->prev, prev);
        prev = n;
        out.push_back(n);
    }
    EXPECT_EQ(c->children.tail, prev);
    return out;
}

// A text whose terminating NUL is the last byte of a readable page, so that
// any read past it faults, in every build.
struct guarded_text {
    size_t page_size = size_t(sysconf(_SC_PAGESIZE));
    char *pages = nullptr;
    const char *text = nullptr;
    explicit guarded_text(const std::string &s)
    {
        void *m = mmap(nullptr, 2 * page_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(m, MAP_FAILED);
        EXPECT_LT(s.size(), page_size);
        pages = static_cast<char *>(m);
        EXPECT_EQ(mprotect(pages + page_size, page_size, PROT_NONE), 0);
        char *at = pages + page_size - s.size() - 1;
        memcpy(at, s.c_str(), s.size() + 1);
        text = at;
    }
    ~guarded_text() { munmap(pages, 2 * page_size); }
    guarded_text(const guarded_text &) = delete;
    guarded_text &operator=(const guarded_text &) = delete;
};

// Runs job on a thread whose stack is far too small for one frame per level
// of a 100000-level tree, so that a recursive walk would crash the test.
inline void run_on_small_stack(const std::function<void()> &job, size_t stack_bytes = 256 * 1024)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (pthread_attr_setstacksize(&attr, stack_bytes) != 0)
        throw std::runtime_error("pthread_attr_setstacksize");
    pthread_t thread;
    auto trampoline = [](void *arg) -> void * {
        (*static_cast<const std::function<void()> *>(arg))();
        return nullptr;
    };
    if (pthread_create(&thread, &attr, trampoline, const_cast<std::function<void()> *>(&job)) != 0)
        throw std::runtime_error("pthread_create");
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

// A chain of depth nested containers of one kind ("k" keys for objects),
// innermost holding leaf (or nothing when leaf is null).
inline json_node *nested_chain(int depth, json_tag kind, json_node *leaf)
{
    auto link = [kind](json_node *container, json_node *child) {
        if (kind == TAG_ARRAY)
            json_append_element(container, child);
        else
            json_append_member(container, "k", child);
    };
    json_node *root = kind == TAG_ARRAY ? json_mkarray() : json_mkobject();
    json_node *cur = root;
    for (int i = 1; i < depth; i++) {
        json_node *inner = kind == TAG_ARRAY ? json_mkarray() : json_mkobject();
        link(cur, inner);
        cur = inner;
    }
    if (leaf)
        link(cur, leaf);
    return root;
}

inline std::string repeat(const std::string &s, size_t n)
{
    std::string r;
    r.reserve(s.size() * n);
    for (size_t i = 0; i < n; i++)
        r += s;
    return r;
}

// Texts chosen to exercise string-literal writing: quotes, backslashes,
// control characters, multi-byte UTF-8, the empty text.
inline std::string random_text(std::mt19937_64 &rng)
{
    static const char *const pieces[] = {
        "", "a", "key", "\"", "\\", "/", "\n", "\t", "\x01", "\x1f", "\x7f",
        "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", " ", "0", "{", "]", ",", ":"};
    std::string s;
    for (int n = static_cast<int>(rng() % 5); n > 0; n--)
        s += pieces[rng() % std::size(pieces)];
    return s;
}

inline double random_number(std::mt19937_64 &rng)
{
    static const double specials[] = {0.0, -0.0, 0.1, 1e21, 1e-7, 5e-324, 1.0 / 3, 1e300,
                                      __builtin_nan(""), __builtin_inf(), -__builtin_inf()};
    switch (rng() % 4) {
    case 0: return static_cast<double>(static_cast<int64_t>(rng() % 2000001) - 1000000);
    case 1: return std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 200) - 100);
    case 2: return specials[rng() % std::size(specials)];
    default: return std::uniform_real_distribution<double>(-1, 1)(rng);
    }
}

inline json_node *random_scalar(std::mt19937_64 &rng)
{
    switch (rng() % 4) {
    case 0: return json_mknull();
    case 1: return json_mkbool(rng() % 2);
    case 2: return json_mkstring(random_text(rng).c_str());
    default: return json_mknumber(random_number(rng));
    }
}

// Links child into container with one of the linking operations that suit
// the container's kind.
inline void link_randomly(std::mt19937_64 &rng, json_node *container, json_node *child)
{
    bool front = rng() % 3 == 0;
    if (container->tag == TAG_ARRAY) {
        (front ? json_prepend_element : json_append_element)(container, child);
    } else {
        std::string key = random_text(rng);
        (front ? json_prepend_member : json_append_member)(container, key.c_str(), child);
    }
}

// A random tree built by correct use of the tree operations only: every
// linking operation, and detaching, deleting and relinking children.
inline json_node *random_tree(std::mt19937_64 &rng, int depth)
{
    if (depth <= 0 || rng() % 4 == 0)
        return random_scalar(rng);
    json_node *container = rng() % 2 ? json_mkarray() : json_mkobject();
    int n = static_cast<int>(rng() % 6);
    for (int i = 0; i < n; i++)
        link_randomly(rng, container, random_tree(rng, depth - 1));
    if (n > 0 && rng() % 3 == 0) {
        // Take a child out and put it back elsewhere in the list.
        json_node *child = container->children.head;
        for (int steps = static_cast<int>(rng() % static_cast<unsigned>(n)); steps > 0; steps--)
            child = child->next;
        json_remove_from_parent(child);
        link_randomly(rng, container, child);
    }
    if (n > 1 && rng() % 3 == 0)
        json_delete(rng() % 2 ? container->children.head : container->children.tail);
    return container;
}

#endif
