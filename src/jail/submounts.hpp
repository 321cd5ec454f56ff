// Bind remounts that carry over a mount's own flags, and that reach the mounts
// a recursive bind brought along below its target.
#pragma once

#include <sys/mount.h>

#include <string>

#include "error.hpp"

namespace tj {

// The remount flag sets callers pass.
inline constexpr unsigned long kRemountReadOnly = MS_RDONLY | MS_NOSUID | MS_NODEV;
inline constexpr unsigned long kRemountWritable = MS_NOSUID | MS_NODEV;

// A bind remount clears every per-mount flag it does not name, and an
// unprivileged user namespace may not clear nosuid, nodev, noexec or the atime
// bits of a mount it did not create. So each remount names the ones the mount
// already has. On Linux the statvfs bits equal the mount flags.
inline constexpr unsigned long kPreservedFlagMask =
    MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_NOATIME | MS_NODIRATIME;

// The preserved bits the file system mounted at `path` carries; 0 when statvfs
// fails or the path holds a NUL byte.
unsigned long preserved_mount_flags(const std::string& path);

// mount(MS_BIND | MS_REMOUNT | flags | preserved_mount_flags(target)) on `target`.
// Errors carry the errno text.
Result<> remount_bind(const std::string& target, unsigned long flags);

// Remounts each mount below `dir` (see select_submounts) with `flags` and its
// own preserved bits. Errors: the mount table's, or
// "remount of submount {}: {}" (the path relative to `dir` when it lies under it).
Result<> remount_submounts(const std::string& dir, unsigned long flags);

// The three steps of a locked-down bind: recursive bind of `source` on `target`,
// remount_bind of `target`, remount_submounts of `target`. Errors unlabelled.
Result<> bind_tree(const std::string& source, const std::string& target, unsigned long flags);

}  // namespace tj
