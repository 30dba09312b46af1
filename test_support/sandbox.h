// Private mount and network namespaces in which the modules' fixed paths
// (/var, /etc, /run) are writable overlays that vanish with the process,
// /dev is private (the usual character devices, a pty instance of its own,
// and room for the /dev/log that the test listens on), and the network is
// loopback only.
#ifndef VESNAR_SANDBOX_H
#define VESNAR_SANDBOX_H
#include <string>

void enter_sandbox();

// The same sandbox, under the name the services tests know it by.
void enter_service_sandbox();
// True when the process is the host's root, not only root of a user
// namespace: a service that switches users needs that.
bool host_root();

// File helpers for paths inside the sandbox; they abort the test on failure.
void write_file(const std::string &path, const std::string &content, int mode = 0644);
void make_dirs(const std::string &path);
void remove_tree(const std::string &path);
bool path_exists(const std::string &path);
std::string read_file(const std::string &path);
int count_open_fds();

#endif
