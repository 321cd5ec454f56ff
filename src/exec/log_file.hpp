// The log file of a command handed to the background.
#pragma once

#include <sys/types.h>

#include <string>

#include "error.hpp"
#include "unique_fd.hpp"

namespace tj {

struct LogFile {
    UniqueFd fd;
    std::string path;  // as reported: the log directory, "/", the name used
};

// Creates a fresh file in `log_dir` named "converted-{pid}.log", or, while
// that name is taken, "converted-{pid}-{n}.log" for n = 1, 2, ... (a PID
// namespace restarts pids, so sessions sharing a directory meet the same
// names). The names are created exclusively relative to one descriptor of the
// directory and never follow or open what already stands there.
Result<LogFile> create_log_file(const std::string& log_dir, pid_t pid);

}  // namespace tj
