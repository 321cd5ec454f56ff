// The mode dispatch every isolation path ends in, once its confinement is in place.
#pragma once

#include <optional>

#include "policy.hpp"

namespace tj {

// "exec" runs in the foreground, "serve" runs the request loop, anything else
// one captured run; exits 0 after a completed captured run and fatally on failure.
[[noreturn]] void run_mode(const Policy& policy, bool in_jail, std::optional<int> interrupt_fd);

}  // namespace tj
