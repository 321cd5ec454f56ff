// Holds the x86_64 column of the system-call table against the SYS_ constants
// of an x86_64 build. Other builds have no x86_64 header to compare with; the
// x86_64 builds check it.
#if defined(__x86_64__)
#include <sys/syscall.h>

#include "confine/seccomp_syscalls.hpp"

namespace tj {
namespace {

#define TJ_CHECK(name) static_assert(syscall_number(Arch::x86_64, #name) == SYS_##name, #name);
TJ_COMMON_SYSCALLS(TJ_CHECK)
TJ_CHECK(mknod)
TJ_CHECK(chmod)
TJ_CHECK(open)
TJ_CHECK(creat)
// fchmodat2 arrived in Linux 6.6; older headers do not name it.
#ifdef SYS_fchmodat2
TJ_CHECK(fchmodat2)
#endif
#undef TJ_CHECK

}  // namespace
}  // namespace tj
#endif
