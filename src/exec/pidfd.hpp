// pidfd_open(2), which glibc 2.36 exposes only as a raw system call.
#pragma once

#include <sys/types.h>

#include "unique_fd.hpp"

namespace tj {

// A close-on-exec descriptor that polls readable once `pid` has ended; an
// invalid one where the kernel lacks the call (before 5.3) or a seccomp filter
// refuses it, and callers fall back to timed sleeps.
UniqueFd open_pidfd(pid_t pid);

}  // namespace tj
