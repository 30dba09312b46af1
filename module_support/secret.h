// Wiping secrets: a key, a password or a hash is zeroed before its memory
// is given up, with a wipe the optimiser may not drop.
#ifndef VESNAR_SECRET_H
#define VESNAR_SECRET_H

#include <stdlib.h>
#include <string.h>

// Wipes a buffer on every way out of its scope.
class wipe_on_exit {
public:
    wipe_on_exit(void *bytes, size_t size) : bytes_(bytes), size_(size) {}
    wipe_on_exit(const wipe_on_exit &) = delete;
    wipe_on_exit &operator=(const wipe_on_exit &) = delete;
    ~wipe_on_exit() { explicit_bzero(bytes_, size_); }

private:
    void *bytes_;
    size_t size_;
};

// Wipes size bytes of a heap block and frees it; null is allowed.
inline void wipe_and_free(void *secret, size_t size)
{
    if (!secret)
        return;
    explicit_bzero(secret, size);
    free(secret);
}

// The same for a heap string, up to its terminator.
inline void wipe_and_free(char *secret) { wipe_and_free(secret, secret ? strlen(secret) : 0); }

#endif
