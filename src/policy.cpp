#include "policy.hpp"

#include <limits>

namespace tj {

RunSpec run_spec_from_policy(const Policy& policy) {
    return RunSpec{
        .argv = policy.argv,
        .env = policy.env,
        .log_dir = {},
        .memory_limit_mb = policy.memory_limit_mb,
        .timeout_s = policy.timeout_s,
        .checkin_s = 0,
    };
}

uint64_t memory_limit_bytes(uint64_t memory_limit_mb) {
    constexpr uint64_t kMaxMb = (uint64_t{1} << 44) - 1;
    if (memory_limit_mb > kMaxMb) return std::numeric_limits<uint64_t>::max();
    return memory_limit_mb * 1048576;
}

}  // namespace tj
