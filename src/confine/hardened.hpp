// Isolation hardened: Landlock and seccomp on the launcher itself, host tree.
#pragma once

#include <optional>

#include "error.hpp"
#include "policy.hpp"

namespace tj {

// Confines the calling (single-threaded) process: Landlock rules of the hardened
// run, the seccomp filter, non-dumpable. Errors carry "landlock failed: {}",
// "seccomp failed: {}" or "PR_SET_DUMPABLE failed: {}".
Result<> confine_hardened(const Policy& policy);

// Confines the launcher, then runs the policy's mode. Does not return.
[[noreturn]] void run_hardened(const Policy& policy, std::optional<int> interrupt_fd);

}  // namespace tj
