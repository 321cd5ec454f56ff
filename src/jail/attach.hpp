// Mounts attached to a descriptor that was resolved beneath the jail root.
// A mount is prepared whole while it is still detached (its tree cloned, or a
// new file system made, and its read-only and other flags set on every mount
// in it) and only then attached, so no writable moment and no path lookup lies
// between check and mount. This is the only way the jail root is mounted on:
// one recursive clone, one flag change for its whole tree and one attach cost
// the same whatever the host mounts below the source, where remounting each
// submount by its path meant reading the mount table back after every bind.
#pragma once

#include <initializer_list>
#include <string>

#include "error.hpp"
#include "unique_fd.hpp"

namespace tj {

// MOUNT_ATTR_* bits.
using MountAttrs = unsigned long long;

// A detached copy of the object behind an open descriptor, with every mount
// below it when `recursive`. Errors: errno text.
Result<UniqueFd> clone_tree_at(int fd, bool recursive);

// Sets `attrs` on the mount behind `mount_fd` (and, when `recursive`, every
// mount below it). Errors: errno text.
Result<> set_mount_attrs(int mount_fd, MountAttrs attrs, bool recursive);

// Attaches the detached mount `mount_fd` on the object behind `target_fd`.
Result<> attach_mount(int mount_fd, int target_fd);

// A recursive copy of the object behind `source_fd` attached on `target_fd`, nosuid and nodev on
// every mount in it, read-only too when asked. Errors: "bind: {}" for the copy
// and the attach, "remount: {}" for the flags.
Result<> bind_tree_at(int source_fd, int target_fd, bool read_only);

// One string option of a new file system ("mode", "size", "source").
struct FsOption {
    const char* key;
    const char* value;
};

// A new, detached file system of `type` ("tmpfs", "proc") with `options` and
// the given mount attributes. Errors: errno text.
Result<UniqueFd> new_fs(const char* type, std::initializer_list<FsOption> options,
                        MountAttrs attrs);

}  // namespace tj
