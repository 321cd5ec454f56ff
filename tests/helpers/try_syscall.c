/* Makes raw system calls and prints how each ended, to tell a call the seccomp
 * filter refused from one that reached the kernel. Each probe passes an invalid
 * pointer or descriptor wherever the call could change something, so a call
 * that gets through fails harmlessly with EFAULT or EBADF instead. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

static const char usage[] =
    "usage: try_syscall PROBE...\n"
    "Prints one line per probe: OK, the errno name (EPERM when refused by the\n"
    "seccomp filter), or ABSENT when the call does not exist on this architecture.\n"
    "Exits 0, or 2 for an unknown probe.\n"
    "\n"
    "probe                  call                                     refused / reached kernel\n"
    "unshare                unshare(CLONE_NEWUSER) in a child        EPERM / OK\n"
    "setns                  setns(-1, 0)                             EPERM / EBADF\n"
    "mount                  mount(bad, bad, bad, 0, NULL)            EPERM / EFAULT\n"
    "umount2                umount2(bad, 0)                          EPERM / EFAULT\n"
    "pivot_root             pivot_root(bad, bad)                     EPERM / EFAULT (EPERM "
    "unprivileged)\n"
    "ptrace                 ptrace(PTRACE_PEEKDATA, 0, 0, 0)         EPERM / ESRCH\n"
    "openat-setuid          openat(AT_FDCWD, bad, O_CREAT, 04755)    EPERM / EFAULT\n"
    "openat-setgid          openat(AT_FDCWD, bad, O_CREAT, 02755)    EPERM / EFAULT\n"
    "openat-tmpfile-setuid  openat(AT_FDCWD, bad, O_TMPFILE, 04755)  EPERM / EFAULT\n"
    "openat-create          openat(AT_FDCWD, bad, O_CREAT, 0755)     allowed: EFAULT\n"
    "openat-nocreat-setuid  openat(AT_FDCWD, bad, O_WRONLY, 04755)   allowed: EFAULT\n"
    "fchmodat-setgid        fchmodat(AT_FDCWD, bad, 02755)           EPERM / EFAULT\n"
    "fchmodat-plain         fchmodat(AT_FDCWD, bad, 0755)            allowed: EFAULT\n"
    "fchmod-setuid          fchmod(-1, 04755)                        EPERM / EBADF\n"
    "fchmod-plain           fchmod(-1, 0755)                         allowed: EBADF\n"
    "fchmodat2-setuid       fchmodat2(AT_FDCWD, bad, 04755, 0)       EPERM / EFAULT (ENOSYS before "
    "6.6)\n"
    "mknodat-chr            mknodat(AT_FDCWD, bad, S_IFCHR, 1:3)     EPERM / EFAULT\n"
    "mknodat-blk            mknodat(AT_FDCWD, bad, S_IFBLK, 7:0)     EPERM / EFAULT\n"
    "mknodat-setuid         mknodat(AT_FDCWD, bad, S_IFREG|04644, 0) EPERM / EFAULT\n"
    "mknodat-fifo           mknodat(AT_FDCWD, bad, S_IFIFO|0644, 0)  allowed: EFAULT\n"
    "creat-setuid           creat(bad, 04755)           (x86_64)     EPERM / EFAULT\n"
    "open-setuid            open(bad, O_CREAT, 04755)   (x86_64)     EPERM / EFAULT\n"
    "chmod-setuid           chmod(bad, 04755)           (x86_64)     EPERM / EFAULT\n"
    "mknod-chr              mknod(bad, S_IFCHR, 1:3)    (x86_64)     EPERM / EFAULT\n"
    "ioctl-tiocsti          ioctl(-1, TIOCSTI, bad)                  EPERM / EBADF\n"
    "ioctl-tiocsti-high     ioctl(-1, 1<<32 | TIOCSTI, bad)          EPERM / EBADF\n"
    "ioctl-tioclinux        ioctl(-1, TIOCLINUX, bad)                EPERM / EBADF\n"
    "ioctl-tiocgwinsz       ioctl(-1, TIOCGWINSZ, bad)               allowed: EBADF\n"
    "openat2                openat2(AT_FDCWD, bad, bad, 24)          ENOSYS / EFAULT\n"
    "statmount              statmount(bad, bad, 0, 0)                EPERM / EFAULT (ENOSYS before "
    "6.8)\n"
    "listmount              listmount(bad, bad, 0, 0)                EPERM / EFAULT (ENOSYS before "
    "6.8)\n"
    "open_tree_attr         open_tree_attr(-1, bad, 0, bad, 32)      EPERM / EFAULT (ENOSYS before "
    "6.15)\n"
    "clone-newuser          clone(CLONE_NEWUSER) in a child          EPERM / OK\n"
    "clone-newuser-flag, clone-new{ns,pid,net,ipc,uts,cgroup,time}\n"
    "                       clone(flag | CLONE_SIGHAND), no CLONE_VM EPERM / EINVAL\n"
    "clone3                 clone3(bad, 88)                          ENOSYS / EFAULT\n"
    "fork, vfork            a child that exits 0                     allowed: OK\n"
    "thread                 a thread, joined                         allowed: OK\n"
    "posix_spawn            this program again, probe getpid         allowed: OK\n"
    "getpid                 getpid()                                 allowed: OK\n"
    "kill:PID               kill(PID, 0)                             EPERM / OK\n"
    "connect-abstract:NAME  connect to the abstract unix socket NAME EPERM / OK\n"
    "connect-unix:PATH      connect to the unix socket at PATH       EACCES / OK\n";

/* Never mapped: a call that reaches the kernel fails with EFAULT. */
#define BAD ((long)1)
#define ABSENT (-2L)

/* The same numbers on aarch64 and x86_64; older headers lack some. */
#define NR_CLONE3 435
#define NR_OPENAT2 437
#define NR_FCHMODAT2 452
#define NR_STATMOUNT 457
#define NR_LISTMOUNT 458
#define NR_OPEN_TREE_ATTR 467

/* Reports the errno a forked child's call ended with, leaving this process as
 * it was: a new user namespace without ID maps would change what later probes
 * in the same run may do. */
static long in_child(long (*call)(void)) {
    pid_t pid = fork();
    if (pid == 0) _exit(call() < 0 ? errno : 0);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) < 0) return -1;
    if (!WIFEXITED(status)) {
        errno = EINTR; /* shown as EINTR: the child was killed */
        return -1;
    }
    errno = WEXITSTATUS(status);
    return errno == 0 ? 0 : -1;
}

static long unshare_newuser(void) {
    return syscall(SYS_unshare, (long)CLONE_NEWUSER);
}

/* Zero stack: the child runs on a copy of this stack, as after fork. */
static long clone_newuser(void) {
    long pid = syscall(SYS_clone, (long)(CLONE_NEWUSER | SIGCHLD), 0L, 0L, 0L, 0L);
    if (pid == 0) _exit(0);
    if (pid < 0) return -1;
    int status = 0;
    return waitpid((pid_t)pid, &status, 0) < 0 ? -1 : 0;
}

#define IS(probe_name) (strcmp(name, probe_name) == 0)

/* CLONE_SIGHAND without CLONE_VM is invalid, and the kernel says so before it
 * looks at any namespace flag or capability: a clone the filter lets through
 * fails with EINVAL and starts nothing, as root and unprivileged alike. */
static const struct {
    const char* name;
    long flag;
} clone_flags[] = {
    {"clone-newuser-flag", CLONE_NEWUSER}, {"clone-newns", CLONE_NEWNS},
    {"clone-newpid", CLONE_NEWPID},        {"clone-newnet", CLONE_NEWNET},
    {"clone-newipc", CLONE_NEWIPC},        {"clone-newuts", CLONE_NEWUTS},
    {"clone-newcgroup", CLONE_NEWCGROUP},  {"clone-newtime", 0x80 /* CLONE_NEWTIME */},
};

static long clone_flag(const char* name) {
    for (size_t i = 0; i < sizeof clone_flags / sizeof clone_flags[0]; ++i) {
        if (IS(clone_flags[i].name)) {
            return syscall(SYS_clone, clone_flags[i].flag | CLONE_SIGHAND | SIGCHLD, 0L, 0L, 0L,
                           0L);
        }
    }
    return -3;
}

/* -1 with errno unless the child `pid` (0 inside it) exited 0. */
static long child_exits_zero(pid_t pid) {
    if (pid == 0) _exit(0);
    if (pid < 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) < 0) return -1;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
    errno = ECHILD; /* shown as ECHILD: the child failed */
    return -1;
}

static void* thread_main(void* arg) {
    return arg;
}

static long start_thread(void) {
    pthread_t thread;
    int err = pthread_create(&thread, NULL, thread_main, NULL);
    if (err == 0) err = pthread_join(thread, NULL);
    errno = err;
    return err == 0 ? 0 : -1;
}

/* Runs this program's getpid probe with its output thrown away. */
static long spawn_self(void) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char* const argv[] = {"try_syscall", "getpid", NULL};
    char* const envp[] = {NULL};
    pid_t pid = -1;
    int err = posix_spawn(&pid, "/proc/self/exe", &actions, NULL, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        errno = err;
        return -1;
    }
    int status = 0;
    if (waitpid(pid, &status, 0) < 0) return -1;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
    errno = ECHILD;
    return -1;
}

/* Connects a unix stream socket to `path`, or to the abstract name `path` when
 * `abstract` (the name after a leading NUL byte). */
static long connect_unix(const char* path, int abstract) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    size_t len = strlen(path);
    if (len + 1 + (size_t)abstract > sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(addr.sun_path + abstract, path, len);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    socklen_t size = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + abstract + len);
    long result = connect(fd, (struct sockaddr*)&addr, size);
    int err = errno;
    close(fd);
    errno = err;
    return result;
}

/* Probes with an argument after a colon: other processes and sockets. */
static long with_argument(const char* name) {
    const char* colon = strchr(name, ':');
    if (colon == NULL) return -3;
    const char* arg = colon + 1;
    size_t len = (size_t)(colon - name);
    if (len == 4 && strncmp(name, "kill", len) == 0) return kill((pid_t)atol(arg), 0);
    if (len == 16 && strncmp(name, "connect-abstract", len) == 0) return connect_unix(arg, 1);
    if (len == 12 && strncmp(name, "connect-unix", len) == 0) return connect_unix(arg, 0);
    return -3;
}

/* Starting processes and threads, and making namespaces with clone. */
static long processes(const char* name) {
    if (IS("clone3")) return syscall(NR_CLONE3, BAD, 88L);
    if (IS("fork")) return child_exits_zero(fork());
    if (IS("vfork")) return child_exits_zero(vfork());
    if (IS("thread")) return start_thread();
    if (IS("posix_spawn")) return spawn_self();
    long result = clone_flag(name);
    return result == -3 ? with_argument(name) : result;
}

/* x86_64's older path calls; aarch64 has only their *at forms. */
static long legacy(const char* name) {
    if (!IS("creat-setuid") && !IS("open-setuid") && !IS("chmod-setuid") && !IS("mknod-chr")) {
        return -3;
    }
#if defined(__x86_64__)
    if (IS("creat-setuid")) return syscall(SYS_creat, BAD, 04755L);
    if (IS("open-setuid")) return syscall(SYS_open, BAD, (long)(O_CREAT | O_WRONLY), 04755L);
    if (IS("chmod-setuid")) return syscall(SYS_chmod, BAD, 04755L);
    return syscall(SYS_mknod, BAD, (long)(S_IFCHR | 0600), (long)makedev(1, 3));
#else
    return ABSENT;
#endif
}

/* The call's result (-1 with errno set on failure), ABSENT, or -3 for an
 * unknown probe. */
static long probe(const char* name) {
    const long cwd = AT_FDCWD;
    if (IS("unshare")) return in_child(unshare_newuser);
    if (IS("setns")) return syscall(SYS_setns, -1L, 0L);
    if (IS("mount")) return syscall(SYS_mount, BAD, BAD, BAD, 0L, 0L);
    if (IS("umount2")) return syscall(SYS_umount2, BAD, 0L);
    if (IS("pivot_root")) return syscall(SYS_pivot_root, BAD, BAD);
    if (IS("ptrace")) return syscall(SYS_ptrace, (long)PTRACE_PEEKDATA, 0L, 0L, 0L);
    if (IS("openat-setuid")) {
        return syscall(SYS_openat, cwd, BAD, (long)(O_CREAT | O_WRONLY), 04755L);
    }
    if (IS("openat-setgid")) {
        return syscall(SYS_openat, cwd, BAD, (long)(O_CREAT | O_WRONLY), 02755L);
    }
    if (IS("openat-tmpfile-setuid")) {
        return syscall(SYS_openat, cwd, BAD, (long)(O_TMPFILE | O_RDWR), 04755L);
    }
    if (IS("openat-create")) {
        return syscall(SYS_openat, cwd, BAD, (long)(O_CREAT | O_WRONLY), 0755L);
    }
    if (IS("openat-nocreat-setuid")) {
        return syscall(SYS_openat, cwd, BAD, (long)O_WRONLY, 04755L);
    }
    if (IS("fchmodat-setgid")) return syscall(SYS_fchmodat, cwd, BAD, 02755L);
    if (IS("fchmodat-plain")) return syscall(SYS_fchmodat, cwd, BAD, 0755L);
    if (IS("fchmod-setuid")) return syscall(SYS_fchmod, -1L, 04755L);
    if (IS("fchmod-plain")) return syscall(SYS_fchmod, -1L, 0755L);
    if (IS("fchmodat2-setuid")) return syscall(NR_FCHMODAT2, cwd, BAD, 04755L, 0L);
    if (IS("mknodat-chr")) {
        return syscall(SYS_mknodat, cwd, BAD, (long)(S_IFCHR | 0600), (long)makedev(1, 3));
    }
    if (IS("mknodat-blk")) {
        return syscall(SYS_mknodat, cwd, BAD, (long)(S_IFBLK | 0600), (long)makedev(7, 0));
    }
    if (IS("mknodat-setuid")) {
        return syscall(SYS_mknodat, cwd, BAD, (long)(S_IFREG | S_ISUID | 0644), 0L);
    }
    if (IS("mknodat-fifo")) {
        return syscall(SYS_mknodat, cwd, BAD, (long)(S_IFIFO | 0644), 0L);
    }
    if (IS("ioctl-tiocsti")) return syscall(SYS_ioctl, -1L, (long)TIOCSTI, BAD);
    if (IS("ioctl-tiocsti-high")) {
        return syscall(SYS_ioctl, -1L, (long)((1ULL << 32) | TIOCSTI), BAD);
    }
    if (IS("ioctl-tioclinux")) return syscall(SYS_ioctl, -1L, (long)TIOCLINUX, BAD);
    if (IS("ioctl-tiocgwinsz")) {
        return syscall(SYS_ioctl, -1L, (long)TIOCGWINSZ, BAD);
    }
    if (IS("openat2")) return syscall(NR_OPENAT2, cwd, BAD, BAD, 24L);
    if (IS("statmount")) return syscall(NR_STATMOUNT, BAD, BAD, 0L, 0L);
    if (IS("listmount")) return syscall(NR_LISTMOUNT, BAD, BAD, 0L, 0L);
    if (IS("open_tree_attr")) return syscall(NR_OPEN_TREE_ATTR, -1L, BAD, 0L, BAD, 32L);
    if (IS("clone-newuser")) return in_child(clone_newuser);
    if (IS("getpid")) return syscall(SYS_getpid);
    long result = processes(name);
    return result == -3 ? legacy(name) : result;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fputs(usage, stderr);
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        errno = 0;
        long result = probe(argv[i]);
        if (result == -3) {
            fprintf(stderr, "try_syscall: unknown probe %s\n%s", argv[i], usage);
            return 2;
        }
        if (result == ABSENT) {
            puts("ABSENT");
        } else if (result >= 0) {
            puts("OK");
        } else {
            const char* errname = strerrorname_np(errno);
            if (errname != NULL) {
                puts(errname);
            } else {
                printf("E%d\n", errno);
            }
        }
        fflush(stdout);
    }
    return 0;
}
