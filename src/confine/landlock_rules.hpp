// The Landlock rule tables: rows of {path, access set, step label} walked by
// one loop, the strict jail's table, and the steps both callers share.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "confine/landlock_ruleset.hpp"
#include "error.hpp"
#include "policy.hpp"

namespace tj {

struct RuleRow {
    std::string path;
    landlock::AccessFs access;
    std::string label;  // the step label a failure is wrapped in, e.g. "rule /tmp"
};

// Probe, handle the fixed access set, create ("handle_access: {}", "create ruleset: {}").
// `scopes` and the `optional` rights are asked for only where the kernel
// supports them: an older kernel gets the same rule set as without them.
Result<landlock::Ruleset> begin_ruleset(landlock::Scopes scopes = 0,
                                        landlock::AccessFs optional = 0);

// Adds every row in order; a failure carries the row's label.
Result<> add_rule_rows(landlock::Ruleset& ruleset, std::span<const RuleRow> rows);

// Restricts the calling thread ("restrict_self: {}").
Result<EnforcementOutcome> finish_ruleset(landlock::Ruleset& ruleset);

// The strict jail's rows, in order; paths are the jail-side ones, so `cwd` is
// the policy's own.
std::vector<RuleRow> strict_rule_rows(const Policy& policy);

// The strict jail's rules, applied to the calling thread inside the jail root
// (after pivot_root and chdir). Errors carry their step label ("rule cwd: {}",
// "restrict_self: {}", ...); callers wrap them in "landlock failed: {}".
Result<EnforcementOutcome> restrict_strict(const Policy& policy);

}  // namespace tj
