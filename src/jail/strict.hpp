// Isolation strict: namespaces, a private root, Landlock and seccomp.
#pragma once

#include <optional>

#include "launch_options.hpp"
#include "policy.hpp"

namespace tj {

[[noreturn]] void run_strict(const Policy& policy, std::optional<SessionFds> session,
                             std::optional<int> interrupt_fd);

}  // namespace tj
