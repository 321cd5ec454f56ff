// unshare(2), setns(2) and sethostname(2), typed. Errors carry the errno text.
#pragma once

#include <string_view>

#include "error.hpp"

namespace tj {

// Creating a user namespace needs a single-threaded caller: every caller runs
// before the first thread of the process starts.
Result<> sys_unshare(int flags);
Result<> sys_setns(int fd, int nstype);
Result<> sys_sethostname(std::string_view name);

}  // namespace tj
