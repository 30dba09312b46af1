#include "open_probe.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>

namespace {
const std::string *watched = nullptr;
int seen_flags = -1;
}  // namespace

int open_flags_during(const std::string &path, const std::function<void()> &call)
{
    seen_flags = -1;
    watched = &path;
    call();
    watched = nullptr;
    return seen_flags;
}

extern "C" __attribute__((visibility("default"))) int open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if (watched && *watched == path)
        seen_flags = flags;
    static auto real = reinterpret_cast<int (*)(const char *, int, ...)>(dlsym(RTLD_NEXT, "open"));
    return real(path, flags, mode);
}
