// The steps of jail root assembly, each one row group of the mount sequence.
// `root` is the jail root on the host; every target is a jail-side path in it.
#pragma once

#include <string>

#include "error.hpp"
#include "jail/beneath.hpp"
#include "jail/host_paths.hpp"
#include "policy.hpp"

namespace tj {

// The top-level directories of the fresh root tmpfs.
Result<> make_root_dirs(const JailRoot& root);

// Each system directory the host has, bound read-only with its submounts,
// nosuid and nodev; one that is a link into another of them on the host is
// the same link in the jail.
Result<> bind_system_dirs(const JailRoot& root);

// A fresh /tmp with an empty tarrow-home.
Result<> mount_fresh_tmp(const JailRoot& root);

// Each tool path, read-only; a tool path never stops the jail, and one that
// cannot be made read-only is never attached.
Result<> bind_tool_paths(const Policy& policy, const HostPaths& paths, const JailRoot& root);

// The default device nodes the host has, then the policy's extra devices,
// then a fresh /dev/shm.
Result<> populate_dev(const Policy& policy, const HostPaths& paths, const JailRoot& root);

// The working directory start-up opened, writable, at its jail-side path.
Result<> bind_working_dir(const HostPaths& paths, const JailRoot& root, const std::string& cwd);

// pivot_root into `root`, a fresh /proc (a failure only warns), the host's tree
// detached, and the working directory entered.
Result<> enter_root(const JailRoot& root, const std::string& cwd);

}  // namespace tj
