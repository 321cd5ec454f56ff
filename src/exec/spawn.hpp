// Starting a prepared command. Safe in a threaded process: nothing is allocated
// and no lock is taken between fork and exec.
#pragma once

#include <sys/types.h>

#include "error.hpp"
#include "exec/command.hpp"
#include "unique_fd.hpp"

namespace tj {

// Starts a child process (vfork-like: it borrows the caller's memory until
// exec, the caller's thread waits), runs the child steps and execs. Returns the
// child's pid once exec has succeeded; the child leads its own process group
// (group id = pid). When a child step or exec fails, the child is reaped and
// its error is returned (the system error text, or "parent died before the
// death-signal tie landed").
Result<pid_t> spawn(const Command& command);

// "/dev/null" opened with `flags` (O_CLOEXEC is added), for a command's stdio.
Result<UniqueFd> open_null_device(int flags);

}  // namespace tj
