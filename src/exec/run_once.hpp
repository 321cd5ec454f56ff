// One captured run: output capture, time limit, check-in, one reply line.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "error.hpp"
#include "policy.hpp"

namespace tj {

// On success the reply line has been written; returns the command's pid when
// it was handed to the background, nothing when it finished. On error nothing
// was written.
Result<std::optional<pid_t>> run_once(const RunSpec& spec, const std::string& cwd,
                                      std::optional<int> interrupt_fd);

}  // namespace tj
