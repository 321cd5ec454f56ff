#include "exec/run_group.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <vector>

#include <fmt/core.h>

#include "file_io.hpp"
#include "unique_fd.hpp"

namespace tj {
namespace {

// A group nobody ever entered (its start failed) is removed after this long.
constexpr auto kUnusedGroupAge = std::chrono::seconds(30);

struct RunGroup {
    std::string dir;
    UniqueFd procs;
    UniqueFd kill;
    std::chrono::steady_clock::time_point made;
    bool entered = false;
};

struct RunGroups {
    std::mutex lock;
    std::string session;  // empty: runs get no groups
    std::vector<RunGroup> groups;
    uint64_t next = 1;
};

RunGroups& run_groups() {
    static RunGroups groups;
    return groups;
}

bool populated(const std::string& dir) {
    auto events = read_file(dir + "/cgroup.events");
    return events && events->find("populated 1") != std::string::npos;
}

// Drops the groups whose run is over: entered once and empty now, or never
// entered for long. The caller holds the lock.
void prune(std::vector<RunGroup>& groups) {
    auto now = std::chrono::steady_clock::now();
    std::erase_if(groups, [&](RunGroup& g) {
        if (populated(g.dir)) {
            g.entered = true;
            return false;
        }
        if (!g.entered && now - g.made < kUnusedGroupAge) return false;
        return ::rmdir(g.dir.c_str()) == 0 || errno == ENOENT;
    });
}

}  // namespace

bool enable_run_groups(const std::string& dir) {
    if (!write_file(dir + "/cgroup.subtree_control", "+memory +pids")) return false;
    run_groups().session = dir;
    return true;
}

bool run_groups_enabled() {
    return !run_groups().session.empty();
}

Result<int> make_run_group(uint64_t memory_limit_bytes) {
    RunGroups& all = run_groups();
    std::lock_guard held(all.lock);
    if (all.session.empty()) return -1;
    prune(all.groups);
    std::string dir = fmt::format("{}/run-{}", all.session, all.next++);
    if (::mkdir(dir.c_str(), 0755) != 0) return std::unexpected(fail_system().error().wrap(dir));
    RunGroup group = {dir, UniqueFd(::open((dir + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC)),
                      UniqueFd(::open((dir + "/cgroup.kill").c_str(), O_WRONLY | O_CLOEXEC)),
                      std::chrono::steady_clock::now()};
    auto limited = [&]() -> Result<> {
        if (!group.procs || !group.kill) return fail_system();
        // A child step writes to it after the standard descriptors are installed.
        if (group.procs.get() < 3)
            group.procs = UniqueFd(::fcntl(group.procs.get(), F_DUPFD_CLOEXEC, 3));
        TJ_TRY(write_file(dir + "/pids.max", fmt::format("{}", kRunPidsMax)));
        if (memory_limit_bytes == 0) return {};
        TJ_TRY(write_file(dir + "/memory.max", fmt::format("{}", memory_limit_bytes)));
        // Without swap the limit is the memory itself; no host may page it out instead.
        if (::access((dir + "/memory.swap.max").c_str(), F_OK) == 0)
            TJ_TRY(write_file(dir + "/memory.swap.max", "0"));
        return {};
    }();
    if (!limited) {
        ::rmdir(dir.c_str());
        return std::unexpected(limited.error().wrap(dir));
    }
    int procs = group.procs.get();
    all.groups.push_back(std::move(group));
    return procs;
}

void kill_run_group_of(pid_t pid) {
    RunGroups& all = run_groups();
    if (all.session.empty()) return;
    auto text = read_file(fmt::format("/proc/{}/cgroup", pid));
    if (!text) return;
    std::lock_guard held(all.lock);
    for (const auto& g : all.groups) {
        // "0::/a/tarrow-jail-1/run-2\n": the line ends in the group's own name.
        std::string name = g.dir.substr(g.dir.rfind('/'));
        if (text->find(name + "\n") == std::string::npos) continue;
        ssize_t ignored = ::write(g.kill.get(), "1", 1);
        (void)ignored;
        return;
    }
}

void remove_run_groups(const std::string& dir) {
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) return;
    while (dirent* entry = ::readdir(listing)) {
        std::string_view name = entry->d_name;
        if (name.starts_with("run-")) ::rmdir((dir + "/" + entry->d_name).c_str());
    }
    ::closedir(listing);
}

}  // namespace tj
