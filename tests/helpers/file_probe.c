/* File access a confined command has, probed with raw calls. Takes pairs of
 * an operation and a path and prints one line per pair: "OP PATH: ok", or the
 * errno name of the refusal ("OP PATH: EACCES").
 *
 *   read PATH     open for reading
 *   write PATH    open an existing file for writing
 *   create PATH   create a new file (O_CREAT | O_EXCL), removed again
 *   mkdir PATH    create a directory, removed again
 *   truncate PATH truncate an existing file to its size (nothing changes)
 *   list PATH     open a directory for listing
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int open_close(const char* path, int flags) {
    int fd = open(path, flags | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    close(fd);
    return 0;
}

static int probe(const char* op, const char* path) {
    if (strcmp(op, "read") == 0) return open_close(path, O_RDONLY);
    if (strcmp(op, "write") == 0) return open_close(path, O_WRONLY);
    if (strcmp(op, "list") == 0) return open_close(path, O_RDONLY | O_DIRECTORY);
    if (strcmp(op, "create") == 0) {
        if (open_close(path, O_WRONLY | O_CREAT | O_EXCL) != 0) return -1;
        unlink(path);
        return 0;
    }
    if (strcmp(op, "mkdir") == 0) {
        if (mkdir(path, 0755) != 0) return -1;
        rmdir(path);
        return 0;
    }
    if (strcmp(op, "truncate") == 0) {
        struct stat st;
        if (stat(path, &st) != 0) return -1;
        return truncate(path, st.st_size);
    }
    errno = EINVAL;
    return -1;
}

int main(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        int rc = probe(argv[i], argv[i + 1]);
        printf("%s %s: %s\n", argv[i], argv[i + 1], rc == 0 ? "ok" : strerrorname_np(errno));
    }
    return 0;
}
