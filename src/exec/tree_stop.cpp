#include "exec/tree_stop.hpp"

#include <dirent.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <string_view>

#include <fmt/core.h>

#include "exec/pidfd.hpp"
#include "exec/supervise.hpp"
#include "file_io.hpp"

#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424  // the same number on every architecture
#endif

namespace tj {
namespace {

// How long a thread may take to reach its stop (an uninterruptible sleep
// delays it); past that the walk reads its children as they are.
constexpr int kStopWaitMs = 200;

std::vector<std::string> task_dirs(pid_t pid) {
    std::vector<std::string> dirs;
    std::string base = fmt::format("/proc/{}/task", pid);
    DIR* dir = ::opendir(base.c_str());
    if (dir == nullptr) return dirs;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') dirs.push_back(base + "/" + entry->d_name);
    }
    ::closedir(dir);
    return dirs;
}

// Stopped, traced, or past running at all.
}  // namespace

bool settled(char state) {
    return state == 'T' || state == 't' || state == 'Z' || state == 'X';
}

namespace {

bool threads_settled(pid_t pid) {
    for (const auto& dir : task_dirs(pid)) {
        auto text = read_file(dir + "/stat");
        if (!text) continue;  // the thread is gone
        auto stat = parse_proc_stat(*text);
        if (stat && !settled(stat->state)) return false;
    }
    return true;
}

void await_stop(pid_t pid) {
    timespec pause = {0, 1'000'000};
    for (int waited = 0; waited < kStopWaitMs && !threads_settled(pid); ++waited) {
        ::nanosleep(&pause, nullptr);
    }
}

}  // namespace

bool send(const HeldProcess& process, int sig) {
    return ::syscall(SYS_pidfd_send_signal, process.pidfd.get(), sig, nullptr, 0) == 0;
}

std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> out;
    for (const auto& dir : task_dirs(pid)) {
        auto text = read_file(dir + "/children");
        if (!text) continue;
        std::string_view rest = *text;
        while (!rest.empty()) {
            size_t space = rest.find_first_of(" \n");
            if (auto child = parse_decimal_i32(rest.substr(0, space)); child && *child > 0)
                out.push_back(*child);
            if (space == std::string_view::npos) break;
            rest.remove_prefix(space + 1);
        }
    }
    return out;
}

HeldProcess hold_child(pid_t parent, pid_t child) {
    HeldProcess held = {open_pidfd(child), child};
    if (!held.pidfd) return {};
    auto stat = read_proc_stat(child);
    // Alive after the read: the stat was this process's, not a later holder's.
    if (!stat || stat->ppid != parent || !send(held, 0)) return {};
    return held;
}

void stop_and_kill_trees(std::vector<HeldProcess> roots) {
    std::vector<HeldProcess> stopped;
    std::vector<HeldProcess> pending = std::move(roots);
    while (!pending.empty()) {
        HeldProcess process = std::move(pending.back());
        pending.pop_back();
        if (!send(process, SIGSTOP)) continue;
        await_stop(process.pid);
        for (pid_t child : children_of(process.pid)) {
            if (HeldProcess held = hold_child(process.pid, child); held.pidfd)
                pending.push_back(std::move(held));
        }
        stopped.push_back(std::move(process));
    }
    for (const auto& process : stopped) send(process, SIGKILL);
}

}  // namespace tj
