// System-call numbers of every call the seccomp filter names, for both target
// architectures. Both columns are plain data in every build, so that either
// filter can be compiled and evaluated on any machine; the check files
// (seccomp_syscalls_aarch64.cpp, seccomp_syscalls_x86_64.cpp) hold each column
// against the kernel's own headers at compile time.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tj {

enum class Arch { aarch64, x86_64 };

#if defined(__aarch64__)
inline constexpr Arch kNativeArch = Arch::aarch64;
#elif defined(__x86_64__) && !defined(__ILP32__)
inline constexpr Arch kNativeArch = Arch::x86_64;
#else
// x32 is refused too: its system calls carry the x32 bit the x86_64 filter kills on.
#error "the seccomp filter is written for aarch64 and x86_64 only"
#endif

constexpr std::string_view arch_name(Arch arch) {
    return arch == Arch::aarch64 ? "aarch64" : "x86_64";
}

// The call does not exist on that architecture.
inline constexpr int kNoSyscall = -1;

struct SyscallNumber {
    std::string_view name;
    int aarch64;  // the generic table aarch64 uses
    int x86_64;   // <asm/unistd_64.h>
};

inline constexpr SyscallNumber kSyscallNumbers[] = {
    {"ptrace", 117, 101},
    {"process_vm_readv", 270, 310},
    {"process_vm_writev", 271, 311},
    {"kcmp", 272, 312},
    {"pidfd_getfd", 438, 438},
    {"io_uring_setup", 425, 425},
    {"userfaultfd", 282, 323},
    {"bpf", 280, 321},
    {"perf_event_open", 241, 298},
    {"mount", 40, 165},
    {"umount2", 39, 166},
    {"pivot_root", 41, 155},
    {"mount_setattr", 442, 442},
    {"open_tree", 428, 428},
    {"move_mount", 429, 429},
    {"fsopen", 430, 430},
    {"fsconfig", 431, 431},
    {"fsmount", 432, 432},
    {"fspick", 433, 433},
    {"statmount", 457, 457},
    {"listmount", 458, 458},
    {"open_tree_attr", 467, 467},
    {"setns", 268, 308},
    {"unshare", 97, 272},
    {"clone", 220, 56},
    {"clone3", 435, 435},
    {"kexec_load", 104, 246},
    {"kexec_file_load", 294, 320},
    {"init_module", 105, 175},
    {"finit_module", 273, 313},
    {"delete_module", 106, 176},
    {"keyctl", 219, 250},
    {"add_key", 217, 248},
    {"request_key", 218, 249},
    {"reboot", 142, 169},
    {"swapon", 224, 167},
    {"swapoff", 225, 168},
    {"settimeofday", 170, 164},
    {"adjtimex", 171, 159},
    {"clock_settime", 112, 227},
    {"clock_adjtime", 266, 305},
    {"mknodat", 33, 259},
    {"openat", 56, 257},
    {"fchmod", 52, 91},
    {"fchmodat", 53, 268},
    {"fchmodat2", 452, 452},
    {"ioctl", 29, 16},
    {"openat2", 437, 437},
    // x86_64 keeps the older path calls that aarch64 never had.
    {"mknod", kNoSyscall, 133},
    {"chmod", kNoSyscall, 90},
    {"open", kNoSyscall, 2},
    {"creat", kNoSyscall, 85},
};

// The number of `name` on `arch`: kNoSyscall when the call does not exist
// there, -2 when the name is not in the table (a typo in a caller's list).
constexpr int syscall_number(Arch arch, std::string_view name) {
    for (const auto& row : kSyscallNumbers) {
        if (row.name == name) return arch == Arch::aarch64 ? row.aarch64 : row.x86_64;
    }
    return -2;
}

constexpr bool known_syscall(std::string_view name) {
    return syscall_number(Arch::aarch64, name) != -2;
}

}  // namespace tj

// clang-format off
// The system calls both tables name, for the checks against each
// architecture's kernel header.
#define TJ_COMMON_SYSCALLS(X) \
    X(ptrace) \
    X(process_vm_readv) \
    X(process_vm_writev) \
    X(kcmp) \
    X(pidfd_getfd) \
    X(io_uring_setup) \
    X(userfaultfd) \
    X(bpf) \
    X(perf_event_open) \
    X(mount) \
    X(umount2) \
    X(pivot_root) \
    X(mount_setattr) \
    X(open_tree) \
    X(move_mount) \
    X(fsopen) \
    X(fsconfig) \
    X(fsmount) \
    X(fspick) \
    X(setns) \
    X(unshare) \
    X(clone) \
    X(kexec_load) \
    X(kexec_file_load) \
    X(init_module) \
    X(finit_module) \
    X(delete_module) \
    X(keyctl) \
    X(add_key) \
    X(request_key) \
    X(reboot) \
    X(swapon) \
    X(swapoff) \
    X(settimeofday) \
    X(adjtimex) \
    X(clock_settime) \
    X(clock_adjtime) \
    X(mknodat) \
    X(openat) \
    X(fchmod) \
    X(fchmodat) \
    X(ioctl) \
    X(openat2)
// clang-format on
