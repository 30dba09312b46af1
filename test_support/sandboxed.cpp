// Runs a command in the tests' sandbox: a private mount namespace in which
// /etc, /var and /run are throw-away overlays and /tmp is private. The demo's
// scenes run in it, so nothing they write reaches the host.
#include "sandbox.h"

#include <stdio.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s command [argument...]\n", argv[0]);
        return 2;
    }
    enter_sandbox();
    execvp(argv[1], argv + 1);
    perror(argv[1]);
    return 127;
}
