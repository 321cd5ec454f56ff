// Isolation hardened: Landlock and seccomp on the launcher itself, host tree.
#pragma once

#include <optional>

#include "policy.hpp"

namespace tj {

[[noreturn]] void run_hardened(const Policy& policy, std::optional<int> interrupt_fd);

}  // namespace tj
