#include "exec/fork_alone.hpp"

#include <unistd.h>

namespace tj {

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer's fork hook starts the runtime's background thread in the
// child of a single-threaded parent. That thread would make the child
// multi-threaded, so that it could no longer create a user namespace, and it
// would take a pid in a fresh PID namespace, shifting the numbers the jail
// hands out. _Fork is the same system call without the hooks; skipping them
// is sound only here, where no other thread can hold the runtime's locks.
pid_t fork_alone() {
    return ::_Fork();
}
#else
pid_t fork_alone() {
    return ::fork();
}
#endif

}  // namespace tj
