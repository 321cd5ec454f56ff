// A cgroup v2 group for the commands a launcher starts with a death-signal
// tie, and the keeper that kills the whole group once the launcher is gone.
// The tie reaches only a command itself; the group reaches everything it
// started, wherever that went, when the launcher dies in any way.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace tj {

// The group directory for a process in `cgroup_line`'s group ("0::/a/b" of
// /proc/self/cgroup) under the cgroup2 mount point `mount`; nothing when the
// line is no v2 entry.
std::optional<std::string> session_group_path(std::string_view mount, std::string_view cgroup_text,
                                              pid_t launcher);

// Creates the group and starts its keeper, where the launcher may: as root, or
// in a delegated subtree. Without one, the keeper is started all the same and
// stops and kills the trees of the commands announced to it. Nothing is made for the first process
// of a PID namespace, whose end ends the namespace. Call before any confinement and thread. With
// `run_limits`, each run gets a group of its own below it where the host offers the memory and pids
// controllers (exec/run_group.hpp): only for a launcher that can still make directories there as it
// runs.
void prepare_session_group(bool run_limits);

// The group's cgroup.procs, open for writing, for the child step that moves a
// tied command in; -1 without a group.
int session_group_procs_fd();

// Without a group: the pipe a tied command writes its pid to before its
// death signal (SIGSTOP then) is set, so that the keeper can stop and kill its
// whole tree once the launcher is gone; -1 without a keeper.
int session_keeper_announce_fd();

// The keeper's pid (0 without one): a child of the launcher that no sweep takes.
pid_t session_group_keeper();

}  // namespace tj
