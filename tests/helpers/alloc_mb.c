/* alloc_mb N: allocates N MiB of heap and touches every page; exits 0 when
 * that worked, 1 when the allocation was refused (e.g. by RLIMIT_DATA). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    size_t size = (size_t)strtoul(argv[1], NULL, 10) << 20;
    char* block = malloc(size);
    if (block == NULL) {
        puts("allocation refused");
        return 1;
    }
    memset(block, 1, size);
    puts("allocated");
    return 0;
}
