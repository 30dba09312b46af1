#include "documents.h"

#include <stdio.h>

#include <random>

namespace {

struct generator {
    std::mt19937_64 rng;
    explicit generator(uint64_t seed) : rng(seed) {}

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    double real(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
    template <typename T, size_t N>
    const T &one_of(const T (&items)[N]) { return items[pick(0, int(N) - 1)]; }
};

const char *const words[] = {
    "the", "of", "and", "price", "morning", "server", "login", "weather", "caf\xC3\xA9",
    "na\xC3\xAFve", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",
    "\xF0\x9F\x98\x80", "\xE2\x9C\xA8", "release", "update", "stream", "@someone", "#json", "ok",
};
// Already in JSON form: what writers of such documents tend to escape.
const char *const escapes[] = {"\\n", "\\\"", "\\/", "\\u00e9", "\\ud83d\\ude0a", "\\t", "\\\\"};

std::string sentence(generator &g, int min_words, int max_words)
{
    std::string s;
    int n = g.pick(min_words, max_words);
    for (int i = 0; i < n; i++) {
        if (i)
            s += g.pick(0, 9) == 0 ? g.one_of(escapes) : " ";
        s += g.one_of(words);
    }
    return s;
}

void put_string(std::string &out, const std::string &s)
{
    out += '"';
    out += s;
    out += '"';
}

void append_tweet(generator &g, std::string &out, long id)
{
    char buf[256];
    snprintf(buf, sizeof buf,
             "{\"created_at\":\"Sun Aug %02d 00:%02d:15 +0000 2014\",\"id\":%ld,\"id_str\":\"%ld\",\"text\":",
             g.pick(1, 31), g.pick(0, 59), id, id);
    out += buf;
    put_string(out, sentence(g, 5, 30));
    snprintf(buf, sizeof buf,
             ",\"truncated\":false,\"in_reply_to_status_id\":null,\"user\":{\"id\":%d,\"name\":",
             g.pick(1000, 2000000000));
    out += buf;
    put_string(out, sentence(g, 1, 3));
    out += ",\"screen_name\":";
    put_string(out, g.one_of(words));
    out += ",\"location\":";
    put_string(out, g.pick(0, 1) ? sentence(g, 1, 2) : std::string());
    out += ",\"description\":";
    put_string(out, sentence(g, 0, 15));
    snprintf(buf, sizeof buf,
             ",\"protected\":false,\"followers_count\":%d,\"friends_count\":%d,"
             "\"verified\":%s,\"lang\":\"%s\"},\"entities\":{\"hashtags\":[",
             g.pick(0, 100000), g.pick(0, 5000), g.pick(0, 9) ? "false" : "true",
             g.pick(0, 1) ? "ja" : "en");
    out += buf;
    for (int i = 0, n = g.pick(0, 3); i < n; i++) {
        snprintf(buf, sizeof buf, "%s{\"text\":\"%s\",\"indices\":[%d,%d]}", i ? "," : "",
                 g.one_of(words), g.pick(0, 60), g.pick(60, 140));
        out += buf;
    }
    out += "],\"urls\":[],\"user_mentions\":[]},";
    snprintf(buf, sizeof buf, "\"retweet_count\":%d,\"favorite_count\":%d,\"favorited\":false,"
                              "\"retweeted\":false,\"lang\":\"ja\"}",
             g.pick(0, 1000), g.pick(0, 100));
    out += buf;
}

}  // namespace

std::string tweets_document(size_t bytes)
{
    generator g(1);
    std::string out = "{\"statuses\":[";
    long id = 505874924095815681L;
    for (int i = 0; out.size() < bytes; i++) {
        if (i)
            out += ",\n";
        append_tweet(g, out, id + i * 7919L);
    }
    out += "],\"search_metadata\":{\"count\":100,\"query\":\"%E4%B8%80\"}}";
    return out;
}

std::string coordinates_document(size_t bytes)
{
    generator g(2);
    std::string out = "{\"type\":\"FeatureCollection\",\"features\":[";
    char buf[64];
    for (int f = 0; out.size() < bytes; f++) {
        out += f ? ",\n" : "";
        out += "{\"type\":\"Feature\",\"properties\":{\"name\":\"area ";
        out += std::to_string(f);
        out += "\"},\"geometry\":{\"type\":\"Polygon\",\"coordinates\":[[";
        double lon = g.real(-140, -50), lat = g.real(40, 80);
        for (int i = 0; i < 2000; i++) {
            lon += g.real(-0.01, 0.01);
            lat += g.real(-0.01, 0.01);
            // Survey data (six decimals) beside full-precision values.
            if (g.pick(0, 1))
                snprintf(buf, sizeof buf, "%s[%.6f,%.6f]", i ? "," : "", lon, lat);
            else
                snprintf(buf, sizeof buf, "%s[%.17g,%.17g]", i ? "," : "", lon, lat);
            out += buf;
        }
        out += "]]}}";
    }
    out += "]}";
    return out;
}

namespace {

void indent(std::string &out, int level)
{
    out += '\n';
    out.append(size_t(level) * 2, ' ');
}

void append_product(generator &g, std::string &out, int level, long id)
{
    char buf[128];
    out += "{";
    indent(out, level + 1);
    snprintf(buf, sizeof buf, "\"id\": %ld,", id);
    out += buf;
    indent(out, level + 1);
    out += "\"name\": ";
    put_string(out, sentence(g, 1, 4));
    out += ",";
    indent(out, level + 1);
    snprintf(buf, sizeof buf, "\"price\": %d.%02d,", g.pick(1, 999), g.pick(0, 99));
    out += buf;
    indent(out, level + 1);
    snprintf(buf, sizeof buf, "\"stock\": %d,", g.pick(0, 500));
    out += buf;
    indent(out, level + 1);
    out += g.pick(0, 3) ? "\"available\": true," : "\"available\": false,";
    indent(out, level + 1);
    out += "\"tags\": [";
    for (int i = 0, n = g.pick(0, 4); i < n; i++) {
        out += i ? ", " : "";
        put_string(out, g.one_of(words));
    }
    out += "],";
    indent(out, level + 1);
    snprintf(buf, sizeof buf, "\"dimensions\": {\"w\": %d, \"h\": %d, \"d\": %d, \"unit\": \"mm\"},",
             g.pick(1, 2000), g.pick(1, 2000), g.pick(1, 2000));
    out += buf;
    indent(out, level + 1);
    snprintf(buf, sizeof buf, "\"supplier\": null, \"rating\": %d", g.pick(1, 5));
    out += buf;
    indent(out, level);
    out += "}";
}

// Sections within sections down to `levels`, products at the bottom.
void append_section(generator &g, std::string &out, int level, int levels, long &next_id)
{
    out += "{";
    indent(out, level + 1);
    out += "\"title\": ";
    put_string(out, sentence(g, 1, 3));
    out += ",";
    indent(out, level + 1);
    char buf[64];
    snprintf(buf, sizeof buf, "\"code\": \"S%ld\",", next_id++);
    out += buf;
    indent(out, level + 1);
    if (levels == 0) {
        out += "\"products\": [";
        for (int i = 0, n = g.pick(2, 5); i < n; i++) {
            out += i ? ", " : "";
            append_product(g, out, level + 1, next_id++);
        }
    } else {
        out += "\"sections\": [";
        for (int i = 0, n = g.pick(1, 3); i < n; i++) {
            out += i ? ", " : "";
            append_section(g, out, level + 1, levels - 1, next_id);
        }
    }
    out += "]";
    indent(out, level);
    out += "}";
}

}  // namespace

std::string catalogue_document(size_t bytes)
{
    generator g(3);
    std::string out = "{";
    indent(out, 1);
    out += "\"catalogue\": [";
    long next_id = 100000;
    for (int i = 0; out.size() < bytes; i++) {
        out += i ? ", " : "";
        append_section(g, out, 1, 5, next_id);
    }
    out += "]";
    indent(out, 0);
    out += "}";
    return out;
}
