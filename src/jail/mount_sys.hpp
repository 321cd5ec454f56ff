// mount(2), umount2(2) and pivot_root(2), typed. Errors carry the errno text.
#pragma once

#include <sys/mount.h>

#include <string>

#include "error.hpp"

namespace tj {

// Empty strings stand for "no source", "no type" and "no data".
Result<> sys_mount(const std::string& source, const std::string& target, const std::string& type,
                   unsigned long flags, const std::string& data = "");

// umount2 with MNT_DETACH: the mount leaves the tree now, its users keep it.
Result<> sys_umount_detach(const std::string& target);

// glibc has no wrapper for pivot_root.
Result<> sys_pivot_root(const std::string& new_root, const std::string& put_old);

}  // namespace tj
