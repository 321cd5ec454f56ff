// tarrow-jail's entry: the start-up checks, in their order, then exactly one
// isolation path (or the session network holder). Nothing here returns.
#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "confine/hardened.hpp"
#include "exec/cgroup.hpp"
#include "exec/supervise.hpp"
#include "fatal.hpp"
#include "jail/strict.hpp"
#include "path_util.hpp"
#include "policy_intake.hpp"
#include "session/holder.hpp"
#include "status_record.hpp"
#include "unconfined.hpp"
#include "utf8.hpp"

namespace tj {
namespace {

std::vector<std::string> collect_arguments(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    for (size_t i = 0; i < args.size(); ++i)
        if (!valid_utf8(args[i]))
            fatal_exit("command-line argument " + std::to_string(i) + " is not valid UTF-8");
    return args;
}

// A descriptor a supervisor leaked without close-on-exec would carry its
// access past every confinement into the command, so every inherited
// descriptor beyond the standard streams is marked close-on-exec.
void mark_inherited_cloexec() {
    if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    for (int fd = 3; fd < 65536; ++fd) {
        int flags = fcntl(fd, F_GETFD);
        if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}

void prepare_interrupt_fd(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        fatal_exit("could not set O_NONBLOCK on --interrupt-fd");
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) < 0)
        fatal_exit("could not set FD_CLOEXEC on --interrupt-fd");
}

Policy take_policy(std::optional<int> policy_fd) {
    auto line = read_policy_line(policy_fd);
    if (!line) fatal_exit("failed to read policy");
    auto policy = parse_policy(*line);
    if (!policy) fatal_exit("invalid policy JSON: " + policy.error().text);
    if (auto absolute = check_absolute_paths(*policy); !absolute) fatal_exit(absolute.error().text);
    auto cwd = canonicalize(policy->cwd);
    if (cwd) {
        if (auto entered = enter_workspace(*cwd); !entered) cwd = std::unexpected(entered.error());
    }
    if (!cwd) fatal_exit("workspace " + policy->cwd + " cannot be resolved: " + cwd.error().text);
    policy->cwd = *cwd;
    widen_hide_paths(*policy);
    return std::move(*policy);
}

std::optional<SessionFds> check_network(const Policy& policy, const LaunchOptions& options) {
    if (policy.network == "none" || policy.network == "host") return std::nullopt;
    if (policy.network != "session") fatal_exit("unknown network: " + policy.network);
    if (!options.userns_fd || !options.netns_fd)
        fatal_exit("network = session needs --userns-fd and --netns-fd");
    return SessionFds{*options.userns_fd, *options.netns_fd};
}

[[noreturn]] void start(int argc, char** argv) {
    // 1. The arguments, as text.
    const std::vector<std::string> args = collect_arguments(argc, argv);
    // 2. The holder switch wins over everything else.
    if (std::find(args.begin(), args.end(), "--hold-netns") != args.end()) hold_session_network();
    // 3. Descriptor options, in their order of checking.
    auto options = parse_launch_options(args);
    if (!options) fatal_exit(options.error().text);
    mark_inherited_cloexec();
    open_status_channel(options->status_fd);
    // 4. The interrupt descriptor: non-blocking, close-on-exec.
    if (options->interrupt_fd) prepare_interrupt_fd(*options->interrupt_fd);
    // 5-8. The policy, its workspace and the widened hide list.
    Policy policy = take_policy(options->policy_fd);
    // 9. The network choice.
    std::optional<SessionFds> session = check_network(policy, *options);
    // 10. Exactly one isolation path.
    if (policy.isolation == "strict") run_strict(policy, session, options->interrupt_fd);
    // Outside the jail's PID namespace, a group that outlives the launcher.
    // Hardened confinement leaves the launcher no way to make a run's group.
    if (policy.isolation != "strict") prepare_session_group(policy.isolation == "none");
    // The hardened domain hides /proc; the sweeps still need its listing.
    if (policy.isolation == "hardened") hold_proc_directory();
    if (policy.isolation == "hardened") run_hardened(policy, options->interrupt_fd);
    if (policy.isolation == "none") run_unconfined(policy, options->interrupt_fd);
    fatal_exit("unknown sandbox isolation: " + policy.isolation);
}

}  // namespace
}  // namespace tj

int main(int argc, char** argv) {
    // A closed reply channel must show up as a write error, not kill the launcher.
    signal(SIGPIPE, SIG_IGN);
    // An ignored SIGCHLD, inherited from the supervisor, would have the kernel
    // collect every command unasked: no status to report, no pid to hold.
    signal(SIGCHLD, SIG_DFL);
    tj::start(argc, argv);
}
