#pragma once

#include <string_view>

namespace tj {

// "tarrow-jail: {message}" on standard error, exit status 2.
[[noreturn]] void fatal_exit(std::string_view message);

}  // namespace tj
