// Private mount namespace in which the modules' fixed paths (/var, /etc,
// /run) are writable overlays that vanish with the process.
#pragma once
#include <string>

void enter_sandbox();

// File helpers for paths inside the sandbox; they abort the test on failure.
void write_file(const std::string &path, const std::string &content, int mode = 0644);
void make_dirs(const std::string &path);
void remove_tree(const std::string &path);
bool path_exists(const std::string &path);
std::string read_file(const std::string &path);
int count_open_fds();
