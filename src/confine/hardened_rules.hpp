// The Landlock rules of a hardened run: the host paths its choices lead to,
// read from the file system, and the restriction itself.
#pragma once

#include <functional>
#include <string_view>
#include <vector>

#include "confine/hardened_walk.hpp"
#include "confine/landlock_rules.hpp"
#include "error.hpp"
#include "policy.hpp"

namespace tj {

// Every rule of a hardened run, in order, each handed to `sink` with the
// descriptor it goes on: working directory (carved around protected paths),
// devices, read-write grants, read-only paths, standard devices, each carved
// around the hidden paths. `unix_sockets` is added wherever writing is
// granted (the right to connect to pathname sockets, where the rule set
// handles it). Fails on a missing or non-device extra device path; skips
// print notices and go on.
Result<> hardened_rules(const Policy& policy, const NoticeSink& notice,
                        const hardened::RuleSink& sink, landlock::AccessFs unix_sockets = 0);

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
