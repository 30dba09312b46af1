/*
 * JSON value tree, strict decoder, encoders and self-check, exported by
 * pam_brud.so.  Usable from C and C++.  Every string returned belongs to the
 * caller and is released with free(); trees are released with json_delete().
 * Running out of memory ends the process ("Out of memory." on stderr, exit 1).
 */
#ifndef VESNAR_JSON_H
#define VESNAR_JSON_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define JSON_API __attribute__((visibility("default")))
#else
#define JSON_API
#endif

/* Deepest nesting of arrays and objects that json_decode accepts. */
#define JSON_MAX_DEPTH 1000

typedef uint32_t json_tag;
enum {
    TAG_NULL = 0,
    TAG_BOOL = 1,
    TAG_STRING = 2,
    TAG_NUMBER = 3,
    TAG_ARRAY = 4,
    TAG_OBJECT = 5
};

typedef struct json_node json_node;

struct json_children {
    json_node *head;
    json_node *tail;
};

struct json_node {
    json_node *parent;
    json_node *prev;
    json_node *next;
    char *key;          /* member name when the parent is an object */
    json_tag tag;
    union {
        bool bool_;
        char *string_;
        double number_;
        struct json_children children;
    };
};

/* Constructors: a new detached node, never null. */
JSON_API json_node *json_mknull(void);
JSON_API json_node *json_mkbool(bool b);
JSON_API json_node *json_mkstring(const char *s);
JSON_API json_node *json_mknumber(double x);
JSON_API json_node *json_mkarray(void);
JSON_API json_node *json_mkobject(void);

/* Linking: child must be detached; keys are copied. */
JSON_API void json_append_element(json_node *parent, json_node *child);
JSON_API void json_prepend_element(json_node *parent, json_node *child);
JSON_API void json_append_member(json_node *parent, const char *key, json_node *child);
JSON_API void json_prepend_member(json_node *parent, const char *key, json_node *child);

JSON_API void json_remove_from_parent(json_node *node);
JSON_API void json_delete(json_node *node);

JSON_API json_node *json_find_element(json_node *array, int index);
JSON_API json_node *json_find_member(json_node *object, const char *key);
JSON_API json_node *json_first_child(json_node *node);

JSON_API json_node *json_decode(const char *text);
JSON_API bool json_validate(const char *text);

JSON_API char *json_encode(const json_node *node);
JSON_API char *json_stringify(const json_node *node, const char *space);
JSON_API char *json_encode_string(const char *str);

/* errmsg: at least 256 bytes, or null. */
JSON_API bool json_check(const json_node *node, char *errmsg);

#ifdef __cplusplus
}
#endif

#endif
