// cJSON's two printers.
#include "encode_bench.h"

#include <cjson/cJSON.h>
#include <stdlib.h>
#include <string.h>

namespace {

void *load(const char *text) { return cJSON_Parse(text); }
void release(void *tree) { cJSON_Delete(static_cast<cJSON *>(tree)); }

size_t finish(char *text)
{
    size_t n = strlen(text);
    free(text);
    return n;
}

size_t compact(void *tree) { return finish(cJSON_PrintUnformatted(static_cast<cJSON *>(tree))); }
size_t indented(void *tree) { return finish(cJSON_Print(static_cast<cJSON *>(tree))); }

}  // namespace

const encoder cjson_encoder = {"cJSON", load, release, compact, indented};
