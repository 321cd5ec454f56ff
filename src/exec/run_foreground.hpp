// Mode exec: the command on the launcher's own terminal and standard streams.
#pragma once

#include <string>

#include "error.hpp"
#include "policy.hpp"

namespace tj {

// Never returns on success: the launcher exits with the command's status
// (128 + signal for a signal). Returns only an error.
Result<> run_foreground(const RunSpec& spec, const std::string& cwd);

}  // namespace tj
