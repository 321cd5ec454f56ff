// The runner's wait for a command: its end, the time limit, the check-in time
// and the interrupt descriptor, all observed by one loop.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <expected>
#include <optional>

namespace tj {

using Clock = std::chrono::steady_clock;

enum class WaitEnd { ended, timed_out, background };

struct WaitPlan {
    std::optional<Clock::time_point> timeout_at;
    bool may_background = false;  // a check-in time and a log directory were given
    std::optional<Clock::time_point> checkin_at;
    int interrupt_fd = -1;  // non-blocking; read only when the run may be backgrounded
};

// Checks, in this order and at least every 50 ms: the command has ended (left
// collectable), the time limit has passed, the check-in time has passed or
// bytes arrived on the interrupt descriptor. Between checks it blocks on the
// command's pidfd and the interrupt descriptor, so either is seen at once.
// Fails with the errno of a failed probe of the command.
std::expected<WaitEnd, int> wait_for_command(pid_t pid, const WaitPlan& plan);

}  // namespace tj
