// The seccomp filter of both architectures, evaluated by a BPF interpreter,
// and the real filter installed in forked children.
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <span>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "bpf_dump.hpp"
#include "bpf_interpreter.hpp"
#include "confine/bpf_program.hpp"
#include "confine/seccomp.hpp"
#include "confine/seccomp_table.hpp"
#include "confine_fixture.hpp"

namespace tj {

// Test names and failure messages show the architecture, not its bytes.
void PrintTo(Arch arch, std::ostream* os) {
    *os << arch_name(arch);
}

namespace {

using test::run_bpf;

constexpr uint32_t kEperm = SECCOMP_RET_ERRNO | EPERM;
constexpr uint32_t kEnosys = SECCOMP_RET_ERRNO | ENOSYS;
constexpr uint32_t kAllow = SECCOMP_RET_ALLOW;
constexpr uint32_t kKill = SECCOMP_RET_KILL_PROCESS;

using Args = std::array<uint64_t, 6>;
constexpr uint64_t kHigh = uint64_t{1} << 32;  // a bit the 32-bit comparisons do not see
constexpr Args kAllOnes = {~0ull, ~0ull, ~0ull, ~0ull, ~0ull, ~0ull};

// Refused whatever the arguments, with EPERM, on both architectures.
constexpr std::string_view kAlwaysRefused[] = {
    "ptrace",
    "process_vm_readv",
    "process_vm_writev",
    "kcmp",
    "pidfd_getfd",
    "io_uring_setup",
    "userfaultfd",
    "bpf",
    "perf_event_open",
    "mount",
    "umount2",
    "pivot_root",
    "mount_setattr",
    "open_tree",
    "move_mount",
    "fsopen",
    "fsconfig",
    "fsmount",
    "fspick",
    "statmount",
    "listmount",
    "open_tree_attr",
    "setns",
    "unshare",
    "kexec_load",
    "kexec_file_load",
    "init_module",
    "finit_module",
    "delete_module",
    "keyctl",
    "add_key",
    "request_key",
    "reboot",
    "swapon",
    "swapoff",
    "settimeofday",
    "adjtimex",
    "clock_settime",
    "clock_adjtime",
};

uint32_t audit_arch(Arch arch) {
    return arch == Arch::aarch64 ? AUDIT_ARCH_AARCH64 : AUDIT_ARCH_X86_64;
}
uint32_t o_tmpfile(Arch arch) {
    return arch == Arch::aarch64 ? 0x404000 : 0x410000;
}

class SeccompFilter : public ::testing::TestWithParam<Arch> {
  public:
    void SetUp() override {
        auto program = compile_seccomp_filter(seccomp_table(arch()));
        ASSERT_TRUE(program) << program.error().text;
        program_ = std::move(*program);
    }
    Arch arch() const { return GetParam(); }

    uint32_t run_nr(uint32_t nr, const Args& args = {}, uint32_t arch_value = 0) const {
        seccomp_data data{};
        data.nr = static_cast<int>(nr);
        data.arch = arch_value != 0 ? arch_value : audit_arch(arch());
        for (int i = 0; i < 6; ++i) data.args[i] = args[i];
        return run_bpf(program_, data);
    }
    uint32_t run(std::string_view call, const Args& args = {}) const {
        const int nr = syscall_number(arch(), call);
        EXPECT_GE(nr, 0) << call;
        return run_nr(static_cast<uint32_t>(nr), args);
    }

    BpfProgram program_;
};

INSTANTIATE_TEST_SUITE_P(BothArchitectures, SeccompFilter,
                         ::testing::Values(Arch::aarch64, Arch::x86_64),
                         [](const auto& info) { return std::string(arch_name(info.param)); });

// Each architecture's program as a listing kept in tests/unit/golden/, so that
// a change to the program's shape shows in review. With TARROW_GOLDEN_OUT=DIR
// the test writes the current listings there, to replace the kept ones.
struct GoldenListing {
    std::string_view arch;
    std::string_view text;
};
constexpr GoldenListing kGoldenListings[] = {
#include "seccomp_golden.inc"
};

TEST_P(SeccompFilter, MatchesItsGoldenListing) {
    const std::string name(arch_name(arch()));
    const std::string listing = test::bpf_dump(program_, arch());
    if (const char* dir = std::getenv("TARROW_GOLDEN_OUT")) {
        std::ofstream(std::string(dir) + "/seccomp_" + name + ".txt") << listing;
    }
    const auto* golden = std::ranges::find(kGoldenListings, name, &GoldenListing::arch);
    ASSERT_NE(golden, std::end(kGoldenListings));
    EXPECT_EQ(listing, golden->text)
        << "the compiled program changed: review the difference, then regenerate with "
           "TARROW_GOLDEN_OUT=$PWD/tests/unit/golden";
}

TEST_P(SeccompFilter, IsAWellFormedProgramFarBelowTheLimit) {
    EXPECT_EQ(test::bpf_shape_fault(program_), "");
    EXPECT_LT(program_.size(), 512u);
}

TEST_P(SeccompFilter, RefusesEveryListedCallWhateverItsArguments) {
    for (auto call : kAlwaysRefused) {
        EXPECT_EQ(run(call), kEperm) << call;
        EXPECT_EQ(run(call, kAllOnes), kEperm) << call;
    }
}

TEST_P(SeccompFilter, RefusesOpenat2WithEnosysSoThatCallersFallBackToOpenat) {
    EXPECT_EQ(run("openat2"), kEnosys);
    EXPECT_EQ(run("openat2", kAllOnes), kEnosys);
}

TEST_P(SeccompFilter, AllowsTheNeighboursOfRefusedCalls) {
    std::set<uint32_t> refused;
    for (auto call : kAlwaysRefused) refused.insert(syscall_number(arch(), call));
    for (auto call : {"openat2", "clone", "clone3"}) refused.insert(syscall_number(arch(), call));
    for (uint32_t nr : refused) {
        for (uint32_t next : {nr - 1, nr + 1}) {
            if (!refused.contains(next)) {
                EXPECT_EQ(run_nr(next, kAllOnes), kAllow) << next;
            }
        }
    }
    EXPECT_EQ(run_nr(0), kAllow);
    EXPECT_EQ(run_nr(0x3FFFFFFF), kAllow);
}

// The names of every system call the build's kernel headers define.
constexpr std::string_view kNativeHeaderCalls[] = {
#include "native.inc"
};
constexpr std::string_view kGenericHeaderCalls[] = {
#include "generic.inc"
};

// Mount-API and namespace calls: what mounts, looks at mounts or makes or
// joins a namespace. A header that gains one the tables lack fails here.
bool mount_or_namespace_call(std::string_view name) {
    static const std::regex pattern(
        "mount|open_tree|pivot_root|^fs(open|config|pick|info)$|setns|unshare|^clone|namespace|"
        "^ns_|^listns$");
    return std::regex_search(std::string(name), pattern);
}

TEST_P(SeccompFilter, RefusesEveryMountOrNamespaceCallTheKernelHeadersKnow) {
    const bool native = arch() == kNativeArch;
    const std::span<const std::string_view> names =
        native ? std::span<const std::string_view>(kNativeHeaderCalls) : kGenericHeaderCalls;
    if (!native && arch() != Arch::aarch64) GTEST_SKIP() << "no header of this architecture";
    int seen = 0;
    for (auto name : names) {
        if (!mount_or_namespace_call(name)) continue;
        ++seen;
        ASSERT_TRUE(known_syscall(name)) << name << " is missing from the seccomp tables";
        const int nr = syscall_number(arch(), name);
        ASSERT_GE(nr, 0) << name;
        EXPECT_NE(run_nr(static_cast<uint32_t>(nr), kAllOnes), kAllow) << name;
    }
    EXPECT_GE(seen, 13) << "the header scan found too few calls";
}

TEST_P(SeccompFilter, KillsForeignArchitectures) {
    for (uint32_t foreign : std::initializer_list<uint32_t>{AUDIT_ARCH_X86_64, AUDIT_ARCH_AARCH64,
                                                            AUDIT_ARCH_I386, AUDIT_ARCH_ARM, 1u}) {
        if (foreign == audit_arch(arch())) continue;
        EXPECT_EQ(run_nr(0, {}, foreign), kKill) << std::hex << foreign;
        EXPECT_EQ(run_nr(syscall_number(arch(), "unshare"), {}, foreign), kKill);
    }
}

TEST_P(SeccompFilter, KillsX32NumbersOnX86_64) {
    if (arch() != Arch::x86_64) GTEST_SKIP() << "x32 is an x86_64 ABI";
    constexpr uint32_t kX32 = 0x40000000;
    EXPECT_EQ(run_nr(kX32 | 39), kKill);  // x32 getpid
    EXPECT_EQ(run_nr(kX32 | syscall_number(arch(), "unshare")), kKill);
    EXPECT_EQ(run_nr(kX32 | 520), kKill);  // x32 execve
}

// One call with arguments and the filter's answer.
struct Case {
    std::string_view call;
    Args args;
    uint32_t expected;
    const char* what;
};

// Calls missing on the architecture (x86_64's legacy path calls on aarch64) are skipped.
void expect_cases(const SeccompFilter& filter, const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        if (syscall_number(filter.arch(), c.call) == kNoSyscall) continue;
        EXPECT_EQ(filter.run(c.call, c.args), c.expected) << c.call << ": " << c.what;
    }
}

// What the C library passes for fork, vfork and posix_spawn, and for a thread.
constexpr uint64_t kForkFlags = SIGCHLD;
constexpr uint64_t kSpawnFlags = CLONE_VM | CLONE_VFORK | SIGCHLD;
constexpr uint64_t kThreadFlags = CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD |
                                  CLONE_SYSVSEM | CLONE_SETTLS | CLONE_PARENT_SETTID |
                                  CLONE_CHILD_CLEARTID;
constexpr uint64_t kNewTime = 0x80;  // CLONE_NEWTIME, in the exit-signal byte

TEST_P(SeccompFilter, CloneMakesNoNamespaceAndClone3AnswersEnosys) {
    expect_cases(*this, {
                            {"clone", {kForkFlags}, kAllow, "fork"},
                            {"clone", {kSpawnFlags}, kAllow, "vfork, posix_spawn"},
                            {"clone", {kThreadFlags}, kAllow, "thread"},
                            {"clone", {kThreadFlags | kHigh}, kAllow, "high bits ignored"},
                            {"clone", {0, CLONE_NEWUSER}, kAllow, "flags in the wrong argument"},
                            {"clone", {SIGCHLD | CLONE_NEWUSER}, kEperm, "user"},
                            {"clone", {SIGCHLD | CLONE_NEWNS}, kEperm, "mount"},
                            {"clone", {SIGCHLD | CLONE_NEWPID}, kEperm, "PID"},
                            {"clone", {SIGCHLD | CLONE_NEWNET}, kEperm, "network"},
                            {"clone", {SIGCHLD | CLONE_NEWIPC}, kEperm, "IPC"},
                            {"clone", {SIGCHLD | CLONE_NEWUTS}, kEperm, "UTS"},
                            {"clone", {SIGCHLD | CLONE_NEWCGROUP}, kEperm, "cgroup"},
                            {"clone", {SIGCHLD | kNewTime}, kEperm, "time"},
                            {"clone", {kSpawnFlags | CLONE_NEWUSER}, kEperm, "spawn, user"},
                            {"clone", {kHigh | CLONE_NEWNET}, kEperm, "high bits ignored"},
                            {"clone3", {}, kEnosys, "no arguments"},
                            {"clone3", kAllOnes, kEnosys, "any arguments"},
                        });
}

TEST_P(SeccompFilter, SetIdFilesAreRefusedOnlyWhenCreatedOrChmodded) {
    const uint64_t creat = O_CREAT | O_WRONLY, tmpfile = o_tmpfile(arch()) | O_RDWR;
    const uint64_t dir = static_cast<uint32_t>(AT_FDCWD), path = 0x1000;
    expect_cases(
        *this,
        {
            {"openat", {dir, path, creat, 04755}, kEperm, "O_CREAT, set-user-ID"},
            {"openat", {dir, path, creat, 02755}, kEperm, "O_CREAT, set-group-ID"},
            {"openat", {dir, path, creat, 0755}, kAllow, "O_CREAT, plain mode"},
            {"openat", {dir, path, creat, 01777}, kAllow, "O_CREAT, sticky"},
            {"openat", {dir, path, O_WRONLY, 04755}, kAllow, "no O_CREAT: the mode is ignored"},
            {"openat", {dir, path, tmpfile, 04755}, kEperm, "O_TMPFILE, set-user-ID"},
            {"openat", {dir, path, tmpfile, 02755}, kEperm, "O_TMPFILE, set-group-ID"},
            {"openat", {dir, path, tmpfile, 0755}, kAllow, "O_TMPFILE, plain mode"},
            {"openat", {dir, path, O_DIRECTORY, 06755}, kAllow, "O_DIRECTORY is half of O_TMPFILE"},
            {"openat", {dir, path, creat | kHigh, 04755 | kHigh}, kEperm, "high bits ignored"},
            {"openat", {dir, path, kHigh, 04755}, kAllow, "O_CREAT only in the high word"},
            {"openat", {dir, path, creat, kHigh | 0755}, kAllow, "S_ISUID only in the high word"},
            {"open", {path, creat, 04755}, kEperm, "O_CREAT, set-user-ID"},
            {"open", {path, creat, 02755}, kEperm, "O_CREAT, set-group-ID"},
            {"open", {path, tmpfile, 04755}, kEperm, "O_TMPFILE, set-user-ID"},
            {"open", {path, creat, 0755}, kAllow, "O_CREAT, plain mode"},
            {"open", {path, O_WRONLY, 06755}, kAllow, "no O_CREAT"},
            {"creat", {path, 04755}, kEperm, "set-user-ID"},
            {"creat", {path, 02755}, kEperm, "set-group-ID"},
            {"creat", {path, 0755}, kAllow, "plain mode"},
            {"fchmod", {3, 04755}, kEperm, "set-user-ID"},
            {"fchmod", {3, 02755}, kEperm, "set-group-ID"},
            {"fchmod", {3, 01777}, kAllow, "sticky"},
            {"fchmodat", {dir, path, 02755}, kEperm, "set-group-ID"},
            {"fchmodat", {dir, path, 04000}, kEperm, "set-user-ID alone"},
            {"fchmodat", {dir, path, 0755}, kAllow, "plain mode"},
            {"fchmodat2", {dir, path, 04755, 0}, kEperm, "set-user-ID"},
            {"fchmodat2", {dir, path, 0755, AT_SYMLINK_NOFOLLOW}, kAllow, "plain mode"},
            {"chmod", {path, 04755}, kEperm, "set-user-ID"},
            {"chmod", {path, 02755}, kEperm, "set-group-ID"},
            {"chmod", {path, 0755}, kAllow, "plain mode"},
        });
}

TEST_P(SeccompFilter, DeviceAndSetIdNodesAreRefusedOtherNodesAllowed) {
    const uint64_t dir = static_cast<uint32_t>(AT_FDCWD), path = 0x1000, dev = makedev(1, 3);
    expect_cases(
        *this,
        {
            {"mknodat", {dir, path, S_IFCHR | 0600, dev}, kEperm, "character device"},
            {"mknodat", {dir, path, S_IFBLK | 0600, dev}, kEperm, "block device"},
            {"mknodat", {dir, path, S_IFREG | S_ISUID | 0755}, kEperm, "set-user-ID file"},
            {"mknodat", {dir, path, S_IFIFO | S_ISGID | 0644}, kEperm, "set-group-ID FIFO"},
            {"mknodat", {dir, path, S_IFIFO | 0644}, kAllow, "FIFO"},
            {"mknodat", {dir, path, S_IFREG | 0644}, kAllow, "regular file"},
            {"mknodat", {dir, path, S_IFSOCK | 0644}, kAllow, "socket: has the S_IFBLK bits"},
            {"mknodat", {dir, path, S_IFLNK | 0644}, kAllow, "S_IFLNK has the S_IFCHR bit"},
            {"mknodat", {dir, path, kHigh | S_IFCHR}, kEperm, "high bits ignored"},
            {"mknod", {path, S_IFCHR | 0600, dev}, kEperm, "character device"},
            {"mknod", {path, S_IFBLK | 0600, dev}, kEperm, "block device"},
            {"mknod", {path, S_IFREG | S_ISUID}, kEperm, "set-user-ID file"},
            {"mknod", {path, S_IFIFO | S_ISGID}, kEperm, "set-group-ID FIFO"},
            {"mknod", {path, S_IFIFO | 0644}, kAllow, "FIFO"},
        });
}

TEST_P(SeccompFilter, TerminalInjectionIoctlsAreRefusedExactly) {
    expect_cases(*this,
                 {
                     {"ioctl", {0, TIOCSTI}, kEperm, "TIOCSTI"},
                     {"ioctl", {0, TIOCLINUX}, kEperm, "TIOCLINUX"},
                     {"ioctl", {~0ull, kHigh | TIOCSTI}, kEperm, "TIOCSTI with high bits"},
                     {"ioctl", {0, TIOCGWINSZ}, kAllow, "TIOCGWINSZ has every bit of TIOCSTI"},
                     {"ioctl", {0, TIOCSTI | 0x10000}, kAllow, "more bits than TIOCSTI"},
                     {"ioctl", {0, TCGETS}, kAllow, "TCGETS"},
                     {"ioctl", {0, 0, TIOCSTI}, kAllow, "TIOCSTI in the wrong argument"},
                 });
}

// The compiler, on synthetic tables.

constexpr uint32_t kErrno1 = SECCOMP_RET_ERRNO | 1;

SeccompTable synthetic(std::vector<SeccompRow> rows) {
    return {AUDIT_ARCH_AARCH64, false, std::move(rows)};
}

uint32_t run_synthetic(const BpfProgram& program, uint32_t nr, const Args& args = {}) {
    seccomp_data data{};
    data.nr = static_cast<int>(nr);
    data.arch = AUDIT_ARCH_AARCH64;
    for (int i = 0; i < 6; ++i) data.args[i] = args[i];
    return run_bpf(program, data);
}

std::string dump(const BpfProgram& program) {
    std::string out;
    for (const auto& i : program) {
        out += std::to_string(i.code) + " " + std::to_string(i.jt) + " " + std::to_string(i.jf) +
               " " + std::to_string(i.k) + "\n";
    }
    return out;
}

TEST(SeccompCompiler, EmitsTheArchitectureCheckThenRowsInAscendingOrder) {
    auto program = compile_seccomp_filter(synthetic({
        {20, 1, {}},
        {10, 1, {{{1, S_IFMT, S_IFCHR}}}},
    }));
    ASSERT_TRUE(program) << program.error().text;
    const BpfProgram expected = {
        {BPF_LD | BPF_W | BPF_ABS, 0, 0, 4},  // ld [arch]
        {BPF_JMP | BPF_JEQ | BPF_K, 1, 0, AUDIT_ARCH_AARCH64},
        {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_KILL_PROCESS},  //
        {BPF_LD | BPF_W | BPF_ABS, 0, 0, 0},                // ld [nr]
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 5, 10},              // row 10
        {BPF_LD | BPF_W | BPF_ABS, 0, 0, 24},               //   ld [args[1] low word]
        {BPF_ALU | BPF_AND | BPF_K, 0, 0, S_IFMT},          //
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, S_IFCHR},         //
        {BPF_RET | BPF_K, 0, 0, kErrno1},                   //
        {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW},         //   no rule matched
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 20},              // row 20
        {BPF_RET | BPF_K, 0, 0, kErrno1},                   //
        {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW},         // no row matched
    };
    EXPECT_EQ(dump(*program), dump(expected));
}

TEST(SeccompCompiler, EnforcesTheInstructionLimit) {
    // A row with one full-mask condition makes the length even; each plain row adds two.
    bool saw_exact_limit = false, saw_refusal = false;
    for (uint32_t plain = 2040; plain < 2046; ++plain) {
        std::vector<SeccompRow> rows{{0, 1, {{{0, 0xFFFFFFFF, 7}}}}};
        for (uint32_t nr = 1; nr <= plain; ++nr) rows.push_back({nr, 1, {}});
        auto program = compile_seccomp_filter(synthetic(std::move(rows)));
        if (program) {
            EXPECT_LE(program->size(), kMaxBpfInstructions);
            saw_exact_limit |= program->size() == kMaxBpfInstructions;
            continue;
        }
        const std::size_t length = 5 + 5 + 2 * plain;
        EXPECT_GT(length, kMaxBpfInstructions);
        EXPECT_EQ(program.error().text, "The seccomp filter contains too many BPF instructions: " +
                                            std::to_string(length) + ". Max length is 4096.");
        saw_refusal = true;
    }
    EXPECT_TRUE(saw_exact_limit);
    EXPECT_TRUE(saw_refusal);
}

TEST(SeccompCompiler, RefusesBadArgumentIndexesAndDuplicateRows) {
    auto arg6 = compile_seccomp_filter(synthetic({{1, 1, {{{6, 1, 1}}}}}));
    ASSERT_FALSE(arg6);
    EXPECT_EQ(arg6.error().text,
              "seccomp cond: The seccomp rule contains an invalid argument index. Maximum index "
              "value: 5");

    auto twice = compile_seccomp_filter(synthetic({{1, 1, {}}, {1, 1, {}}}));
    ASSERT_FALSE(twice);
    EXPECT_EQ(twice.error().text.rfind("Backend error: ", 0), 0u) << twice.error().text;

    auto arg5 = compile_seccomp_filter(synthetic({{1, 1, {{{5, 0xFF, 0x42}}}}}));
    ASSERT_TRUE(arg5) << arg5.error().text;
    EXPECT_EQ(run_synthetic(*arg5, 1, {0, 0, 0, 0, 0, 0x1142}), kErrno1);
    EXPECT_EQ(run_synthetic(*arg5, 1, {0x42, 0x42, 0x42, 0x42, 0x42, 0}), kAllow);
}

TEST(SeccompCompiler, JumpsOverRulesAndRowsOfAnyLength) {
    // Rule 1 of row 1 tests the six arguments over and over; with n conditions a
    // failing first one skips 2n - 1 instructions to reach rule 2, and a
    // non-matching number skips the whole row: the lengths cross the 255 an
    // 8-bit offset reaches.
    for (unsigned n : {6u, 127u, 128u, 129u, 130u, 300u}) {
        SeccompRule long_rule;
        for (unsigned i = 0; i < n; ++i) long_rule.push_back({i % 6, 0xFFFFFFFF, i % 6 + 1});
        auto program = compile_seccomp_filter(synthetic({
            {1, 1, {long_rule, {{0, 0xF0, 0x90}}}},
            {2, 2, {}},
        }));
        ASSERT_TRUE(program) << program.error().text;
        const Args holds = {1, 2, 3, 4, 5, 6};
        Args last_fails = holds;
        last_fails[(n - 1) % 6] = 0;
        SCOPED_TRACE(n);
        EXPECT_EQ(test::bpf_shape_fault(*program), "");
        EXPECT_EQ(run_synthetic(*program, 1, holds), kErrno1) << "long rule holds";
        EXPECT_EQ(run_synthetic(*program, 1, last_fails), kAllow) << "last condition fails";
        EXPECT_EQ(run_synthetic(*program, 1, {0x91, 2, 3, 4, 5, 6}), kErrno1) << "second rule";
        EXPECT_EQ(run_synthetic(*program, 1, {0x81}), kAllow) << "no rule";
        EXPECT_EQ(run_synthetic(*program, 2), SECCOMP_RET_ERRNO | 2) << "row after a long row";
        EXPECT_EQ(run_synthetic(*program, 3), kAllow);
    }
}

// The real filter, installed in forked children.

// Reaching the kernel with it gives EFAULT: a refused call is told apart without harm.
const char* const kBadPointer = reinterpret_cast<const char*>(1);

std::string errno_of(long result) {
    if (result >= 0) return "OK";
    const char* name = strerrorname_np(errno);
    return name != nullptr ? name : std::to_string(errno);
}

TEST(SeccompInstall, RefusesListedCallsAndLetsOthersThrough) {
    test::FixtureTree tree;
    const std::string report = test::in_child([&]() -> std::string {
        auto installed = install_seccomp_filter();
        if (!installed) return "install: " + installed.error().text;
        const int dir = ::open(tree.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        std::string got;
        auto probe = [&](const char* what, long result) {
            got += std::string(what) + "=" + errno_of(result) + " ";
        };
        probe("no_new_privs", prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1 ? 0 : -1);
        probe("unshare", ::unshare(CLONE_NEWUSER));
        probe("mount", ::syscall(SYS_mount, kBadPointer, kBadPointer, kBadPointer, 0, nullptr));
        probe("setuid-create", ::openat(dir, "suid", O_CREAT | O_WRONLY | O_CLOEXEC, 04755));
        probe("create", ::openat(dir, "plain", O_CREAT | O_WRONLY | O_CLOEXEC, 0755));
        probe("setgid-chmod", ::syscall(SYS_fchmodat, dir, "plain", 02755));
        probe("chmod", ::syscall(SYS_fchmodat, dir, "plain", 0700));
        probe("device", ::mknodat(dir, "null", S_IFCHR | 0600, makedev(1, 3)));
        probe("fifo", ::mknodat(dir, "fifo", S_IFIFO | 0600, 0));
        probe("tiocsti", ::ioctl(-1, TIOCSTI, "x"));
        probe("tiocgwinsz", ::ioctl(-1, TIOCGWINSZ, nullptr));
        probe("openat2", ::syscall(SYS_openat2, dir, "plain", nullptr, 0));
        std::string in_thread;
        std::thread([&] { in_thread = errno_of(::unshare(CLONE_NEWUSER)); }).join();
        return got + "thread-unshare=" + in_thread;
    });
    EXPECT_EQ(report,
              "no_new_privs=OK unshare=EPERM mount=EPERM setuid-create=EPERM create=OK "
              "setgid-chmod=EPERM chmod=OK device=EPERM fifo=OK tiocsti=EPERM "
              "tiocgwinsz=EBADF openat2=ENOSYS thread-unshare=EPERM");
    struct stat st {};
    ASSERT_EQ(::stat((tree / "plain").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_NE(::access((tree / "suid").c_str(), F_OK), 0);
}

// How a child started one way ended: "OK" when it ran and exited 0.
std::string child_outcome(pid_t pid) {
    if (pid < 0) return errno_of(-1);
    if (pid == 0) ::_exit(0);
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return errno_of(-1);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "OK" : std::to_string(status);
}

std::string raw_clone(uint64_t flags) {
    return child_outcome(static_cast<pid_t>(::syscall(SYS_clone, flags, 0, 0, 0, 0)));
}

std::string spawn_true() {
    pid_t pid = -1;
    char* const argv[] = {const_cast<char*>("true"), nullptr};
    if (int err = ::posix_spawnp(&pid, "true", nullptr, nullptr, argv, environ); err != 0) {
        errno = err;
        return errno_of(-1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "OK" : std::to_string(status);
}

TEST(SeccompInstall, ProcessesAndThreadsStartButNoNamespaceDoes) {
    const std::string report = test::in_child([]() -> std::string {
        if (auto installed = install_seccomp_filter(); !installed) return installed.error().text;
        std::string got = "fork=" + child_outcome(::fork());
        got += " vfork=" + child_outcome(::vfork());
        got += " posix_spawn=" + spawn_true();
        std::string in_thread = "not run";
        std::thread([&] { in_thread = "OK"; }).join();
        got += " thread=" + in_thread;
        got += " clone3=" + errno_of(::syscall(SYS_clone3, nullptr, 0));
        for (uint64_t flag : std::initializer_list<uint64_t>{
                 CLONE_NEWUSER, CLONE_NEWNS, CLONE_NEWPID, CLONE_NEWNET, CLONE_NEWIPC, CLONE_NEWUTS,
                 CLONE_NEWCGROUP, kNewTime}) {
            got += ' ';
            got += raw_clone(SIGCHLD | flag);
        }
        return got;
    });
    EXPECT_EQ(report,
              "fork=OK vfork=OK posix_spawn=OK thread=OK clone3=ENOSYS EPERM EPERM EPERM EPERM "
              "EPERM EPERM EPERM EPERM");
}

#if defined(__x86_64__)
TEST(SeccompInstall, RefusesLegacySetIdCallsAndKillsX32Calls) {
    test::FixtureTree tree;
    const std::string path = tree / "f";
    const std::string report = test::in_child([&]() -> std::string {
        if (auto installed = install_seccomp_filter(); !installed) return installed.error().text;
        return "creat=" + errno_of(::syscall(SYS_creat, path.c_str(), 04755)) +
               " open=" + errno_of(::syscall(SYS_open, path.c_str(), O_CREAT | O_WRONLY, 02755)) +
               " chmod=" + errno_of(::syscall(SYS_chmod, path.c_str(), 04755)) +
               " mknod=" + errno_of(::syscall(SYS_mknod, path.c_str(), S_IFBLK | 0600, 0));
    });
    EXPECT_EQ(report, "creat=EPERM open=EPERM chmod=EPERM mknod=EPERM");

    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (install_seccomp_filter()) ::syscall(0x40000000 | SYS_getpid);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS) << status;
}
#endif

}  // namespace
}  // namespace tj
