#include "jail/jail_init.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <fmt/core.h>

#include "confine/landlock_rules.hpp"
#include "confine/seccomp.hpp"
#include "confine/seccomp_syscalls.hpp"
#include "fatal.hpp"
#include "jail/root.hpp"
#include "line_reader.hpp"
#include "run_mode.hpp"
#include "status_record.hpp"

namespace tj {
namespace {

// The death signal only covers a launcher that dies after prctl took effect.
// A launcher that died before has closed its end of the pipe; /proc would not
// tell, since a dead launcher its parent has not reaped still has an entry.
void check_launcher_alive(int launcher_alive) {
    struct pollfd pfd = {launcher_alive, POLLIN, 0};
    int ready;
    do ready = ::poll(&pfd, 1, 0);
    while (ready < 0 && errno == EINTR);
    ::close(launcher_alive);
    if (ready > 0 && (pfd.revents & (POLLHUP | POLLERR)) != 0)
        fatal_exit("launcher died before the death-signal tie landed");
}

// The jail still has its namespaces, root and seccomp filter, but no file
// system rule of its own: whatever its root exposes is open to the command.
void warn_landlock_unenforced(int abi) {
    (void)write_all(STDERR_FILENO,
                    fmt::format("[tarrow-jail] warning: Landlock is not enforced (kernel ABI {}); "
                                "the jail runs on its namespaces, root and seccomp alone\n",
                                abi));
}

}  // namespace

void run_jail_init(const Policy& policy, const JailRootDir& root_dir, int launcher_alive,
                   std::optional<int> interrupt_fd) {
    // 1. Die with the launcher.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
        fatal_exit("PR_SET_PDEATHSIG failed: " + system_error_text(errno));
    // 2. Unless it is already gone.
    check_launcher_alive(launcher_alive);
    // 3. The private root.
    if (auto built = assemble_jail_root(policy, root_dir); !built)
        fatal_exit("rootfs setup failed: " + built.error().text);
    // 4. Landlock, while still single-threaded: it binds the calling thread only.
    StatusRecord& record = status_record();
    auto landlocked = restrict_strict(policy);
    if (!landlocked) fatal_exit("landlock failed: " + landlocked.error().text);
    if (landlocked->enforcement == Enforcement::Unenforced)
        warn_landlock_unenforced(landlocked->kernel_abi);
    record.landlock = std::move(*landlocked);
    // 5. Seccomp, likewise.
    if (auto filtered = install_seccomp_filter(); !filtered)
        fatal_exit("seccomp failed: " + filtered.error().text);
    record.seccomp_arch = arch_name(kNativeArch);
    // 6. No ptrace attach or core dump of the jail init.
    if (::prctl(PR_SET_DUMPABLE, 0) != 0)
        fatal_exit("PR_SET_DUMPABLE failed: " + system_error_text(errno));
    // 7. The policy's mode.
    run_mode(policy, true, interrupt_fd);
}

}  // namespace tj
