// Path grants: host paths made visible inside the jail at the same path.
#pragma once

#include <optional>
#include <string>

#include "error.hpp"
#include "jail/beneath.hpp"
#include "jail/host_paths.hpp"
#include "policy.hpp"

namespace tj {

// Binds the policy's read grants, then its write grants, that lie under `cwd`
// (under_cwd true) or not (false), into the jail root.
Result<> bind_grant_pass(const Policy& policy, const HostPaths& paths, const JailRoot& root,
                         bool under_cwd);

// The source of grant `grant`, resolved; nothing when the grant is skipped
// (its source is missing, or a read grant's source is reached through a link
// inside a writable tree). A write grant meeting such a link is refused with
// the symbolic-link reason. The one place that decides which grants are bound;
// a skip is noted for the enforcement record under `record_key` unless empty.
Result<std::optional<HostObject>> open_grant_source(const Policy& policy, const HostPaths& paths,
                                                    const std::string& grant, bool read_only,
                                                    std::string_view record_key);

// Binds the resolved `source` (named `source_path` in the policy) at grant
// path `grant` inside the jail root. Errors:
// "{read|write} grant {grant}{ (bound from {source})}: {reason}".
Result<> bind_grant(const std::string& grant, const std::string& source_path,
                    const HostObject& source, const JailRoot& root, bool read_only);

// The source of the first grant_sources pair whose grant equals `grant`.
std::optional<std::string> grant_source_for(const std::string& grant, const Policy& policy);

// True for paths under (or equal to) a directory every jail holds read-only.
bool is_under_system_dir(const std::string& path);

}  // namespace tj
