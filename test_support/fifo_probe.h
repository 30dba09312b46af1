// How a module opens a file, seen while it has it open: the file is a FIFO,
// so the module's open() waits for the writer and its descriptor can be
// inspected before the content is given.
#ifndef VESNAR_FIFO_PROBE_H
#define VESNAR_FIFO_PROBE_H

#include <functional>
#include <string>

// Makes a FIFO at path, runs `open_in_module` on a second thread, and reads
// the descriptor flags (F_GETFD) of the one descriptor the process holds on
// path besides the writer's; then writes `content` and waits for the thread.
// -1 when no such descriptor was seen. The FIFO is removed afterwards.
int module_descriptor_flags(const std::string &path, const std::string &content,
                            const std::function<void()> &open_in_module);

#endif
