#include "elf_info.h"

#include <stdio.h>

#include <sstream>

std::string run_command(const std::string &cmd)
{
    std::string out;
    if (FILE *p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

static std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line))
        out.push_back(line);
    return out;
}

std::set<std::string> exported_symbols(const std::string &path)
{
    std::set<std::string> out;
    for (auto &line : lines_of(run_command("nm -D --defined-only --format=posix '" + path + "'"))) {
        std::string name = line.substr(0, line.find(' '));
        name = name.substr(0, name.find('@'));
        if (!name.empty())
            out.insert(name);
    }
    return out;
}

std::set<std::string> imported_symbols(const std::string &path)
{
    std::set<std::string> out;
    for (auto &line : lines_of(run_command("nm -D --undefined-only --format=posix '" + path + "'"))) {
        std::string name = line.substr(0, line.find(' '));
        auto at = name.find("@@");
        if (at == std::string::npos)
            at = name.find('@');
        if (at != std::string::npos)
            name = name.substr(0, at) + "@" + name.substr(name.find_first_not_of('@', at));
        if (!name.empty())
            out.insert(name);
    }
    return out;
}

std::vector<std::string> needed_libraries(const std::string &path)
{
    std::vector<std::string> out;
    for (auto &line : lines_of(run_command("readelf -dW '" + path + "'"))) {
        auto open = line.find("Shared library: [");
        if (open == std::string::npos)
            continue;
        open += 17;
        out.push_back(line.substr(open, line.find(']', open) - open));
    }
    return out;
}

bool has_gnu_unique_symbols(const std::string &path)
{
    return run_command("readelf -sW '" + path + "'").find("UNIQUE") != std::string::npos;
}

std::string dynamic_section(const std::string &path)
{
    return run_command("readelf -dW '" + path + "'");
}

bool is_mapped(const std::string &path)
{
    FILE *maps = fopen("/proc/self/maps", "re");
    if (!maps)
        return false;
    char line[4096];
    bool found = false;
    while (fgets(line, sizeof line, maps))
        if (std::string(line).find(path) != std::string::npos)
            found = true;
    fclose(maps);
    return found;
}
