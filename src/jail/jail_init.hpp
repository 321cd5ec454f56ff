// The jail init: PID 1 of the jail's PID namespace, which builds the root,
// confines itself and then runs the policy's mode.
#pragma once

#include <sys/types.h>

#include <optional>

#include "jail/root_dir.hpp"
#include "policy.hpp"

namespace tj {

// `launcher_alive` is the read end of a pipe whose only write end the launcher
// holds: it hangs up once the launcher is gone, zombie or not.
[[noreturn]] void run_jail_init(const Policy& policy, const JailRootDir& root_dir,
                                int launcher_alive, std::optional<int> interrupt_fd);

}  // namespace tj
