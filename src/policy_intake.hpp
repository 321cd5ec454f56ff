// Taking the policy in: the line, the workspace and the widened hide list.
#pragma once

#include <optional>
#include <string>

#include "error.hpp"
#include "policy.hpp"

namespace tj {

// The first line of `policy_fd` (closed afterwards; later lines discarded) or
// of the shared standard input; valid UTF-8 and not blank.
Result<std::string> read_policy_line(std::optional<int> policy_fd);

// The first entry of a path list that is not an absolute path, as the fatal
// line names it: "{list} entry \"{entry}\" is not an absolute path". A relative
// entry would be resolved against whatever directory the launcher happens to
// be in, so the protection or grant it asks for would silently miss.
Result<> check_absolute_paths(const Policy& policy);

// Opens the canonical working directory once, refusing any symbolic link
// swapped in since it was canonicalized, and makes it the process's working
// directory: every later step reaches the workspace through this one object
// (a new mount namespace carries the working directory over). Errors: system
// error text.
Result<> enter_workspace(const std::string& canonical_cwd);

// Appends the canonical forms of the hide paths, then their translations
// through grant_sources, so a hidden path stays hidden wherever it shows.
void widen_hide_paths(Policy& policy);

}  // namespace tj
