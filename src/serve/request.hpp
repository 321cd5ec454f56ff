// Serve-mode requests: one JSON object (or array) per line.
#pragma once

#include <cstdint>
#include <string_view>
#include <variant>

#include "error.hpp"
#include "policy.hpp"

namespace tj {

// Payload of "run" and "background"; the keys carry the RunSpec field names.
struct ChildRequest {
    RunSpec spec;  // log_dir, timeout_s (default 600) and checkin_s as sent
};

struct RunRequest {
    ChildRequest child;
};
struct BackgroundRequest {
    ChildRequest child;
};
struct StatusRequest {
    int32_t pid;
};
struct StopRequest {
    int32_t pid;
};

using Request = std::variant<RunRequest, BackgroundRequest, StatusRequest, StopRequest>;

// The error text carries " at line {} column {}"; the serve loop prints it as
// "serve: invalid request JSON: {}".
Result<Request> parse_request(std::string_view line);

}  // namespace tj
