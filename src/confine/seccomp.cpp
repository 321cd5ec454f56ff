#include "confine/seccomp.hpp"

#include <fmt/core.h>

#include "confine/bpf_program.hpp"
#include "confine/seccomp_sys.hpp"
#include "confine/seccomp_table.hpp"

namespace tj {
namespace {

Result<> apply(const BpfProgram& program) {
    if (seccomp::sys_set_no_new_privs() != 0) {
        const int err = errno;
        return fail(fmt::format("Error calling `prctl`: {}", system_error_text(err)), err);
    }
    // The kernel only reads the program; sock_fprog's pointer is not const.
    const sock_fprog fprog{static_cast<unsigned short>(program.size()),
                           const_cast<sock_filter*>(program.data())};
    if (seccomp::sys_set_mode_filter(fprog) != 0) {
        const int err = errno;
        return fail(fmt::format("Error calling `seccomp`: {}", system_error_text(err)), err);
    }
    return {};
}

}  // namespace

Result<> install_seccomp_filter() {
    // 1. no_new_privs first, so that a failure is the plain system error.
    if (seccomp::sys_set_no_new_privs() != 0) return fail_system();
    // 2. This architecture's table, compiled.
    auto program = TJ_TRY_AS("seccomp compile", compile_seccomp_filter(seccomp_table(kNativeArch)));
    // 3. Installed on the calling thread.
    TJ_TRY_AS("seccomp apply", apply(program));
    return {};
}

}  // namespace tj
