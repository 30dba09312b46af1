// Line reader: one read(2) per byte on the stream's descriptor, so that it
// never consumes more of the file than the line it returns.
#include "readline.h"

#include <unistd.h>

// The byte is read through one module-wide cell, so two threads must not
// read lines at the same time.
static char thisChar;

int readline(char *buf, FILE *stream, int limit)
{
    int fd = fileno(stream);
    int stored = 0;
    for (;;) {
        if (read(fd, &thisChar, 1) <= 0)
            break;
        if (thisChar == '\n' || thisChar == '\r')
            break;
        if (stored < limit)
            buf[stored++] = thisChar;  // the rest of an over-long line is dropped
        if (feof(stream))
            break;
    }
    buf[stored] = '\0';
    return 1;
}
