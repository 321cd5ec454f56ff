/* Process trees that try to outlive their run:
 *   proc_tree join MARK     tries to join its parent's process group, then sleeps
 *   proc_tree orphans N     leaves N orphans that end at once, then exits 0
 *   proc_tree bomb          forks until refused, every process then sleeps
 * MARK is any text: it only makes the process findable by its command line. */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static int orphans(int n) {
    for (int i = 0; i < n; ++i) {
        pid_t middle = fork();
        if (middle < 0) return 1;
        if (middle == 0) {
            if (fork() == 0) _exit(0); /* the orphan */
            _exit(0);
        }
        waitpid(middle, NULL, 0);
    }
    return 0;
}

static void bomb(void) __attribute__((noreturn));
static void bomb(void) {
    while (fork() >= 0) {
    }
    for (;;) pause();
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "join") == 0) {
        /* Refused where the command has a session of its own: it sleeps on
           in its own group then, and the limits must reach it all the same. */
        if (setpgid(0, getpgid(getppid())) != 0 && errno != EPERM) return perror("setpgid"), 1;
        for (;;) pause();
    }
    if (argc == 3 && strcmp(argv[1], "orphans") == 0) return orphans(atoi(argv[2]));
    if (argc == 2 && strcmp(argv[1], "bomb") == 0) bomb();
    fprintf(stderr, "usage: proc_tree join MARK | orphans N | bomb\n");
    return 2;
}
