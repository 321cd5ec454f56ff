/* Swaps two names with renameat2(RENAME_EXCHANGE) over and over, as a hostile
 * process beside a confined command would, until killed or until it has
 * swapped COUNT times (0: forever). Exits 1 when a swap fails. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        fputs("usage: rename_swap A B [COUNT]\n", stderr);
        return 2;
    }
    long count = argc == 4 ? atol(argv[3]) : 0;
    for (long i = 0; count == 0 || i < count; ++i) {
        if (syscall(SYS_renameat2, AT_FDCWD, argv[1], AT_FDCWD, argv[2], RENAME_EXCHANGE) != 0) {
            perror("rename_swap: renameat2");
            return 1;
        }
    }
    return 0;
}
