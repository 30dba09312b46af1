// The raw JSON text of one member of a report line ("\"alice\"", "null",
// "1700000000"): enough to tell reports apart without decoding them. Empty
// when the member is missing. Shared by the stand-in daemon and the tests
// that read what it received.
#ifndef VESNAR_REPORT_MEMBER_H
#define VESNAR_REPORT_MEMBER_H

#include <algorithm>
#include <string>

inline std::string report_member(const std::string &line, const std::string &key)
{
    std::string marker = "\"" + key + "\":";
    auto at = line.find(marker);
    if (at == std::string::npos)
        return {};
    size_t start = at + marker.size(), end = start;
    if (end < line.size() && line[end] == '"') {
        for (end++; end < line.size() && line[end] != '"'; end++)
            if (line[end] == '\\')
                end++;
        end++;
    } else {
        end = line.find_first_of(",}", start);
    }
    return line.substr(start, std::min(end, line.size()) - start);
}

#endif
