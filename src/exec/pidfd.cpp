#include "exec/pidfd.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434  // the same number on every architecture
#endif

namespace tj {

UniqueFd open_pidfd(pid_t pid) {
    return UniqueFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
}

}  // namespace tj
