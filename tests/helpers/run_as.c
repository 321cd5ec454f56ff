/* run_as UID CMD [ARG...]: drops every supplementary group, sets the real,
 * effective and saved group and user IDs to UID and runs CMD, searched on PATH.
 * Exits 126 when a step fails, 127 when CMD cannot be run. */
#define _GNU_SOURCE
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3) {
        fputs("usage: run_as UID CMD [ARG...]\n", stderr);
        return 2;
    }
    char* end;
    unsigned long id = strtoul(argv[1], &end, 10);
    if (*end != '\0') {
        fprintf(stderr, "run_as: bad id %s\n", argv[1]);
        return 2;
    }
    /* Already that user (a test run as it): nothing to drop, nothing allowed. */
    int already = geteuid() != 0 && getuid() == id && getgid() == id && getegid() == id;
    if (!already &&
        (setgroups(0, NULL) != 0 || setresgid(id, id, id) != 0 || setresuid(id, id, id) != 0)) {
        perror("run_as");
        return 126;
    }
    execvp(argv[2], argv + 2);
    perror(argv[2]);
    return 127;
}
