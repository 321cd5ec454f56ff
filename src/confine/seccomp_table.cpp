#include "confine/seccomp_table.hpp"

#include <fcntl.h>
#include <linux/audit.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

namespace tj {
namespace {

// Refused with EPERM whatever their arguments.
constexpr std::string_view kRefusedCalls[] = {
    // other processes
    "ptrace", "process_vm_readv", "process_vm_writev", "kcmp", "pidfd_getfd",
    // kernel attack surface
    "io_uring_setup", "userfaultfd", "bpf", "perf_event_open",
    // mounts
    "mount", "umount2", "pivot_root", "mount_setattr", "open_tree", "move_mount", "fsopen",
    "fsconfig", "fsmount", "fspick", "statmount", "listmount", "open_tree_attr",
    // namespaces
    "setns", "unshare",
    // kernel code
    "kexec_load", "kexec_file_load", "init_module", "finit_module", "delete_module",
    // keys
    "keyctl", "add_key", "request_key",
    // machine state
    "reboot", "swapon", "swapoff",
    // clocks
    "settimeofday", "adjtimex", "clock_settime", "clock_adjtime"};

// Flag bits that make an open create a file, so that its mode argument counts.
enum class CreateFlag { none, creat, tmpfile };

// O_TMPFILE includes O_DIRECTORY, whose value differs between the two
// architectures; O_CREAT does not.
constexpr uint32_t kOTmpfile[] = {0x404000, 0x410000};  // aarch64, x86_64
static_assert(kOTmpfile[static_cast<int>(kNativeArch)] == O_TMPFILE);
static_assert(O_CREAT == 0x40);

// Calls that create a file or set a mode: each entry yields two rules, the mode
// argument having S_ISUID, then S_ISGID, each also requiring the create flag
// when one is named.
struct SetIdEntry {
    std::string_view call;
    unsigned mode_arg;
    CreateFlag flag = CreateFlag::none;
    unsigned flags_arg = 0;
};
constexpr SetIdEntry kSetIdEntries[] = {
    {"mknodat", 2},
    {"openat", 3, CreateFlag::creat, 2},
    {"openat", 3, CreateFlag::tmpfile, 2},
    {"fchmod", 1},
    {"fchmodat", 2},
    {"fchmodat2", 2},
    // x86_64's older path calls reach the same effects (aarch64 lacks them).
    {"mknod", 1},
    {"chmod", 1},
    {"open", 2, CreateFlag::creat, 1},
    {"open", 2, CreateFlag::tmpfile, 1},
    {"creat", 1},  // always creates
};

// Calls that make device nodes: the file-type bits of the mode.
struct DeviceEntry {
    std::string_view call;
    unsigned mode_arg;
};
constexpr DeviceEntry kDeviceEntries[] = {{"mknodat", 2}, {"mknod", 1}};

// Terminal requests that push input into another reader of the terminal or
// reach the console, matched exactly: TIOCGWINSZ (0x5413) has every bit of
// TIOCSTI set and stays allowed.
constexpr uint32_t kRefusedIoctls[] = {0x5412, 0x541C};
static_assert(kRefusedIoctls[0] == TIOCSTI && kRefusedIoctls[1] == TIOCLINUX);
constexpr unsigned kIoctlRequestArg = 1;

// clone with any of these flags makes a namespace, and a new user namespace
// hands its first process every capability over it: the kernel surface behind
// most namespace escapes. Values from <linux/sched.h>; CLONE_NEWTIME lies in the
// exit-signal byte, where no valid signal number sets that bit.
constexpr uint32_t kNamespaceFlags[] = {
    0x10000000,  // CLONE_NEWUSER
    0x00020000,  // CLONE_NEWNS
    0x20000000,  // CLONE_NEWPID
    0x40000000,  // CLONE_NEWNET
    0x08000000,  // CLONE_NEWIPC
    0x04000000,  // CLONE_NEWUTS
    0x02000000,  // CLONE_NEWCGROUP
    0x00000080,  // CLONE_NEWTIME
};
static_assert(kNamespaceFlags[0] == CLONE_NEWUSER && kNamespaceFlags[1] == CLONE_NEWNS &&
              kNamespaceFlags[2] == CLONE_NEWPID && kNamespaceFlags[3] == CLONE_NEWNET &&
              kNamespaceFlags[4] == CLONE_NEWIPC && kNamespaceFlags[5] == CLONE_NEWUTS &&
              kNamespaceFlags[6] == CLONE_NEWCGROUP);
constexpr unsigned kCloneFlagsArg = 0;  // on both architectures

// Refused with ENOSYS, so that libraries fall back to a call the filter can
// read: openat2's mode and clone3's flags sit in structures behind a pointer;
// the C library answers ENOSYS from clone3 by calling clone.
constexpr std::string_view kNosysCalls[] = {"openat2", "clone3"};

// Every name must be in the number table: a typo would drop a row silently.
constexpr bool all_known(const auto& entries, auto name) {
    return std::ranges::all_of(entries, [&](const auto& e) { return known_syscall(name(e)); });
}
constexpr auto itself = [](std::string_view s) { return s; };
constexpr auto call_of = [](const auto& e) { return e.call; };
static_assert(all_known(kRefusedCalls, itself) && all_known(kNosysCalls, itself));
static_assert(all_known(kSetIdEntries, call_of) && all_known(kDeviceEntries, call_of));

constexpr SeccompCond has_bits(unsigned arg, uint32_t bits) {
    return {arg, bits, bits};
}

class TableBuilder {
  public:
    explicit TableBuilder(Arch arch) : arch_(arch) {}

    // The rule list of `call`, created with `err` on first use; null when the
    // call does not exist on this architecture.
    std::vector<SeccompRule>* rules(std::string_view call, uint16_t err = EPERM) {
        const int nr = syscall_number(arch_, call);
        if (nr == kNoSyscall) return nullptr;
        auto it = std::ranges::find(rows_, static_cast<uint32_t>(nr), &SeccompRow::nr);
        if (it == rows_.end())
            it = rows_.insert(it, SeccompRow{static_cast<uint32_t>(nr), err, {}});
        return &it->rules;
    }

    void add(std::string_view call, SeccompRule rule) {
        if (auto* list = rules(call)) list->push_back(std::move(rule));
    }

    uint32_t create_flag(CreateFlag flag) const {
        return flag == CreateFlag::creat ? O_CREAT : kOTmpfile[static_cast<int>(arch_)];
    }

    std::vector<SeccompRow> take() { return std::move(rows_); }

  private:
    Arch arch_;
    std::vector<SeccompRow> rows_;
};

}  // namespace

SeccompTable seccomp_table(Arch arch) {
    TableBuilder table(arch);
    for (auto call : kRefusedCalls) table.rules(call);
    for (const auto& e : kSetIdEntries) {
        for (uint32_t bit : {S_ISUID, S_ISGID}) {
            SeccompRule rule{has_bits(e.mode_arg, bit)};
            if (e.flag != CreateFlag::none)
                rule.push_back(has_bits(e.flags_arg, table.create_flag(e.flag)));
            table.add(e.call, std::move(rule));
        }
    }
    for (const auto& e : kDeviceEntries) {
        for (uint32_t type : {S_IFBLK, S_IFCHR}) table.add(e.call, {{e.mode_arg, S_IFMT, type}});
    }
    for (uint32_t flag : kNamespaceFlags) table.add("clone", {has_bits(kCloneFlagsArg, flag)});
    for (uint32_t request : kRefusedIoctls) {
        table.add("ioctl", {{kIoctlRequestArg, 0xFFFFFFFF, request}});
    }
    for (auto call : kNosysCalls) table.rules(call, ENOSYS);

    const bool x86 = arch == Arch::x86_64;
    return {x86 ? AUDIT_ARCH_X86_64 : AUDIT_ARCH_AARCH64, x86, table.take()};
}

}  // namespace tj
