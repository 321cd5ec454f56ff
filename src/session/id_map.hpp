// The one-line ID maps of a fresh user namespace: the caller's own id mapped
// onto the same number inside, count 1.
#pragma once

#include <string>

#include "error.hpp"

namespace tj {

// "{id} {id} 1\n"
std::string id_map_line(unsigned id);

// Writes "deny" to /proc/self/setgroups, which an unprivileged gid_map write
// requires. Failures are ignored: kernels before 3.19 have no such file.
void deny_setgroups();

// Writes id_map_line(id) to `file` ("/proc/self/uid_map" or "/proc/self/gid_map").
// Errors carry the system error text.
Result<> write_id_map(const std::string& file, unsigned id);

}  // namespace tj
