// Holds the x86_64 column of the system-call table against the SYS_ constants
// of an x86_64 build. Other builds have no x86_64 header to compare with; the
// x86_64 builds check it.
#if defined(__x86_64__)
#include <sys/syscall.h>

#include "confine/seccomp_syscalls.hpp"

namespace tj {
namespace {

#define TJ_CHECK(name) static_assert(syscall_number(Arch::x86_64, #name) == SYS_##name, #name);
TJ_CHECK(ptrace)
TJ_CHECK(process_vm_readv) TJ_CHECK(process_vm_writev) TJ_CHECK(kcmp) TJ_CHECK(pidfd_getfd)
    TJ_CHECK(io_uring_setup) TJ_CHECK(userfaultfd) TJ_CHECK(bpf) TJ_CHECK(perf_event_open)
        TJ_CHECK(mount) TJ_CHECK(umount2) TJ_CHECK(pivot_root) TJ_CHECK(mount_setattr)
            TJ_CHECK(open_tree) TJ_CHECK(move_mount) TJ_CHECK(fsopen) TJ_CHECK(fsconfig)
                TJ_CHECK(fsmount) TJ_CHECK(fspick) TJ_CHECK(setns) TJ_CHECK(unshare)
                    TJ_CHECK(kexec_load) TJ_CHECK(kexec_file_load) TJ_CHECK(init_module)
                        TJ_CHECK(finit_module) TJ_CHECK(delete_module) TJ_CHECK(keyctl)
                            TJ_CHECK(add_key) TJ_CHECK(request_key) TJ_CHECK(reboot)
                                TJ_CHECK(swapon) TJ_CHECK(swapoff) TJ_CHECK(settimeofday)
                                    TJ_CHECK(adjtimex) TJ_CHECK(clock_settime)
                                        TJ_CHECK(clock_adjtime) TJ_CHECK(mknodat) TJ_CHECK(openat)
                                            TJ_CHECK(fchmod) TJ_CHECK(fchmodat) TJ_CHECK(ioctl)
                                                TJ_CHECK(openat2) TJ_CHECK(mknod) TJ_CHECK(chmod)
                                                    TJ_CHECK(open) TJ_CHECK(creat)
// fchmodat2 arrived in Linux 6.6; older headers do not name it.
#ifdef SYS_fchmodat2
                                                        TJ_CHECK(fchmodat2)
#endif
#undef TJ_CHECK

}  // namespace
}  // namespace tj
#endif
