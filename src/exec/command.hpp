// A command prepared for spawning: everything the child needs is computed here,
// before fork, so that the child itself only copies pointers and makes system calls.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "error.hpp"
#include "policy.hpp"

namespace tj {

struct Command {
    std::vector<std::string> argv;  // argv[0] is the program, searched in `search_path`
    std::vector<std::string> env;   // "NAME=value", names in ascending byte order
    std::string search_path;        // the command's own PATH value
    std::string cwd;                // the child changes into it before exec

    // Child steps, run in this order between fork and exec.
    int announce_fd = -1;             // the pid written for the keeper, before anything else
    bool death_tie = false;           // SIGKILL (SIGSTOP once announced) when the spawner dies
    int cgroup_procs_fd = -1;         // written to join the group that outlives the launcher
    bool drop_capabilities = false;   // bounding set, then capset to empty sets
    uint64_t memory_limit_bytes = 0;  // RLIMIT_DATA when drop_capabilities; 0 = none
    bool terminal_handover = false;   // the child's group becomes the foreground of fd 0

    // The descriptors the command gets as its 0, 1 and 2. Borrowed: the caller
    // keeps them open until spawn returns and closes them afterwards.
    std::array<int, 3> stdio = {0, 1, 2};
};

// The command's environment: the pairs in order (a later pair replaces an
// earlier one of the same name), then PATH and HOME unless a pair named them.
std::vector<std::string> environment_block(const StringPairs& pairs);

// Prepares spec.argv (must not be empty) with spec.env in `cwd`, in a process
// group of its own. Fails with "nul byte found in provided data" when an
// argument, an environment name or value or `cwd` holds a NUL byte.
Result<Command> build_command(const RunSpec& spec, const std::string& cwd, bool death_tie);

// The capability drop and data-segment limit every caller adds.
void add_capability_and_memory_step(Command& command, uint64_t memory_limit_bytes);

}  // namespace tj
