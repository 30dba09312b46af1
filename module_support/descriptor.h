// Descriptors and streams that a module opens are closed on every way out
// of their scope: a leaked one stays open in the host.
#ifndef VESNAR_DESCRIPTOR_H
#define VESNAR_DESCRIPTOR_H

#include <stdio.h>
#include <unistd.h>

#include <memory>

struct file_closer {
    void operator()(FILE *file) const { fclose(file); }
};
using unique_file = std::unique_ptr<FILE, file_closer>;

// A descriptor owned until release() hands it to the caller.
class unique_fd {
public:
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    ~unique_fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }

    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

#endif
