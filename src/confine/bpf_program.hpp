// Compiles a seccomp table into a classic BPF program. Pure: no system calls,
// so the program of either architecture can be built and evaluated anywhere.
#pragma once

#include <linux/filter.h>

#include <cstddef>
#include <vector>

#include "confine/seccomp_table.hpp"
#include "error.hpp"

namespace tj {

using BpfProgram = std::vector<sock_filter>;

// The kernel's BPF_MAXINSNS: longer programs are refused by seccomp(2).
inline constexpr std::size_t kMaxBpfInstructions = 4096;
inline constexpr unsigned kMaxSeccompArg = 5;

// The program: architecture check, then each row in ascending order of
// system-call number, then allow. Only forward jumps. Errors: an argument index
// past 5 ("seccomp cond: ..."), two rows for one call, more than
// kMaxBpfInstructions instructions.
Result<BpfProgram> compile_seccomp_filter(const SeccompTable& table);

}  // namespace tj
