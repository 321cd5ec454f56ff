// The launcher's command line: descriptor options and the holder switch.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "error.hpp"

namespace tj {

struct LaunchOptions {
    std::optional<int> userns_fd;
    std::optional<int> netns_fd;
    std::optional<int> policy_fd;
    std::optional<int> interrupt_fd;
    std::optional<int> status_fd;  // where the enforcement record goes
};

// The first occurrence of `name` and the number after it: absent, a
// descriptor above 2, or an error "{name} needs a file descriptor number above 2".
Result<std::optional<int>> parse_fd_option(const std::vector<std::string>& args,
                                           const std::string& name);

// The descriptor options in their order of checking; the first bad one fails.
Result<LaunchOptions> parse_launch_options(const std::vector<std::string>& args);

}  // namespace tj
