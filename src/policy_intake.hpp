// Taking the policy in: the line, the workspace and the widened hide list.
#pragma once

#include <optional>
#include <string>

#include "error.hpp"
#include "policy.hpp"

namespace tj {

// The first line of `policy_fd` (closed afterwards; later lines discarded) or
// of the shared standard input; valid UTF-8 and not blank.
Result<std::string> read_policy_line(std::optional<int> policy_fd);

// Appends the canonical forms of the hide paths, then their translations
// through grant_sources, so a hidden path stays hidden wherever it shows.
void widen_hide_paths(Policy& policy);

}  // namespace tj
