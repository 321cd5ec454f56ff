// Stopping a process tree whole before killing it, for the keeper that acts
// after the launcher is gone: a killed process hands its children to an
// ancestor that nobody watches, a stopped one keeps them where a walk finds them.
#pragma once

#include <sys/types.h>

#include <vector>

#include "unique_fd.hpp"

namespace tj {

// A process held by a pidfd, so that a signal cannot reach a later holder of its pid.
struct HeldProcess {
    UniqueFd pidfd;
    pid_t pid = 0;
};

// pidfd_send_signal; false once the process is gone (signal 0 only asks).
bool send(const HeldProcess& process, int sig);

// Stopped, traced, or past running at all: a /proc stat state.
bool settled(char state);

// The pids listed as children of any thread of `pid`.
std::vector<pid_t> children_of(pid_t pid);

// Holds child `child` of `parent` if it is still that: a pidfd, then a check
// of its parent while the pidfd shows it alive. Nothing for another process.
HeldProcess hold_child(pid_t parent, pid_t child);

// SIGSTOP to each root and, once it has stopped, to each of its children in
// turn, down the whole tree; then SIGKILL to everything stopped. A stopped
// process cannot fork, so once its threads show stopped its list of children
// is final. Roots that ended already are skipped.
void stop_and_kill_trees(std::vector<HeldProcess> roots);

}  // namespace tj
