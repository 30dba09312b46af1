// How a module opens a file: the test executables define open() themselves
// and export it, so a module's open() binds there and its flags are seen.
#ifndef VESNAR_OPEN_PROBE_H
#define VESNAR_OPEN_PROBE_H

#include <functional>
#include <string>

// The flags of the last open() of `path` while `call` ran, or -1 when
// there was none.
int open_flags_during(const std::string &path, const std::function<void()> &call);

#endif
