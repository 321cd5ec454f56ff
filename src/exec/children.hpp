// The children this process started itself, told apart from the orphans that
// come back to it as a reaper (PID 1 of the jail, or a child subreaper).
#pragma once

#include <sys/types.h>

#include <mutex>

#include "error.hpp"

namespace tj {

// Held by spawn from before the child exists until it is noted, so that the
// orphan reaper never collects a command it has not been told about yet.
std::unique_lock<std::mutex> lock_children();
// Called with the lock held.
void note_started_child(pid_t pid);

// waitpid that forgets `pid` once it is collected; every collection of a
// started command goes through here.
pid_t collect_child(pid_t pid, int* status, int flags);

// Makes this process the reaper of its descendants' orphans.
Result<> become_child_subreaper();

// Keeps SIGCHLD pending for the orphan reaper: blocked in the calling thread
// and in every thread it starts later (commands get an empty mask at spawn).
// Call it before any other thread is started.
Result<> block_child_signal();

// A thread that collects every orphan as soon as it ends, leaving the
// commands this process started to their own waits; after block_child_signal.
Result<> start_orphan_reaper();

}  // namespace tj
