// Keeping track of commands that outlive their request: /proc snapshots, the
// stat fields that matter, a non-collecting liveness probe, the survivor sweep
// of a stop inside the jail and the final kill of tracked commands outside it.
#pragma once

#include <sys/types.h>

#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace tj {

// The process ids listed in /proc at one moment. Kept as a sorted vector: a
// snapshot is taken per started command inside the jail and held while the
// command is tracked, so it should stay small.
class PidSnapshot {
  public:
    bool contains(pid_t pid) const;
    void insert(pid_t pid);
    bool empty() const { return pids_.empty(); }
    size_t size() const { return pids_.size(); }
    auto begin() const { return pids_.begin(); }
    auto end() const { return pids_.end(); }

  private:
    friend PidSnapshot snapshot_pids();
    std::vector<pid_t> pids_;
};

// Never fails: an unlistable /proc gives an empty snapshot.
PidSnapshot snapshot_pids();

// Keeps /proc open for snapshot_pids, for a process about to enter a Landlock
// domain that does not grant it. Only for the PID namespace it will run in.
void hold_proc_directory();

struct ProcStat {
    char state;
    pid_t ppid;
    pid_t pgrp;
};

// The fields after the command name of a /proc/{pid}/stat line; the name may
// hold ") " itself, so the last ") " ends it.
std::optional<ProcStat> parse_proc_stat(std::string_view text);
std::optional<ProcStat> read_proc_stat(pid_t pid);

// An optional sign, then one or more decimal digits, within 32 bits.
std::optional<int32_t> parse_decimal_i32(std::string_view text);

enum class ChildState { running, ended };

// Whether child `pid` has ended, leaving its status collectable; the errno on
// failure (ECHILD: not a child or already collected; EINVAL: pid <= 0).
std::expected<ChildState, int> probe_child(pid_t pid);

struct TrackedChild {
    pid_t pid;
    PidSnapshot before;  // /proc just before the start; empty outside the jail
};

// Appends a command started just after `before` was taken. Inside the jail,
// entries whose process is no longer in `before` were collected: they are
// dropped, so the list follows the commands still answered for rather than
// every request, and a reused pid cannot find a stale entry.
void track_child(std::vector<TrackedChild>& tracked, pid_t pid, PidSnapshot before);

// After a stop of `pid` in the jail, where the caller is PID 1 of the PID
// namespace: kills and collects the orphans that appeared since `pid` started
// and belong to no still-running later command; returns those that could not
// be removed within a second. Drops `pid`'s entry and entries of vanished
// processes from `tracked`.
std::vector<pid_t> sweep_survivors(std::vector<TrackedChild>& tracked, pid_t pid);

// Kills and collects, for up to a second, every child of this process that
// is not in `protect`, and everything below it; returns the children that
// outlasted that second. The caller is a reaper (PID 1 of the jail, or a
// child subreaper outside it), so whatever a command left behind, in its
// group or not, has come back to it as a child or sits below one.
std::vector<pid_t> sweep_descendants(PidSnapshot protect);

// SIGKILL to the group `pid` leads and to `pid` itself, which may have left
// that group. `pid` must be an uncollected child, so neither id is reused.
void kill_child_and_group(pid_t pid);

// At the end of serve input outside the jail: SIGKILL to every command still
// running and its group, without waiting for it.
void kill_tracked_children(std::span<const pid_t> pids);

}  // namespace tj
