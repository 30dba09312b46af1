// Tree encoder: the compact and the indented JSON text of a json_node tree.
//
// One walk writes both layouts (a template on the layout, so that neither
// pays for the other) without recursion, so a hand-built tree of any depth
// is written in constant C stack.  The walk keeps the containers it is
// inside on a small heap stack instead of climbing through `parent`: the
// text depends only on tags, `head`, `next` and keys, as it would with a
// recursive writer, even when a caller's `parent` links are wrong.
#include "json.h"
#include "number.h"
#include "text.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

template <size_t N> void put_literal(string_builder *sb, const char (&text)[N])
{
    sb_reserve(sb, N - 1);
    memcpy(sb->cur, text, N - 1);
    sb->cur += N - 1;
}

/* ---- scalars ---- */

// The value byte as stored: a hand-made node may hold any byte there, and
// reading it as a bool would be undefined.
bool bool_is_set(const json_node *node)
{
    unsigned char byte;
    memcpy(&byte, &node->bool_, 1);
    return byte != 0;
}

// Scalars are written alike in both layouts; a tag outside the six kinds
// writes nothing.
void emit_scalar(string_builder *sb, const json_node *node)
{
    switch (node->tag) {
    case TAG_NULL:
        put_literal(sb, "null");
        break;
    case TAG_BOOL:
        if (bool_is_set(node))
            put_literal(sb, "true");
        else
            put_literal(sb, "false");
        break;
    case TAG_STRING:
        emit_string(sb, node->string_);
        break;
    case TAG_NUMBER:
        emit_number(sb, node->number_);
        break;
    default:
        break;
    }
}

bool is_container(const json_node *node)
{
    return node->tag == TAG_ARRAY || node->tag == TAG_OBJECT;
}

char opener(const json_node *container)
{
    return container->tag == TAG_ARRAY ? '[' : '{';
}

char closer(const json_node *container)
{
    return container->tag == TAG_ARRAY ? ']' : '}';
}

/* ---- the containers being written ---- */

// Grows on the heap only past the first 64 levels.
struct container_stack {
    const json_node **items;
    size_t size;
    size_t capacity;
    const json_node *first_items[64];
};

void stack_init(container_stack *stack)
{
    stack->items = stack->first_items;
    stack->size = 0;
    stack->capacity = sizeof stack->first_items / sizeof stack->first_items[0];
}

__attribute__((noinline)) void stack_grow(container_stack *stack)
{
    size_t capacity = stack->capacity * 2;
    auto **items = static_cast<const json_node **>(malloc(capacity * sizeof(json_node *)));
    if (!items)
        json_out_of_memory();
    memcpy(items, stack->items, stack->size * sizeof(json_node *));
    if (stack->items != stack->first_items)
        free(stack->items);
    stack->items = items;
    stack->capacity = capacity;
}

// In line: one push per container written.
inline void stack_push(container_stack *stack, const json_node *container)
{
    if (stack->size == stack->capacity)
        stack_grow(stack);
    stack->items[stack->size++] = container;
}

const json_node *stack_top(const container_stack *stack)
{
    return stack->items[stack->size - 1];
}

void stack_free(container_stack *stack)
{
    if (stack->items != stack->first_items)
        free(stack->items);
}

/* ---- indented layout ---- */

// The space string repeated, so that a line's indentation is one copy, made
// 16 bytes at a time.
struct indentation {
    const char *space;
    size_t space_length;
    size_t run_length;  // a multiple of space_length, at most run_capacity
    static constexpr size_t run_capacity = 256;
    char run[run_capacity + 16];
};

void indentation_init(indentation *indent, const char *space)
{
    indent->space = space;
    indent->space_length = strlen(space);
    indent->run_length = 0;
    memset(indent->run, 0, sizeof indent->run);
    if (indent->space_length == 0 || indent->space_length > indentation::run_capacity)
        return;
    while (indent->run_length + indent->space_length <= indentation::run_capacity) {
        memcpy(indent->run + indent->run_length, space, indent->space_length);
        indent->run_length += indent->space_length;
    }
}

// Appends the space string depth times.
void emit_indent(string_builder *sb, const indentation *indent, size_t depth)
{
    size_t total = depth * indent->space_length;
    if (total == 0)
        return;
    if (total <= indent->run_length) {
        // Whole 16-byte blocks: the bytes past the indentation land in
        // reserved room and are overwritten by what follows.
        sb_reserve(sb, total + 16);
        for (size_t i = 0; i < total; i += 16)
            memcpy(sb->cur + i, indent->run + i, 16);
        sb->cur += total;
        return;
    }
    if (indent->run_length == 0) {  // a space string longer than the run
        for (size_t i = 0; i < depth; i++)
            sb_put(sb, indent->space, indent->space_length);
        return;
    }
    while (total > 0) {
        size_t piece = total < indent->run_length ? total : indent->run_length;
        sb_put(sb, indent->run, piece);
        total -= piece;
    }
}

/* ---- the walk ---- */

// Starts a child's text: in the indented layout its line's indentation;
// then, in an object, its key and ":" (": " when indented).
template <bool Indented>
void emit_child_start(string_builder *sb, const indentation *indent, size_t depth,
                      const json_node *container, const json_node *child)
{
    if constexpr (Indented)
        emit_indent(sb, indent, depth);
    if (container->tag == TAG_OBJECT) {
        emit_string(sb, child->key);
        if constexpr (Indented)
            put_literal(sb, ": ");
        else
            sb_putc(sb, ':');
    }
}

// Opens a container; returns its first child, or null when it was empty
// and has been written whole (an empty container stays on its line).
template <bool Indented>
const json_node *emit_open(string_builder *sb, container_stack *stack, const indentation *indent,
                           const json_node *container)
{
    const json_node *first = container->children.head;
    sb_putc(sb, opener(container));
    if (!first) {
        sb_putc(sb, closer(container));
        return nullptr;
    }
    if constexpr (Indented)
        sb_putc(sb, '\n');
    stack_push(stack, container);
    emit_child_start<Indented>(sb, indent, stack->size, container, first);
    return first;
}

// After node has been written whole: writes the separators and closing
// brackets up to the next node to write, and returns it; null when the
// outermost container is closed.
template <bool Indented>
const json_node *emit_after(string_builder *sb, container_stack *stack, const indentation *indent,
                            const json_node *node)
{
    while (stack->size > 0) {
        const json_node *container = stack_top(stack);
        if (node->next) {
            if constexpr (Indented)
                put_literal(sb, ",\n");
            else
                sb_putc(sb, ',');
            emit_child_start<Indented>(sb, indent, stack->size, container, node->next);
            return node->next;
        }
        stack->size--;
        if constexpr (Indented) {
            sb_putc(sb, '\n');
            emit_indent(sb, indent, stack->size);
        }
        sb_putc(sb, closer(container));
        node = container;
    }
    return nullptr;
}

template <bool Indented>
void emit_tree(string_builder *sb, const json_node *root, const indentation *indent)
{
    container_stack stack;
    stack_init(&stack);
    const json_node *node = root;
    while (node) {
        // The next sibling is usually the next node to write: fetch it while
        // this one is being written.
        __builtin_prefetch(node->next);
        if (is_container(node)) {
            if (const json_node *first = emit_open<Indented>(sb, &stack, indent, node)) {
                node = first;
                continue;
            }
        } else {
            emit_scalar(sb, node);
        }
        node = emit_after<Indented>(sb, &stack, indent, node);
    }
    stack_free(&stack);
}

// The compact text: no blanks, no line breaks.
void emit_value(string_builder *sb, const json_node *root)
{
    emit_tree<false>(sb, root, nullptr);
}

// One element or member per line, each level indented by one more copy of
// the space string; no line feed after the root.
void emit_value_indented(string_builder *sb, const json_node *root, const char *space)
{
    indentation indent;
    indentation_init(&indent, space);
    emit_tree<true>(sb, root, &indent);
}

}  // namespace

/* ---- entry points ---- */

char *json_stringify(const json_node *node, const char *space)
{
    string_builder sb;
    sb_init(&sb);
    if (space)
        emit_value_indented(&sb, node, space);
    else
        emit_value(&sb, node);
    return sb_finish(&sb);
}

char *json_encode(const json_node *node)
{
    return json_stringify(node, nullptr);
}
