// A cgroup v2 group per run inside the session group, where the host lets the
// session group hand the memory and pids controllers to its children: one
// limit for the whole tree of a run (shared mappings and every child count),
// a cap on its tasks, and cgroup.kill for its kills.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "error.hpp"

namespace tj {

// The tasks (processes and threads) one run may hold at once: far more than
// a parallel build starts, far fewer than a host's pid_max (32768 by default).
inline constexpr uint64_t kRunPidsMax = 4096;

// Enables memory and pids for the children of the new session group `dir`;
// false where its parent does not offer them. Before any thread.
bool enable_run_groups(const std::string& dir);

// Whether runs get groups of their own.
bool run_groups_enabled();

// A new run group under the session group with memory.max (when
// `memory_limit_bytes` is not 0) and pids.max; its cgroup.procs, open for
// writing, stays owned here (-1 when run groups are off).
Result<int> make_run_group(uint64_t memory_limit_bytes);

// SIGKILL to every process in the run group `pid` is in (an uncollected
// child, so its pid is not reused), if it is one of ours.
void kill_run_group_of(pid_t pid);

// For the keeper: removes the run groups below `dir`, empty ones at least.
void remove_run_groups(const std::string& dir);

}  // namespace tj
