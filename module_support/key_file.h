// The platform's key files. A key is read only from a regular file, so that a
// FIFO nobody writes or a link to a device cannot hold a login, and never
// past the bytes a key can use, so that a huge file costs no more than a
// small one. A key that others could have written is anybody's password, so
// the file and every directory above it are inspected as well.
#ifndef VESNAR_KEY_FILE_H
#define VESNAR_KEY_FILE_H

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

// The file opened for reading, or -1 when it cannot be opened or is not a
// regular file. O_NONBLOCK keeps the open itself from waiting on a FIFO.
inline int open_key_file(const char *path)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads the file's first bytes, at most size of them; returns how many.
// With first_line_only, the read that brings a CR or LF is the last: a caller
// that keeps only the first line need not ask again for the file's end.
inline size_t read_key_bytes(int fd, char *buf, size_t size, bool first_line_only = false)
{
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, buf + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        bool line_ended = first_line_only && (memchr(buf + got, '\n', size_t(n)) ||
                                              memchr(buf + got, '\r', size_t(n)));
        got += size_t(n);
        if (line_ended)
            break;
    }
    return got;
}

// What the modes and owners of a key file and of the directories above it
// let others do.
enum key_file_weakness : unsigned {
    KEY_WRITABLE_BY_OTHERS = 1u << 0,  // the file or a directory above it
    KEY_FOREIGN_OWNER = 1u << 1,       // owned by neither root nor the account
    KEY_WRITABLE_BY_GROUP = 1u << 2,   // the file or a directory above it
    KEY_READABLE_BY_OTHERS = 1u << 3,  // the file
};

// What each module makes of them. pam_tamlo's key is a password, so a key
// that others may write is refused; a platform may keep keys in a group of
// its own, so the group's write is only warned of. pam_brud never refuses
// its key: that would only switch detection off, which is what an attacker
// wants.
constexpr unsigned TAMLO_KEY_REFUSED = KEY_WRITABLE_BY_OTHERS | KEY_FOREIGN_OWNER;
constexpr unsigned TAMLO_KEY_WARNED = KEY_WRITABLE_BY_GROUP | KEY_READABLE_BY_OTHERS;
constexpr unsigned BRUD_KEY_WARNED =
    KEY_WRITABLE_BY_OTHERS | KEY_WRITABLE_BY_GROUP | KEY_READABLE_BY_OTHERS;

struct key_file_report {
    unsigned weaknesses;
    // The first finding of each weakness asked for, joined by "; ": "writable
    // by others", "directory /var/vesnar owned by uid 1001".
    char reasons[512];
};

// Inspects the open key file fd, opened from path, and every directory above
// it up to "/", both as named and as its links resolve. owner_name is the
// account that may own them besides root (nullptr: owners are not looked
// at). Returns every weakness found; only those in `describe` get their
// reasons written.
unsigned inspect_key_file(int fd, const char *path, const char *owner_name, unsigned describe,
                          key_file_report *report);

#endif
