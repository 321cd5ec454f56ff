/* What a jailed command sees and may do, probed with raw calls. Prints one
 * line per probe: an errno name ("EPERM") for a refused call, "ok" otherwise.
 *
 *   jail_probe ifaces                 each interface: "name up" or "name down"
 *   jail_probe fds                    open descriptors, blank-separated
 *   jail_probe unshare|mount          try to make a namespace / mount a tmpfs
 *   jail_probe write PATH             try to create PATH
 *   jail_probe listen PORT            accept one TCP connection on 127.0.0.1, print its text
 *   jail_probe connect HOST PORT MSG  send MSG, retrying refused connects for 10 s
 *   jail_probe reach HOST PORT        one connect attempt
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static int report(int rc) {
    puts(rc == 0 ? "ok" : strerrorname_np(errno));
    return 0;
}

static int ifaces(void) {
    struct if_nameindex* list = if_nameindex();
    if (list == NULL) return report(-1);
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    for (struct if_nameindex* i = list; i->if_index != 0; ++i) {
        struct ifreq req;
        memset(&req, 0, sizeof req);
        strncpy(req.ifr_name, i->if_name, IFNAMSIZ - 1);
        int up = ioctl(sock, SIOCGIFFLAGS, &req) == 0 && (req.ifr_flags & IFF_UP);
        printf("%s %s\n", i->if_name, up ? "up" : "down");
    }
    return 0;
}

static int fds(void) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == NULL) return report(-1);
    const char* sep = "";
    for (struct dirent* e; (e = readdir(dir)) != NULL;) {
        if (e->d_name[0] == '.' || atoi(e->d_name) == dirfd(dir)) continue;
        printf("%s%s", sep, e->d_name);
        sep = " ";
    }
    puts("");
    return 0;
}

static struct sockaddr_in address(const char* host, const char* port) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)atoi(port));
    inet_pton(AF_INET, host, &a.sin_addr);
    return a;
}

static int listen_once(const char* port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = address("127.0.0.1", port);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(s, (struct sockaddr*)&a, sizeof a) != 0 || listen(s, 1) != 0) return report(-1);
    int c = accept(s, NULL, NULL);
    if (c < 0) return report(-1);
    char buf[256];
    ssize_t n = read(c, buf, sizeof buf - 1);
    buf[n > 0 ? n : 0] = 0;
    printf("got %s\n", buf);
    return 0;
}

static int connect_to(const char* host, const char* port, const char* msg, int retry) {
    struct sockaddr_in a = address(host, port);
    for (int tries = 0;; ++tries) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(s, (struct sockaddr*)&a, sizeof a) == 0) {
            if (msg != NULL && write(s, msg, strlen(msg)) < 0) return report(-1);
            return report(0);
        }
        int err = errno;
        close(s);
        if (!retry || err != ECONNREFUSED || tries >= 1000) {
            errno = err;
            return report(-1);
        }
        struct timespec ten_ms = {0, 10 * 1000 * 1000};
        nanosleep(&ten_ms, NULL);
    }
}

int main(int argc, char** argv) {
    const char* what = argc > 1 ? argv[1] : "";
    if (strcmp(what, "ifaces") == 0) return ifaces();
    if (strcmp(what, "fds") == 0) return fds();
    if (strcmp(what, "unshare") == 0) return report(unshare(CLONE_NEWUSER | CLONE_NEWNS));
    if (strcmp(what, "mount") == 0) return report(mount("none", "/tmp", "tmpfs", 0, NULL));
    if (strcmp(what, "write") == 0 && argc > 2)
        return report(open(argv[2], O_WRONLY | O_CREAT | O_CLOEXEC, 0644) < 0 ? -1 : 0);
    if (strcmp(what, "listen") == 0 && argc > 2) return listen_once(argv[2]);
    if (strcmp(what, "connect") == 0 && argc > 4) return connect_to(argv[2], argv[3], argv[4], 1);
    if (strcmp(what, "reach") == 0 && argc > 3) return connect_to(argv[2], argv[3], NULL, 0);
    fprintf(stderr, "usage: jail_probe ifaces|fds|unshare|mount|write|listen|connect|reach\n");
    return 2;
}
