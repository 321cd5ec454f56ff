#include "exec/cgroup.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

#include <fmt/core.h>

#include "exec/pidfd.hpp"
#include "exec/run_group.hpp"
#include "exec/supervise.hpp"
#include "exec/tree_stop.hpp"
#include "file_io.hpp"
#include "jail/mount_table.hpp"
#include "unique_fd.hpp"

namespace tj {
namespace {

struct SessionGroup {
    UniqueFd procs;     // cgroup.procs: tied commands write themselves in
    UniqueFd announce;  // without a group: tied commands write their pid here
    UniqueFd alive;     // the launcher's end of the keeper's pipe
    pid_t keeper = 0;
};

SessionGroup group;

constexpr int kLongestPauseMs = 1000;  // between tries to remove the group
constexpr int kNameTries = 16;
// Without a group, how often the keeper reads which orphans the launcher adopted.
constexpr int kOrphanScanMs = 100;

// What the keeper is handed at its start.
struct KeeperFds {
    int alive = -1;     // the keeper's end of the pipe: hangs up when the launcher ends
    int launcher = -1;  // a pidfd of the launcher: readable once it has ended
    int kill = -1;      // the group's cgroup.kill, or -1
    int announce = -1;  // the read end of the announcements, or -1
};

// The first cgroup2 mount of the process.
std::optional<std::string> cgroup2_mount() {
    auto text = read_file("/proc/self/mountinfo");
    if (!text) return std::nullopt;
    std::string_view rest = *text;
    while (!rest.empty()) {
        std::string_view line = rest.substr(0, rest.find('\n'));
        rest.remove_prefix(std::min(rest.size(), line.size() + 1));
        size_t dash = line.find(" - ");
        if (dash == std::string_view::npos) continue;
        if (!line.substr(dash + 3).starts_with("cgroup2 ")) continue;
        return mount_point_of_line(line);
    }
    return std::nullopt;
}

void sleep_ms(int ms) {
    timespec ts = {ms / 1000, (ms % 1000) * 1'000'000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Closes every descriptor but the standard ones (onto /dev/null) and `keep`.
void keep_only(std::vector<int> keep) {
    int null_fd = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) ::dup2(null_fd, fd);
    std::ranges::sort(keep);
    int low = 3;
    for (int fd : keep) {
        if (fd < low) continue;
        if (fd > low) ::syscall(SYS_close_range, low, fd - 1, 0);
        low = fd + 1;
    }
    ::syscall(SYS_close_range, low, ~0U, 0);
}

// Kills the group and removes it once empty. A member that cannot act on
// SIGKILL yet (frozen, in an uninterruptible sleep) keeps the group: the
// keeper stays until it is empty.
void kill_group(int kill_fd, const std::string& dir) {
    for (int pause = 10;; pause = std::min(pause * 2, kLongestPauseMs)) {
        if (::write(kill_fd, "1", 1) != 1 && errno != EINTR) break;
        remove_run_groups(dir);
        if (::rmdir(dir.c_str()) == 0 || errno != EBUSY) break;
        sleep_ms(pause);
    }
}

// What the keeper holds without a group: the tied commands and the orphans
// the launcher adopted, each by a pidfd.
class Known {
  public:
    explicit Known(pid_t launcher) : launcher_(launcher) {}

    // A pid a tied command wrote before its death signal was set. While the
    // launcher lives, the command is its child; after, it is stopped and
    // leads its own group (its death signal stopped it before exec).
    void add_announced(pid_t pid, bool launcher_ended) {
        if (contains(pid)) return;
        HeldProcess held = hold_child(launcher_, pid);
        if (!held.pidfd && launcher_ended) held = hold_stopped_leader(pid);
        if (held.pidfd) processes_.push_back(std::move(held));
    }

    // The launcher's children now, less the keeper; drops those that ended.
    void rescan() {
        std::erase_if(processes_, [](const HeldProcess& p) { return !send(p, 0); });
        for (pid_t child : children_of(launcher_)) {
            if (child == ::getpid() || contains(child)) continue;
            if (HeldProcess held = hold_child(launcher_, child); held.pidfd)
                processes_.push_back(std::move(held));
        }
    }

    std::vector<HeldProcess> take() { return std::move(processes_); }

  private:
    bool contains(pid_t pid) const {
        return std::ranges::any_of(processes_, [&](const HeldProcess& p) { return p.pid == pid; });
    }

    static HeldProcess hold_stopped_leader(pid_t pid) {
        HeldProcess held = {open_pidfd(pid), pid};
        auto stat = held.pidfd ? read_proc_stat(pid) : std::nullopt;
        if (!stat || !settled(stat->state) || stat->pgrp != pid || !send(held, 0)) return {};
        return held;
    }

    pid_t launcher_;
    std::vector<HeldProcess> processes_;
};

// Reads whole pids from the announcement pipe until it would block.
void read_announcements(int fd, Known& known, bool launcher_ended) {
    int32_t pids[64];
    for (;;) {
        ssize_t n = ::read(fd, pids, sizeof pids);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        // Each write is one pid, below PIPE_BUF: reads never split one.
        for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof pids[0]); ++i)
            known.add_announced(pids[i], launcher_ended);
    }
}

// Until the launcher ends: the announcements as they come and a scan of its
// children at each pause.
void follow_launcher(const KeeperFds& fds, Known* known) {
    pollfd watched[3] = {
        {fds.alive, POLLIN, 0}, {fds.launcher, POLLIN, 0}, {fds.announce, POLLIN, 0}};
    int timeout = known ? kOrphanScanMs : -1;
    for (;;) {
        int ready = ::poll(watched, 3, timeout);
        if (ready < 0 && errno != EINTR) return;
        if (watched[0].revents != 0 || watched[1].revents != 0) return;
        if (!known) continue;
        if (watched[2].revents != 0) read_announcements(fds.announce, *known, false);
        if (ready == 0) known->rescan();
    }
}

// The keeper: waits for the launcher's end, then kills what it started, and
// exits. It holds nothing else of the launcher's.
[[noreturn]] void keep(const KeeperFds& fds, pid_t launcher, const std::string& dir) {
    ::setsid();  // a kill of the launcher's group leaves the keeper to act
    keep_only({fds.alive, fds.launcher, fds.kill, fds.announce});
    std::optional<Known> known;
    if (fds.announce >= 0) known.emplace(launcher);
    follow_launcher(fds, known ? &*known : nullptr);
    if (fds.kill >= 0) kill_group(fds.kill, dir);
    if (known) {
        read_announcements(fds.announce, *known, true);
        stop_and_kill_trees(known->take());
    }
    ::_exit(0);
}

// A cgroup v2 group beside the launcher's own, with its cgroup.procs and
// cgroup.kill open; nothing where the launcher may not make one.
struct MadeGroup {
    std::string dir;
    UniqueFd procs;
    UniqueFd kill;
};

std::optional<MadeGroup> make_group() {
    auto mount = cgroup2_mount();
    auto own = read_file("/proc/self/cgroup");
    if (!mount || !own) return std::nullopt;
    auto dir = session_group_path(*mount, *own, ::getpid());
    if (!dir) return std::nullopt;
    // Launchers in other PID namespaces can have the same pid: the next free name.
    std::string base = *dir;
    for (int n = 1; ::mkdir(dir->c_str(), 0755) != 0; ++n) {
        if (errno != EEXIST || n > kNameTries) return std::nullopt;
        *dir = fmt::format("{}-{}", base, n);
    }
    MadeGroup made = {*dir,
                      UniqueFd(::open((*dir + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC)),
                      UniqueFd(::open((*dir + "/cgroup.kill").c_str(), O_WRONLY | O_CLOEXEC))};
    // cgroup.kill came with Linux 5.14; without it the group could not be killed whole.
    if (!made.procs || !made.kill) {
        ::rmdir(dir->c_str());
        return std::nullopt;
    }
    // A child step writes to it after the standard descriptors are installed.
    if (made.procs.get() < 3) made.procs = UniqueFd(::fcntl(made.procs.get(), F_DUPFD_CLOEXEC, 3));
    return made;
}

std::optional<std::pair<UniqueFd, UniqueFd>> cloexec_pipe(int flags) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | flags) != 0) return std::nullopt;
    return std::pair{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace

std::optional<std::string> session_group_path(std::string_view mount, std::string_view cgroup_text,
                                              pid_t launcher) {
    while (!cgroup_text.empty()) {
        std::string_view line = cgroup_text.substr(0, cgroup_text.find('\n'));
        cgroup_text.remove_prefix(std::min(cgroup_text.size(), line.size() + 1));
        if (!line.starts_with("0::/")) continue;
        std::string_view own = line.substr(3);
        if (own == "/") own = "";
        return fmt::format("{}{}/tarrow-jail-{}", mount, own, launcher);
    }
    return std::nullopt;
}

void prepare_session_group(bool run_limits) {
    // The first process of a PID namespace takes every other one along when
    // it ends: nothing to keep.
    if (::getpid() == 1) return;
    std::optional<MadeGroup> made = make_group();
    // Each run then gets a group of its own below, with its limits.
    if (made && run_limits) enable_run_groups(made->dir);
    UniqueFd launcher = open_pidfd(::getpid());
    auto alive = cloexec_pipe(0);
    // Without a group, the keeper needs the launcher's pidfd: a command stopped
    // before its exec still holds the pipe.
    std::optional<std::pair<UniqueFd, UniqueFd>> announce;
    if (!made && launcher) announce = cloexec_pipe(O_NONBLOCK);
    if (!alive || (!made && !announce)) {
        if (made) ::rmdir(made->dir.c_str());
        return;
    }
    KeeperFds fds = {alive->first.get(), launcher.get(), made ? made->kill.get() : -1,
                     announce ? announce->first.get() : -1};
    pid_t pid = ::getpid();
    pid_t keeper = ::fork();
    if (keeper == 0) keep(fds, pid, made ? made->dir : std::string());
    if (keeper < 0) {
        if (made) ::rmdir(made->dir.c_str());
        return;
    }
    group.alive = std::move(alive->second);
    group.keeper = keeper;
    if (made) group.procs = std::move(made->procs);
    if (announce) group.announce = std::move(announce->second);
}

int session_group_procs_fd() {
    return group.procs ? group.procs.get() : -1;
}

int session_keeper_announce_fd() {
    return group.announce ? group.announce.get() : -1;
}

pid_t session_group_keeper() {
    return group.keeper;
}

}  // namespace tj
