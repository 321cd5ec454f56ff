// The fixed seccomp deny-list filter of strict and hardened isolation.
#pragma once

#include "error.hpp"

namespace tj {

// Sets no_new_privs, compiles the table for this architecture and installs it
// on the calling thread. Errors carry "seccomp compile: {}" or "seccomp apply: {}";
// callers wrap them in "seccomp failed: {}".
Result<> install_seccomp_filter();

}  // namespace tj
