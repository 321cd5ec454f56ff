// fork(2) for a process that has a single thread and must keep it so in the
// child (a user or PID namespace is entered there, or a pid number matters).
#pragma once

#include <sys/types.h>

namespace tj {

// Like fork(): the child's pid in the parent, 0 in the child, -1 with errno.
// The caller must be the only thread of its process.
pid_t fork_alone();

}  // namespace tj
