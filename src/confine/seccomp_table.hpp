// The seccomp filter as data: which system calls are refused, under which
// argument conditions, with which errno. bpf_program compiles it.
#pragma once

#include <cstdint>
#include <vector>

#include "confine/seccomp_syscalls.hpp"

namespace tj {

// Holds when (low 32 bits of argument `arg` AND mask) == value. The kernel hands
// the filter 64-bit arguments; only their low words are compared, so a caller
// cannot slip past a condition by setting high bits the kernel ignores.
struct SeccompCond {
    unsigned arg;  // 0 to 5
    uint32_t mask;
    uint32_t value;
};

// Matches when all its conditions hold.
using SeccompRule = std::vector<SeccompCond>;

// One refused system call: refused always when `rules` is empty, otherwise when
// any rule matches (tested in order).
struct SeccompRow {
    uint32_t nr;
    uint16_t err;  // the errno the call fails with
    std::vector<SeccompRule> rules;
};

struct SeccompTable {
    uint32_t audit_arch;  // any other architecture is killed
    bool kill_x32;        // x86_64: numbers with the x32 bit are killed too
    std::vector<SeccompRow> rows;
};

// The fixed deny list for `arch`. Both tables exist in every build;
// install_seccomp_filter uses the one of kNativeArch.
SeccompTable seccomp_table(Arch arch);

}  // namespace tj
