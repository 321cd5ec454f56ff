#include "exec/supervise.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "exec/cgroup.hpp"
#include "exec/children.hpp"
#include "exec/run_group.hpp"
#include "unique_fd.hpp"

namespace tj {
namespace {

// /proc opened before a Landlock domain that hides it: listing an open
// directory is not checked again, so the pids stay visible.
UniqueFd held_proc;
std::mutex held_proc_mutex;

constexpr long kSweepWindowNs = 1'000'000'000;
constexpr long kSweepPollNs = 10'000'000;

timespec monotonic_now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

timespec add_ns(timespec ts, long ns) {
    ts.tv_nsec += ns;
    ts.tv_sec += ts.tv_nsec / 1'000'000'000;
    ts.tv_nsec %= 1'000'000'000;
    return ts;
}

bool before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// An absolute target, so a signal interruption resumes with the time left.
void sleep_ns(long ns) {
    const timespec target = add_ns(monotonic_now(), ns);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &target, nullptr) == EINTR) {
    }
}

// The stat line is read as bytes: the command name is whatever the process
// chose (prctl PR_SET_NAME takes any bytes), and a name that is not UTF-8
// must not hide a process from the sweep.
std::optional<std::string> read_small_file(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string text;
    char buf[1024];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return text;
        text.append(buf, static_cast<size_t>(n));
    }
}

// Collects what has died; keeps the pids still there. An error means the pid
// is gone or not ours, and it is dropped as well.
void reap_gone(std::vector<pid_t>& pids) {
    std::erase_if(pids, [](pid_t p) { return collect_child(p, nullptr, WNOHANG) != 0; });
}

// Everything already there when `stopped` started, plus what appeared after
// each later command that is still alive (its own processes included).
PidSnapshot protected_set(PidSnapshot protect, std::span<const TrackedChild> later,
                          const PidSnapshot& current) {
    for (const TrackedChild& entry : later) {
        auto state = probe_child(entry.pid);
        if (!state || *state == ChildState::ended) continue;
        for (pid_t p : current) {
            if (entry.before.empty() || !entry.before.contains(p)) protect.insert(p);
        }
    }
    return protect;
}

struct Found {
    std::vector<pid_t> orphans;  // children of this process: collected here
    std::vector<pid_t> below;    // their descendants: killed along, collected once orphaned
};

// One scan: the unprotected children of this process, told by a wait that
// collects nothing (so no /proc file needs to be readable), and, where /proc
// shows parents, everything below them.
Found orphan_candidates(const PidSnapshot& protect, const std::vector<pid_t>& survivors) {
    Found found;
    std::unordered_map<pid_t, pid_t> parent_of;  // the others, where /proc tells
    for (pid_t p : snapshot_pids()) {
        if (protect.contains(p) || std::ranges::find(survivors, p) != survivors.end()) continue;
        if (p == session_group_keeper()) continue;  // it must outlive the launcher
        if (probe_child(p)) {
            found.orphans.push_back(p);
        } else if (auto stat = read_proc_stat(p)) {
            parent_of.emplace(p, stat->ppid);
        }
    }
    for (const auto& [p, ppid] : parent_of) {
        pid_t up = ppid;
        for (size_t depth = 0; depth < parent_of.size(); ++depth) {
            if (std::ranges::find(found.orphans, up) != found.orphans.end()) {
                found.below.push_back(p);
                break;
            }
            auto parent = parent_of.find(up);
            if (parent == parent_of.end()) break;
            up = parent->second;
        }
    }
    return found;
}

// A whole tree is killed in one pass, so a process that forks on and on
// cannot outrun the sweep one generation at a time. A leader's group goes
// too: a member that left the tree is reached through it.
void kill_found(const Found& found) {
    for (const auto* list : {&found.orphans, &found.below}) {
        for (pid_t p : *list) {
            if (::getpgid(p) == p) ::killpg(p, SIGKILL);
            ::kill(p, SIGKILL);
        }
    }
}

std::vector<pid_t> kill_orphans(const PidSnapshot& protect) {
    std::vector<pid_t> survivors;
    const timespec deadline = add_ns(monotonic_now(), kSweepWindowNs);
    for (;;) {
        Found found = orphan_candidates(protect, survivors);
        std::vector<pid_t>& kept = found.orphans;
        if (kept.empty() && found.below.empty()) return survivors;
        // Past the window nothing is killed any more: what is left is listed.
        if (!before(monotonic_now(), deadline)) {
            survivors.insert(survivors.end(), kept.begin(), kept.end());
            return survivors;
        }
        kill_found(found);
        // What was below is orphaned once its parents are collected, and comes
        // up in the next round.
        for (reap_gone(kept); !kept.empty(); reap_gone(kept)) {
            if (!before(monotonic_now(), deadline)) {
                survivors.insert(survivors.end(), kept.begin(), kept.end());
                break;
            }
            sleep_ns(kSweepPollNs);
        }
    }
}

}  // namespace

bool PidSnapshot::contains(pid_t pid) const {
    return std::ranges::binary_search(pids_, pid);
}

void PidSnapshot::insert(pid_t pid) {
    auto at = std::ranges::lower_bound(pids_, pid);
    if (at == pids_.end() || *at != pid) pids_.insert(at, pid);
}

PidSnapshot snapshot_pids() {
    PidSnapshot snapshot;
    std::unique_lock held_lock(held_proc_mutex, std::defer_lock);
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr && held_proc) {
        // The copy shares the held descriptor's offset: one listing at a time.
        held_lock.lock();
        int copy = ::fcntl(held_proc.get(), F_DUPFD_CLOEXEC, 0);
        dir = copy < 0 ? nullptr : ::fdopendir(copy);
        if (dir == nullptr && copy >= 0) ::close(copy);
        if (dir != nullptr) ::rewinddir(dir);
    }
    if (dir == nullptr) return snapshot;
    while (const dirent* entry = ::readdir(dir)) {
        if (auto pid = parse_decimal_i32(entry->d_name)) snapshot.pids_.push_back(*pid);
    }
    ::closedir(dir);
    std::ranges::sort(snapshot.pids_);
    auto dups = std::ranges::unique(snapshot.pids_);
    snapshot.pids_.erase(dups.begin(), dups.end());
    snapshot.pids_.shrink_to_fit();
    return snapshot;
}

std::optional<int32_t> parse_decimal_i32(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || !std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    int64_t value = 0;
    for (char c : text) {
        value = value * 10 + (c - '0');
        if (value > int64_t{1} << 31) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
    return static_cast<int32_t>(value);
}

std::optional<ProcStat> parse_proc_stat(std::string_view text) {
    size_t close = text.rfind(") ");
    if (close == std::string_view::npos) return std::nullopt;
    text.remove_prefix(close + 2);
    std::string_view fields[3];
    for (std::string_view& field : fields) {
        size_t start = text.find_first_not_of(" \t\n\v\f\r");
        if (start == std::string_view::npos) return std::nullopt;
        text.remove_prefix(start);
        size_t end = std::min(text.find_first_of(" \t\n\v\f\r"), text.size());
        field = text.substr(0, end);
        text.remove_prefix(end);
    }
    auto ppid = parse_decimal_i32(fields[1]);
    auto pgrp = parse_decimal_i32(fields[2]);
    if (!ppid || !pgrp) return std::nullopt;
    return ProcStat{fields[0][0], *ppid, *pgrp};
}

std::optional<ProcStat> read_proc_stat(pid_t pid) {
    auto text = read_small_file("/proc/" + std::to_string(pid) + "/stat");
    if (!text) return std::nullopt;
    return parse_proc_stat(*text);
}

std::expected<ChildState, int> probe_child(pid_t pid) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return std::unexpected(errno);
    }
    return info.si_pid == 0 ? ChildState::running : ChildState::ended;
}

void track_child(std::vector<TrackedChild>& tracked, pid_t pid, PidSnapshot before) {
    // A zombie is still listed: only collected commands are missing.
    if (!before.empty()) {
        std::erase_if(tracked, [&](const TrackedChild& e) { return !before.contains(e.pid); });
    }
    tracked.push_back({pid, std::move(before)});
}

void hold_proc_directory() {
    held_proc = UniqueFd(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

std::vector<pid_t> sweep_survivors(std::vector<TrackedChild>& tracked, pid_t pid) {
    // 1-2. Take the stopped command's entry out; the ones after it started later.
    auto it = std::ranges::find(tracked, pid, &TrackedChild::pid);
    if (it == tracked.end()) return {};
    PidSnapshot protect = std::move(it->before);
    size_t index = static_cast<size_t>(it - tracked.begin());
    tracked.erase(it);
    // 3-4. Without both snapshots nothing can be told apart.
    PidSnapshot current = snapshot_pids();
    if (protect.empty() || current.empty()) return {};
    // 5. Spare what belongs to later commands that are still alive.
    protect = protected_set(std::move(protect), std::span(tracked).subspan(index), current);
    // 6. Forget commands whose processes are gone.
    std::erase_if(tracked, [&](const TrackedChild& e) { return !current.contains(e.pid); });
    // 7-14. Kill and collect the orphans for a second; report what outlasts it.
    // The commands still tracked are never taken: an ended one waits for its status.
    protect.insert(::getpid());
    for (const TrackedChild& entry : tracked) protect.insert(entry.pid);
    return kill_orphans(protect);
}

std::vector<pid_t> sweep_descendants(PidSnapshot protect) {
    protect.insert(::getpid());
    return kill_orphans(protect);
}

void kill_child_and_group(pid_t pid) {
    kill_run_group_of(pid);  // first, while `pid` still names the run
    ::killpg(pid, SIGKILL);
    ::kill(pid, SIGKILL);
}

void kill_tracked_children(std::span<const pid_t> pids) {
    for (pid_t pid : pids) {
        auto state = probe_child(pid);
        if (!state || *state != ChildState::running) continue;
        kill_child_and_group(pid);
        collect_child(pid, nullptr, WNOHANG);
    }
}

}  // namespace tj
