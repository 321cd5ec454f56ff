// The steps a command's child process runs between fork and exec. Everything
// here is async-signal-safe: no allocation, no locks, errno values only.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace tj {

// prctl(PR_SET_PDEATHSIG, sig): 0 or the errno.
int set_death_signal(int sig);

// Empties the bounding set as far as permitted, then every capability set:
// 0 or the errno of the step that failed.
int drop_all_capabilities();

// RLIMIT_DATA soft and hard to min(bytes, current hard limit): 0 or the errno.
int limit_data_segment(uint64_t bytes);

// Makes `pgrp` the foreground group of the terminal on `fd`, with SIGTTOU
// ignored meanwhile (a background caller would be stopped otherwise): 0 or the errno.
int give_terminal(int fd, pid_t pgrp);

}  // namespace tj
