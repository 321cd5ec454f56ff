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
TJ_CHECK(clone3)
// Calls newer than some headers.
#ifdef SYS_fchmodat2
TJ_CHECK(fchmodat2)
#endif
#ifdef SYS_statmount
TJ_CHECK(statmount)
TJ_CHECK(listmount)
#endif
#ifdef SYS_open_tree_attr
TJ_CHECK(open_tree_attr)
#endif
#undef TJ_CHECK

}  // namespace
}  // namespace tj
#endif
