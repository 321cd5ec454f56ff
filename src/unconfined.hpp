// Isolation none: no confinement, announced loudly.
#pragma once

#include <optional>

#include "policy.hpp"

namespace tj {

[[noreturn]] void run_unconfined(const Policy& policy, std::optional<int> interrupt_fd);

}  // namespace tj
