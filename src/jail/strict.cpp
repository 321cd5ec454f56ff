#include "jail/strict.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/core.h>

#include "exec/fork_alone.hpp"
#include "fatal.hpp"
#include "jail/jail_init.hpp"
#include "jail/mount_sys.hpp"
#include "jail/ns_sys.hpp"
#include "jail/root_dir.hpp"
#include "line_reader.hpp"
#include "session/holder.hpp"
#include "session/id_map.hpp"
#include "status_record.hpp"

namespace tj {
namespace {

constexpr int kJailNamespaces = CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWPID;
constexpr std::string_view kHostname = "tarrow";

// Joins the holder's namespaces, user namespace first: the network namespace
// belongs to it, and joining it needs privilege there.
Result<> join_session(const SessionFds& fds) {
    auto joined = sys_setns(fds.userns_fd, CLONE_NEWUSER);
    ::close(fds.userns_fd);
    TJ_TRY(joined);
    joined = sys_setns(fds.netns_fd, CLONE_NEWNET);
    ::close(fds.netns_fd);
    TJ_TRY(joined);
    return sys_unshare(kJailNamespaces);
}

Result<> create_namespaces(bool own_network, unsigned uid, unsigned gid) {
    TJ_TRY(sys_unshare(CLONE_NEWUSER | kJailNamespaces | (own_network ? CLONE_NEWNET : 0)));
    deny_setgroups();
    TJ_TRY_AS("uid_map", write_id_map("/proc/self/uid_map", uid));
    TJ_TRY_AS("gid_map", write_id_map("/proc/self/gid_map", gid));
    return {};
}

void set_hostname() {
    if (auto named = sys_sethostname(kHostname); !named)
        (void)write_all(STDERR_FILENO,
                        fmt::format("[tarrow-jail] warning: sethostname failed ({}); jailed "
                                    "commands read the host's own hostname\n",
                                    named.error().text));
}

void record_namespaces(const std::string& network, bool net_namespace) {
    StatusRecord& record = status_record();
    record.network = network;
    record.namespaces = {"user", "mount", "uts", "ipc", "pid"};
    if (net_namespace) record.namespaces.push_back("net");
}

std::string describe_status(int status) {
    if (WIFSTOPPED(status)) return fmt::format("stopped by signal {}", WSTOPSIG(status));
    if (WIFCONTINUED(status)) return "continued";
    return fmt::format("raw status {:#x}", status);
}

// The launcher's only job once the jail init runs: pass its end on.
[[noreturn]] void wait_for_jail_init(pid_t child) {
    int status = 0;
    pid_t waited = ::waitpid(child, &status, 0);
    if (waited < 0) fatal_exit("waitpid failed: " + errno_text(errno));
    if (waited == 0) fatal_exit("unexpected wait status: no child changed state");
    if (WIFEXITED(status)) ::_exit(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) ::_exit(128 + WTERMSIG(status));
    fatal_exit("unexpected wait status: " + describe_status(status));
}

}  // namespace

void run_strict(const Policy& policy, std::optional<SessionFds> session,
                std::optional<int> interrupt_fd) {
    // 1. Who we are on the host. The jail root directory is checked here too,
    //    while file owners still read true.
    const unsigned uid = ::getuid();
    const unsigned gid = ::getgid();
    auto root_dir = prepare_jail_root_dir(uid);
    if (!root_dir) fatal_exit("rootfs setup failed: " + root_dir.error().text);
    // 2. Namespaces: a held session's user and network namespace, or our own.
    const bool own_network = !session && policy.network != "host";
    auto entered = session ? join_session(*session) : create_namespaces(own_network, uid, gid);
    if (!entered) fatal_exit("namespace setup failed: " + entered.error().text);
    record_namespaces(policy.network, session || own_network);
    // 3. Hostname.
    set_hostname();
    // 4. Loopback of our own network namespace.
    if (own_network) {
        if (auto up = bring_loopback_up(); !up)
            fatal_exit("namespace setup failed: " + up.error().text);
    }
    // 5. No mount propagates between the jail and the host from here on.
    if (auto private_tree = sys_mount("", "/", "", MS_REC | MS_PRIVATE); !private_tree)
        fatal_exit("namespace setup failed: " + private_tree.error().text);
    // 6. The jail init, tied to the launcher's life through a pipe.
    int alive[2];
    if (::pipe2(alive, O_CLOEXEC) != 0) fatal_exit("fork failed: " + errno_text(errno));
    // The launcher is still single-threaded: it has just entered its namespaces.
    pid_t child = fork_alone();
    if (child < 0) fatal_exit("fork failed: " + errno_text(errno));
    if (child == 0) {
        ::close(alive[1]);
        run_jail_init(policy, *root_dir, alive[0], interrupt_fd);
    }
    ::close(alive[0]);
    // 7. Wait, and end as the jail init did.
    wait_for_jail_init(child);
}

}  // namespace tj
