// The policy record, and what one run needs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"

namespace tj {

using StringPairs = std::vector<std::pair<std::string, std::string>>;

struct Policy {
    std::string isolation = "strict";
    std::string cwd;
    std::vector<std::string> argv;
    StringPairs env;
    std::string network = "none";
    std::vector<std::string> extra_ro_paths;
    std::vector<std::string> extra_rw_paths;
    StringPairs grant_sources;  // (grant, source)
    std::vector<std::string> extra_device_paths;
    std::vector<std::string> tool_paths;
    std::vector<std::string> hide_paths;
    std::vector<std::string> extra_protect_paths;
    double timeout_s = 600;
    uint64_t memory_limit_mb = 0;
    std::string mode = "once";
};

// Parses one policy line. The error text carries " at line {} column {}".
Result<Policy> parse_policy(std::string_view line);

struct RunSpec {
    std::vector<std::string> argv;
    StringPairs env;
    std::string log_dir;  // empty: never handed to the background
    uint64_t memory_limit_mb = 0;
    double timeout_s = 0;  // <= 0: no limit
    double checkin_s = 0;  // <= 0: never
};

// The RunSpec every isolation path builds for modes once and exec.
RunSpec run_spec_from_policy(const Policy& policy);

// Byte limit for RLIMIT_DATA: 0 stays 0, above 2^44-1 MiB is unlimited.
uint64_t memory_limit_bytes(uint64_t memory_limit_mb);

}  // namespace tj
