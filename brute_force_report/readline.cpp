// Line reader: one read(2) per byte on the stream's descriptor, so that it
// never consumes more of the file than the line it returns.
#include "readline.h"

#include <string.h>
#include <unistd.h>

int readline(char *buf, FILE *stream, int limit)
{
    int fd = fileno(stream);
    int stored = 0;
    char byte = 0;  // per call: two threads may read lines at once
    for (;;) {
        if (read(fd, &byte, 1) <= 0)
            break;
        if (byte == '\n' || byte == '\r')
            break;
        if (stored < limit)
            buf[stored++] = byte;  // the rest of an over-long line is dropped
        if (feof(stream))
            break;
    }
    buf[stored] = '\0';
    explicit_bzero(&byte, sizeof byte);  // the line may be a secret
    return 1;
}
