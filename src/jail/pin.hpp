// Pinning: the directories between a writable tree and what the jail
// guarantees inside it (protected and hidden paths, grants) are each bound
// over themselves, with their own flags, before the first command starts. A
// mount point cannot be renamed or moved, so no command of the jail can walk
// a guarantee off its object by moving a parent.
#pragma once

#include <string>
#include <vector>

#include "error.hpp"
#include "jail/beneath.hpp"
#include "policy.hpp"

namespace tj {

// Pins the parents of each of `targets` (host paths, as seen in the jail) that
// lies inside the working directory or a write grant. A parent that is
// missing, a link, or already a mount is where the pinning of that target
// stops or passes. Errors: "pin {}: {}" with the jail-side path and errno text.
Result<> pin_parents(const Policy& policy, const JailRoot& root,
                     const std::vector<std::string>& targets);

}  // namespace tj
