// Mode serve: JSON requests on standard input, replies on standard output.
#pragma once

#include <optional>
#include <string>

namespace tj {

// Never returns: exits 0 at the end of input, 2 on a fatal error. `in_jail`
// is true only inside the strict jail, where the loop is PID 1 of its PID
// namespace and a stop also sweeps the stopped command's orphans.
[[noreturn]] void serve_loop(const std::string& cwd, bool in_jail, std::optional<int> interrupt_fd);

}  // namespace tj
