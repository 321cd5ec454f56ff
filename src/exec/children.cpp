#include "exec/children.hpp"

#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <unordered_set>

#include "exec/supervise.hpp"

namespace tj {
namespace {

std::mutex children_mutex;
std::unordered_set<pid_t> started_children;  // guarded by children_mutex

bool started(pid_t pid) {
    return started_children.contains(pid);
}

// Collects `pid` unless it is a started command: with the lock held, spawn
// cannot add one meanwhile.
void collect_if_orphan(pid_t pid) {
    std::lock_guard lock(children_mutex);
    if (!started(pid)) ::waitpid(pid, nullptr, WNOHANG);
}

// Ended orphans found one by one; false once the first child that waits is a
// started command, which hides those behind it.
bool collect_front_orphans() {
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0) {
            return true;
        }
        {
            std::lock_guard lock(children_mutex);
            if (started(info.si_pid)) return false;
        }
        collect_if_orphan(info.si_pid);
    }
}

// Every ended child that is no started command, among the pids of /proc (a
// wait for a pid that is not a child just fails).
void collect_all_orphans() {
    for (pid_t p : snapshot_pids()) collect_if_orphan(p);
}

void* reap_orphans(void*) {
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    for (;;) {
        if (!collect_front_orphans()) collect_all_orphans();
        int sig = 0;
        sigwait(&chld, &sig);
    }
}

}  // namespace

std::unique_lock<std::mutex> lock_children() {
    return std::unique_lock(children_mutex);
}

void note_started_child(pid_t pid) {
    started_children.insert(pid);
}

pid_t collect_child(pid_t pid, int* status, int flags) {
    pid_t got = ::waitpid(pid, status, flags);
    bool ended = got == pid && (status == nullptr || WIFEXITED(*status) || WIFSIGNALED(*status));
    if (ended || (got < 0 && errno == ECHILD)) {
        int saved = errno;
        std::lock_guard lock(children_mutex);
        started_children.erase(pid);
        errno = saved;
    }
    return got;
}

Result<> become_child_subreaper() {
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) return fail_system();
    return {};
}

Result<> block_child_signal() {
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    if (int err = pthread_sigmask(SIG_BLOCK, &chld, nullptr)) return fail_system(err);
    return {};
}

Result<> start_orphan_reaper() {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    int err = pthread_create(&thread, &attr, reap_orphans, nullptr);
    pthread_attr_destroy(&attr);
    if (err != 0) return fail_system(err);
    return {};
}

}  // namespace tj
