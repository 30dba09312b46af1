/* A C program of a library user: decodes a document through pam_brud.so,
 * reads one member and encodes the tree again, compactly. */
#include <json.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(void)
{
    const char *document =
        "{ \"user\" : \"caf\\u00e9 \\\"x\\\"\",\n"
        "  \"tries\": [1, 2.5, -3e2, 1e-7], \"ok\": true, \"none\": null, \"empty\": {} }";
    const char *expected =
        "{\"user\":\"caf\xc3\xa9 \\\"x\\\"\",\"tries\":[1,2.5,-300,1e-07],"
        "\"ok\":true,\"none\":null,\"empty\":{}}";

    json_node *tree = json_decode(document);
    if (!tree) {
        fprintf(stderr, "json_decode refused the document\n");
        return 1;
    }
    json_node *second = json_find_element(json_find_member(tree, "tries"), 1);
    if (!second || second->tag != TAG_NUMBER || second->number_ != 2.5) {
        fprintf(stderr, "tries[1] is not the number 2.5\n");
        return 1;
    }
    char *text = json_encode(tree);
    int status = strcmp(text, expected) != 0;
    if (status)
        fprintf(stderr, "encoded: %s\nexpected: %s\n", text, expected);
    free(text);
    json_delete(tree);
    return status;
}
