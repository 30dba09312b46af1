// What a built shared object looks like from the outside: its exported
// names, the libraries it needs and the kinds of symbols it carries.
#pragma once
#include <set>
#include <string>
#include <vector>

std::string run_command(const std::string &cmd);
// Names defined in the dynamic symbol table (without version suffixes).
std::set<std::string> exported_symbols(const std::string &path);
// Undefined dynamic symbols as "name@VERSION" (or just "name").
std::set<std::string> imported_symbols(const std::string &path);
std::vector<std::string> needed_libraries(const std::string &path);
bool has_gnu_unique_symbols(const std::string &path);
// Lines of the dynamic section (for flags such as BIND_NOW).
std::string dynamic_section(const std::string &path);
// Does /proc/self/maps currently map a file with this path?
bool is_mapped(const std::string &path);
