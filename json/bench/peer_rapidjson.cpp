// RapidJSON's DOM with its default pool allocator, reading numbers to the
// nearest double as we do (its default is a quicker, inexact conversion).
#include "peers.h"

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace {

bool rapidjson_decode(const char *text)
{
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseFullPrecisionFlag>(text);
    return !doc.HasParseError();
}

void *rapidjson_load(const char *text)
{
    auto *doc = new rapidjson::Document;
    doc->Parse<rapidjson::kParseFullPrecisionFlag>(text);
    if (doc->HasParseError()) {
        delete doc;
        return nullptr;
    }
    return doc;
}

size_t rapidjson_print(void *tree, bool indented)
{
    auto *doc = static_cast<rapidjson::Document *>(tree);
    rapidjson::StringBuffer out;
    if (indented) {
        rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(out);
        writer.SetIndent(' ', 2);
        doc->Accept(writer);
    } else {
        rapidjson::Writer<rapidjson::StringBuffer> writer(out);
        doc->Accept(writer);
    }
    return out.GetSize();
}

void rapidjson_release(void *tree) { delete static_cast<rapidjson::Document *>(tree); }

}  // namespace

extern const json_library rapidjson_library = {"RapidJSON", rapidjson_decode, nullptr, rapidjson_load,
                                               rapidjson_print, rapidjson_release, false};
