#include "exec/pipe.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace tj {

Result<Pipe> make_pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return fail_system();
    return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace tj
