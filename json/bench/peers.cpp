// The peers, one source each: their headers cannot share a translation unit.
#include "peers.h"

extern const json_library cjson_library, jansson_library, jsonc_library, rapidjson_library,
    rapidjson_unchecked_library, simdjson_library, yyjson_library;

const json_library *const *peer_libraries(int *count)
{
    static const json_library *const all[] = {
        &cjson_library, &jansson_library, &jsonc_library, &rapidjson_library, &rapidjson_unchecked_library,
        &simdjson_library,
#ifdef JSON_BENCH_YYJSON
        &yyjson_library,
#endif
    };
    *count = int(sizeof all / sizeof all[0]);
    return all;
}
