// Starting a command detached from the server's output.
#pragma once

#include <sys/types.h>

#include <string>

#include "error.hpp"
#include "policy.hpp"

namespace tj {

// Starts spec.argv (must not be empty) in `cwd` with the null device as its
// standard streams and without the death-signal tie, so that it may outlive
// the server. Nothing of the start stays open in the server.
Result<pid_t> start_background(const RunSpec& spec, const std::string& cwd);

}  // namespace tj
