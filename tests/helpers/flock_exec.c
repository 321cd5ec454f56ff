/* flock_exec FILE CMD [ARG...]: opens (creating) FILE, takes an exclusive
 * flock on it and runs CMD with the locked descriptor inherited, so the lock
 * lasts as long as CMD or anything it leaves behind holds it. */
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3) {
        fputs("usage: flock_exec FILE CMD [ARG...]\n", stderr);
        return 2;
    }
    int fd = open(argv[1], O_RDONLY | O_CREAT, 0644);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) {
        perror(argv[1]);
        return 1;
    }
    execvp(argv[2], argv + 2);
    perror(argv[2]);
    return 127;
}
