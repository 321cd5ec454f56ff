// The Landlock rules of a hardened run: the host paths its choices lead to,
// read from the file system, and the restriction itself.
#pragma once

#include <functional>
#include <string_view>
#include <vector>

#include "confine/landlock_rules.hpp"
#include "error.hpp"
#include "policy.hpp"

namespace tj {

// Receives each "tarrow-jail: hardened: ..." notice, newline included.
using NoticeSink = std::function<void(std::string_view)>;

// The rule rows of a hardened run, in order: working directory (with the
// protected walk), read-write grants, devices, read-only paths, standard
// devices. Fails on a missing or non-device extra device path; skips print
// notices and go on.
Result<std::vector<RuleRow>> hardened_rule_rows(const Policy& policy, const NoticeSink& notice);

// Adds the hardened rows to a rule set from begin_ruleset() and restricts the
// calling thread with it; refuses when the kernel enforced nothing. Callers
// wrap errors in "landlock failed: {}".
Result<EnforcementOutcome> restrict_hardened(landlock::Ruleset& ruleset, const Policy& policy,
                                             const NoticeSink& notice);

}  // namespace tj
