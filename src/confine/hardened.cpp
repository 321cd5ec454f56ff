#include "confine/hardened.hpp"

#include <sys/prctl.h>
#include <unistd.h>

#include "confine/hardened_rules.hpp"
#include "confine/seccomp.hpp"
#include "confine/seccomp_syscalls.hpp"
#include "fatal.hpp"
#include "line_reader.hpp"
#include "run_mode.hpp"
#include "status_record.hpp"

namespace tj {
namespace {

void print_notice(std::string_view text) {
    (void)write_all(STDERR_FILENO, text);
}

}  // namespace

Result<> confine_hardened(const Policy& policy) {
    // 1. Probe Landlock, handle the fixed access set, create the rule set.
    // Scopes keep signals and abstract unix sockets inside the domain: the
    // command shares the host's processes and network.
    landlock::Ruleset ruleset =
        TJ_TRY_AS("landlock failed",
                  begin_ruleset(landlock::kScopeSignal | landlock::kScopeAbstractUnixSocket,
                                landlock::kResolveUnix));
    // 2-9. Rules on the host tree: the working directory (walked around
    // protected paths), /tmp and the grants writable, system paths readable;
    // restrict, refused when the kernel enforces nothing.
    StatusRecord& record = status_record();
    record.network = "host";
    record.landlock =
        TJ_TRY_AS("landlock failed", restrict_hardened(ruleset, policy, print_notice));
    // 10. The seccomp filter, while still single-threaded: it binds this thread
    // and whatever it starts later.
    TJ_TRY_AS("seccomp failed", install_seccomp_filter());
    record.seccomp_arch = arch_name(kNativeArch);
    // 11. No core dumps or ptrace attach by the commands' uid.
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0)
        return fail("PR_SET_DUMPABLE failed: " + system_error_text(errno), errno);
    return {};
}

void run_hardened(const Policy& policy, std::optional<int> interrupt_fd) {
    if (auto confined = confine_hardened(policy); !confined) fatal_exit(confined.error().text);
    // 12. The mode's runner, on the host's network and file tree.
    run_mode(policy, false, interrupt_fd);
}

}  // namespace tj
