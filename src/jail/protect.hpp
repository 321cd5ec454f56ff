// Protected paths (read-only inside the writable working directory) and hidden
// paths (masked by an empty directory or file).
#pragma once

#include <string>

#include "error.hpp"
#include "policy.hpp"

namespace tj {

// `jail_cwd` is the working directory's jail-side path.
Result<> protect_paths_pass(const Policy& policy, const std::string& root,
                            const std::string& jail_cwd);

Result<> mask_hidden_paths(const Policy& policy, const std::string& root);

}  // namespace tj
