// yyjson, built from its source beside the project when that is present.
#include "peers.h"

#include <yyjson.h>
#include <stdlib.h>
#include <string.h>

namespace {

bool yyjson_decode(const char *text)
{
    yyjson_doc *doc = yyjson_read(text, strlen(text), 0);
    yyjson_doc_free(doc);
    return doc != nullptr;
}

void *yyjson_load(const char *text) { return yyjson_read(text, strlen(text), 0); }

size_t yyjson_print(void *tree, bool indented)
{
    size_t n = 0;
    char *out = yyjson_write(static_cast<yyjson_doc *>(tree),
                             indented ? YYJSON_WRITE_PRETTY_TWO_SPACES : 0, &n);
    free(out);
    return n;
}

void yyjson_release(void *tree) { yyjson_doc_free(static_cast<yyjson_doc *>(tree)); }

}  // namespace

extern const json_library yyjson_library = {"yyjson", yyjson_decode, nullptr, yyjson_load, yyjson_print,
                                            yyjson_release, false};
