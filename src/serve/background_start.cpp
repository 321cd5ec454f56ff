#include "serve/background_start.hpp"

#include <fcntl.h>

#include "exec/command.hpp"
#include "exec/spawn.hpp"

namespace tj {

Result<pid_t> start_background(const RunSpec& spec, const std::string& cwd) {
    Command command = TJ_TRY(build_command(spec, cwd, false));
    add_capability_and_memory_step(command, memory_limit_bytes(spec.memory_limit_mb));
    // One descriptor serves all three streams; the server closes it on return.
    UniqueFd null_device = TJ_TRY(open_null_device(O_RDWR));
    command.stdio = {null_device.get(), null_device.get(), null_device.get()};
    return spawn(command);
}

}  // namespace tj
