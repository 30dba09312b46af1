// RapidJSON's DOM with its default pool allocator, reading numbers to the
// nearest double as we do (its default is a quicker, inexact conversion)
// and checking every string's UTF-8 as we do; without that check it
// accepts texts that we refuse, so the unchecked figure is kept apart
// ("RapidJSON-unchecked") and the goals compare with the checked one.
#include "peers.h"

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace {

constexpr unsigned checked_flags = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseFullPrecisionFlag;
constexpr unsigned unchecked_flags = rapidjson::kParseFullPrecisionFlag;

template <unsigned Flags>
bool rapidjson_decode(const char *text)
{
    rapidjson::Document doc;
    doc.Parse<Flags>(text);
    return !doc.HasParseError();
}

void *rapidjson_load(const char *text)
{
    auto *doc = new rapidjson::Document;
    doc->Parse<checked_flags>(text);
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

extern const json_library rapidjson_library = {"RapidJSON", rapidjson_decode<checked_flags>, nullptr,
                                               rapidjson_load, rapidjson_print, rapidjson_release, false};
// Decoding only: its encoder is the same.
extern const json_library rapidjson_unchecked_library = {"RapidJSON-unchecked", rapidjson_decode<unchecked_flags>,
                                                         nullptr, nullptr, nullptr, nullptr, false};
