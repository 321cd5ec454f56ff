// Path grants: host paths made visible inside the jail at the same path.
#pragma once

#include <optional>
#include <string>

#include "error.hpp"
#include "policy.hpp"

namespace tj {

// Binds the policy's read grants, then its write grants, that lie under `cwd`
// (under_cwd true) or not (false), into the jail root `root`.
Result<> bind_grant_pass(const Policy& policy, const std::string& root, bool under_cwd);

// Binds host path `source` at grant path `grant` inside the jail root held by
// `root_fd`. Errors: "{read|write} grant {grant}{ (bound from {source})}: {reason}".
Result<> bind_grant(const std::string& grant, const std::string& source, int root_fd,
                    bool read_only);

// The source of the first grant_sources pair whose grant equals `grant`.
std::optional<std::string> grant_source_for(const std::string& grant, const Policy& policy);

// True for paths under (or equal to) a directory every jail holds read-only.
bool is_under_system_dir(const std::string& path);

}  // namespace tj
