/* alloc_mb N [shared]: allocates N MiB of heap (or, with "shared", of a
 * MAP_SHARED anonymous mapping, which RLIMIT_DATA does not count) and touches
 * every page; exits 0 when that worked, 1 when the allocation was refused
 * (e.g. by RLIMIT_DATA). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

int main(int argc, char** argv) {
    if (argc != 2 && (argc != 3 || strcmp(argv[2], "shared") != 0)) return 2;
    size_t size = (size_t)strtoul(argv[1], NULL, 10) << 20;
    char* block;
    if (argc == 3) {
        block = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) block = NULL;
    } else {
        block = malloc(size);
    }
    if (block == NULL) {
        puts("allocation refused");
        return 1;
    }
    memset(block, 1, size);
    puts("allocated");
    return 0;
}
