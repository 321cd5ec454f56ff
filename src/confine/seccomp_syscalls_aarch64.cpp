// Holds the aarch64 column of the system-call table against the kernel's
// generic table, which aarch64 uses. The generic header is architecture-neutral,
// so the check runs in x86_64 builds too.
#if defined(__aarch64__)
#include <asm/unistd.h>
#else
#include <asm-generic/unistd.h>
#endif

#include "confine/seccomp_syscalls.hpp"

namespace tj {
namespace {

#define TJ_CHECK(name) static_assert(syscall_number(Arch::aarch64, #name) == __NR_##name, #name);
TJ_COMMON_SYSCALLS(TJ_CHECK)
// Calls newer than some headers, and clone3, which the generic header names
// only for architectures that ask for it (aarch64 does).
#ifdef __NR_fchmodat2
TJ_CHECK(fchmodat2)
#endif
#ifdef __NR_clone3
TJ_CHECK(clone3)
#endif
#ifdef __NR_statmount
TJ_CHECK(statmount)
TJ_CHECK(listmount)
#endif
#ifdef __NR_open_tree_attr
TJ_CHECK(open_tree_attr)
#endif
#undef TJ_CHECK

// The generic table has no mknod, chmod, open or creat: only their *at forms.
#if defined(__NR_mknod) || defined(__NR_chmod) || defined(__NR_open) || defined(__NR_creat)
#error "the generic system-call table gained a legacy path call"
#endif
static_assert(syscall_number(Arch::aarch64, "mknod") == kNoSyscall);
static_assert(syscall_number(Arch::aarch64, "chmod") == kNoSyscall);
static_assert(syscall_number(Arch::aarch64, "open") == kNoSyscall);
static_assert(syscall_number(Arch::aarch64, "creat") == kNoSyscall);

}  // namespace
}  // namespace tj
