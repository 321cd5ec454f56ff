// The strict jail's private root file system.
#pragma once

#include "error.hpp"
#include "jail/root_dir.hpp"
#include "policy.hpp"

namespace tj {

// Builds the root on the checked jail root directory and moves the calling
// process into it: afterwards its root is the new tmpfs, its working directory
// `cwd`, and nothing of the host's tree is reachable.
Result<> assemble_jail_root(const Policy& policy, const JailRootDir& root_dir);

}  // namespace tj
