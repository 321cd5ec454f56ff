// Protected paths (read-only inside the writable working directory) and hidden
// paths (masked by an empty directory or file).
#pragma once

#include <string>
#include <vector>

#include "error.hpp"
#include "jail/beneath.hpp"
#include "jail/host_paths.hpp"
#include "policy.hpp"

namespace tj {

// Binds each protected path read-only over itself. Returns the canonical
// paths protected, for the parents to be pinned.
Result<std::vector<std::string>> protect_paths_pass(const Policy& policy, const HostPaths& paths,
                                                    const JailRoot& root);

Result<> mask_hidden_paths(const Policy& policy, const HostPaths& paths, const JailRoot& root);

}  // namespace tj
