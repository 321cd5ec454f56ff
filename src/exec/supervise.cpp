#include "exec/supervise.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "unique_fd.hpp"

namespace tj {
namespace {

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

void sigkill_orphan(pid_t pid) {
    auto stat = read_proc_stat(pid);
    if (stat && stat->pgrp == pid) {
        ::killpg(pid, SIGKILL);
    } else {
        ::kill(pid, SIGKILL);
    }
}

// Collects what has died; keeps the pids still there. An error means the pid
// is gone or not ours, and it is dropped as well.
void reap_gone(std::vector<pid_t>& pids) {
    std::erase_if(pids, [](pid_t p) { return ::waitpid(p, nullptr, WNOHANG) != 0; });
}

// Everything already there when `stopped` started, plus what appeared after
// each later command that is still alive (its own processes included).
PidSnapshot protected_set(PidSnapshot protect, std::span<const TrackedChild> later,
                          const PidSnapshot& current) {
    for (const TrackedChild& entry : later) {
        auto stat = read_proc_stat(entry.pid);
        if (!stat || stat->state == 'Z') continue;
        for (pid_t p : current) {
            if (entry.before.empty() || !entry.before.contains(p)) protect.insert(p);
        }
    }
    return protect;
}

std::vector<pid_t> orphan_candidates(const PidSnapshot& protect,
                                     const std::vector<pid_t>& survivors) {
    std::vector<pid_t> found;
    for (pid_t p : snapshot_pids()) {
        if (protect.contains(p) || std::ranges::find(survivors, p) != survivors.end()) continue;
        auto stat = read_proc_stat(p);
        if (stat && stat->ppid == 1) found.push_back(p);
    }
    return found;
}

std::vector<pid_t> kill_orphans(const PidSnapshot& protect) {
    std::vector<pid_t> survivors;
    const timespec deadline = add_ns(monotonic_now(), kSweepWindowNs);
    for (;;) {
        std::vector<pid_t> kept = orphan_candidates(protect, survivors);
        if (kept.empty()) return survivors;
        if (!before(monotonic_now(), deadline)) {
            survivors.insert(survivors.end(), kept.begin(), kept.end());
            return survivors;
        }
        for (pid_t p : kept) sigkill_orphan(p);
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
    DIR* dir = ::opendir("/proc");
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
    protect.insert(1);
    return kill_orphans(protect);
}

void kill_tracked_children(std::span<const pid_t> pids) {
    for (pid_t pid : pids) {
        auto state = probe_child(pid);
        if (!state || *state != ChildState::running) continue;
        ::killpg(pid, SIGKILL);
        ::waitpid(pid, nullptr, WNOHANG);
    }
}

}  // namespace tj
