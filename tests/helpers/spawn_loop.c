/* spawn_loop fork|spawn N PROGRAM ARGS...: runs PROGRAM N times one after
 * the other, each started with fork and execv or with posix_spawn and then
 * waited for; exits 1 if a start or a run failed. The baselines of the
 * launcher's start-up benchmarks. */
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

static pid_t start(int use_spawn, char** argv) {
    pid_t pid;
    if (use_spawn) return posix_spawn(&pid, argv[0], NULL, NULL, argv, environ) == 0 ? pid : -1;
    pid = fork();
    if (pid == 0) {
        execv(argv[0], argv);
        _exit(127);
    }
    return pid;
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: spawn_loop fork|spawn N PROGRAM ARGS...\n");
        return 2;
    }
    int use_spawn = strcmp(argv[1], "spawn") == 0;
    long n = atol(argv[2]);
    for (long i = 0; i < n; ++i) {
        int status;
        pid_t pid = start(use_spawn, argv + 3);
        if (pid < 0 || waitpid(pid, &status, 0) != pid || status != 0) return 1;
    }
    return 0;
}
