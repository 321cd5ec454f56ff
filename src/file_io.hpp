// Whole-file reads and writes, for /proc files and other small control files.
#pragma once

#include <string>

#include "error.hpp"

namespace tj {

// Reads the file to its end. Errors carry the system error text.
Result<std::string> read_file(const std::string& path);

// One open (write-only, create, truncate), one write of all of `text`, one
// close: the way kernel control files such as uid_map must be written.
// Errors carry the system error text.
Result<> write_file(const std::string& path, std::string_view text);

}  // namespace tj
