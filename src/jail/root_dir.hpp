// The host directory the jail's root tmpfs is mounted on: one per user,
// "/tmp/tarrow-jail-root-{uid}", created when missing and left in place.
#pragma once

#include <sys/types.h>

#include <string>

#include "error.hpp"
#include "jail/beneath.hpp"

namespace tj {

struct JailRootDir {
    std::string path;
    // Identity of the directory checked on the host, matched again in the jail.
    dev_t dev = 0;
    ino_t ino = 0;
};

// Runs in the launcher before any namespace exists, where owners read true
// (inside the user namespace every foreign owner reads as the overflow uid).
// Creates the directory if missing and insists on a real directory owned by
// `uid`: /tmp is shared, and a directory or link another user planted there
// must not decide where the jail's root lands. Errors:
// "jail root {} is unusable: {} (remove it, or point TMPDIR elsewhere)".
Result<JailRootDir> prepare_jail_root_dir(uid_t uid);

// In the jail init: mounts the root tmpfs on the very directory checked above,
// through a descriptor, so nothing swapped in since can take its place, and
// returns it as the jail root every later step works in (the descriptor is
// the new mount's own, never a lookup of the path).
Result<JailRoot> mount_root_tmpfs(const JailRootDir& root);

}  // namespace tj
