// Mounts attached to a descriptor that was resolved beneath the jail root.
// A mount is prepared whole while it is still detached (its tree cloned, its
// read-only and other flags set on every mount in it) and only then attached,
// so no writable moment and no path lookup lies between check and mount.
#pragma once

#include <string>

#include "error.hpp"
#include "unique_fd.hpp"

namespace tj {

// MOUNT_ATTR_* bits.
using MountAttrs = unsigned long long;

// A detached recursive copy of the tree at `source` (a host path, links
// followed). Errors: errno text.
Result<UniqueFd> clone_tree(const std::string& source);
// The same for the object behind an open descriptor.
Result<UniqueFd> clone_tree_at(int fd);

// Sets `attrs` on the mount behind `mount_fd` (and, when `recursive`, every
// mount below it). Errors: errno text.
Result<> set_mount_attrs(int mount_fd, MountAttrs attrs, bool recursive);

// Attaches the detached mount `mount_fd` on the object behind `target_fd`.
Result<> attach_mount(int mount_fd, int target_fd);

// A recursive copy of `source` attached on `target_fd`, nosuid and nodev on
// every mount in it, read-only too when asked. Errors: "bind: {}" for the copy
// and the attach, "remount: {}" for the flags.
Result<> bind_tree_at(const std::string& source, int target_fd, bool read_only);

// A new, detached tmpfs with the given mount attributes and "mode" option.
Result<UniqueFd> new_tmpfs(MountAttrs attrs, const char* mode);

}  // namespace tj
