// The two Landlock rule tables: the strict jail's and the hardened run's.
#pragma once

#include "error.hpp"
#include "policy.hpp"

namespace tj {

enum class Enforcement { Enforced, PartlyEnforced, Unenforced };

struct EnforcementOutcome {
    Enforcement enforcement = Enforcement::Unenforced;
    bool no_new_privs = false;
};

// The strict jail's rules, applied to the calling thread inside the jail root
// (after pivot_root and chdir). Errors carry their step label ("rule cwd: {}",
// "restrict_self: {}", ...); callers wrap them in "landlock failed: {}".
Result<EnforcementOutcome> restrict_strict(const Policy& policy);

}  // namespace tj
