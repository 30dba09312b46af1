// Tree operations internal to the JSON library.
#ifndef VESNAR_JSON_NODE_H
#define VESNAR_JSON_NODE_H

#include "json.h"

json_node *mknode(json_tag tag);
json_node *mkstring(char *s);  // takes ownership of s
void append_node(json_node *parent, json_node *child);
void prepend_node(json_node *parent, json_node *child);
void append_member(json_node *parent, char *key, json_node *child);  // takes key

#endif
