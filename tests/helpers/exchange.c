/* exchange A B STOP: swaps the entries A and B (renameat2 RENAME_EXCHANGE) over
 * and over until the file STOP exists, then prints how many swaps succeeded.
 * exchange A B: swaps them once. The adversary of the link race stress run. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) return 2;
    if (argc == 3)
        return renameat2(AT_FDCWD, argv[1], AT_FDCWD, argv[2], RENAME_EXCHANGE) == 0 ? 0 : 1;
    unsigned long swaps = 0;
    for (unsigned long i = 0;; ++i) {
        if (i % 64 == 0 && access(argv[3], F_OK) == 0) break;
        if (renameat2(AT_FDCWD, argv[1], AT_FDCWD, argv[2], RENAME_EXCHANGE) == 0) ++swaps;
        usleep(20);
    }
    printf("%lu\n", swaps);
    return 0;
}
