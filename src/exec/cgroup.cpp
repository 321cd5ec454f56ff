#include "exec/cgroup.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#include <fmt/core.h>

#include "file_io.hpp"
#include "jail/mount_table.hpp"
#include "unique_fd.hpp"

namespace tj {
namespace {

struct SessionGroup {
    UniqueFd procs;  // cgroup.procs: tied commands write themselves in
    UniqueFd alive;  // the launcher's end of the keeper's pipe
    pid_t keeper = 0;
};

SessionGroup group;

constexpr int kLongestPauseMs = 1000;  // between tries to remove the group
constexpr int kNameTries = 16;

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

// The keeper: waits for the launcher's end (its pipe closes), kills the group
// and removes it once empty. It holds nothing else of the launcher's.
[[noreturn]] void keep(int alive, int kill_fd, const std::string& dir) {
    ::setsid();  // a kill of the launcher's group leaves the keeper to act
    int null_fd = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) ::dup2(null_fd, fd);
    int keep_fds[] = {alive, kill_fd};
    int low = std::min(keep_fds[0], keep_fds[1]), high = std::max(keep_fds[0], keep_fds[1]);
    ::syscall(SYS_close_range, 3, low - 1, 0);
    ::syscall(SYS_close_range, low + 1, high - 1, 0);
    ::syscall(SYS_close_range, high + 1, ~0U, 0);
    char byte;
    while (::read(alive, &byte, 1) != 0 && errno == EINTR) {
    }
    // A member that cannot act on SIGKILL yet (frozen, in an uninterruptible
    // sleep) keeps the group: the keeper stays until it is empty.
    for (int pause = 10;; pause = std::min(pause * 2, kLongestPauseMs)) {
        if (::write(kill_fd, "1", 1) != 1 && errno != EINTR) break;
        if (::rmdir(dir.c_str()) == 0 || errno != EBUSY) break;
        sleep_ms(pause);
    }
    ::_exit(0);
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

void prepare_session_group() {
    // The first process of a PID namespace takes every other one along when
    // it ends: nothing to keep.
    if (::getpid() == 1) return;
    auto mount = cgroup2_mount();
    auto own = read_file("/proc/self/cgroup");
    if (!mount || !own) return;
    auto dir = session_group_path(*mount, *own, ::getpid());
    if (!dir) return;
    // Launchers in other PID namespaces can have the same pid: the next free name.
    std::string base = *dir;
    for (int n = 1; ::mkdir(dir->c_str(), 0755) != 0; ++n) {
        if (errno != EEXIST || n > kNameTries) return;
        *dir = fmt::format("{}-{}", base, n);
    }
    UniqueFd procs(::open((*dir + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC));
    UniqueFd kill_fd(::open((*dir + "/cgroup.kill").c_str(), O_WRONLY | O_CLOEXEC));
    int pipe_fds[2];
    // cgroup.kill came with Linux 5.14; without it the group could not be killed whole.
    if (!procs || !kill_fd || ::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        ::rmdir(dir->c_str());
        return;
    }
    UniqueFd alive_read(pipe_fds[0]), alive_write(pipe_fds[1]);
    // A child step writes to it after the standard descriptors are installed.
    if (procs.get() < 3) procs = UniqueFd(::fcntl(procs.get(), F_DUPFD_CLOEXEC, 3));
    pid_t keeper = ::fork();
    if (keeper == 0) keep(alive_read.get(), kill_fd.get(), *dir);
    if (keeper < 0) {
        ::rmdir(dir->c_str());
        return;
    }
    group = {std::move(procs), std::move(alive_write), keeper};
}

int session_group_procs_fd() {
    return group.procs ? group.procs.get() : -1;
}

pid_t session_group_keeper() {
    return group.keeper;
}

}  // namespace tj
