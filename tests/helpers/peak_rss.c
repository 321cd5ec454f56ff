/* peak_rss FILE PROGRAM ARGS...: runs PROGRAM, then writes the largest
 * resident set size (KiB) among its waited-for descendants to FILE and exits
 * with PROGRAM's status. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    pid_t pid = fork();
    if (pid < 0) return 2;
    if (pid == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) < 0) return 2;
    struct rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    FILE* out = fopen(argv[1], "w");
    if (out == NULL) return 2;
    fprintf(out, "%ld\n", usage.ru_maxrss);
    fclose(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
