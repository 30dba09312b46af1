#include "fifo_probe.h"

#include "sandbox.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

namespace {

// Another descriptor of this process on path, or -1.
int other_descriptor_of(const std::string &path, int except)
{
    for (int fd = 0; fd < 1024; fd++) {
        char link[64], target[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, target, sizeof target);
        if (fd != except && n > 0 && path.compare(0, std::string::npos, target, size_t(n)) == 0)
            return fd;
    }
    return -1;
}

}  // namespace

int module_descriptor_flags(const std::string &path, const std::string &content,
                            const std::function<void()> &open_in_module)
{
    remove_tree(path);
    if (mkfifo(path.c_str(), 0600) != 0)
        return -1;
    std::thread module(open_in_module);
    // Blocks until the module's open() is under way; its descriptor shows
    // once that open() has returned.
    int writer = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    int flags = -1;
    for (int round = 0; writer >= 0 && round < 2000 && flags < 0; round++) {
        int theirs = other_descriptor_of(path, writer);
        if (theirs >= 0)
            flags = fcntl(theirs, F_GETFD);
        else
            usleep(1000);
    }
    if (writer >= 0) {
        if (write(writer, content.data(), content.size()) != ssize_t(content.size()))
            flags = -1;
        close(writer);
    }
    module.join();
    remove_tree(path);
    return flags;
}
