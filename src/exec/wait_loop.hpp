// The runner's wait for a command: its end, the time limit, the check-in time
// and the interrupt descriptor, all observed by one loop.
#pragma once

#include <poll.h>
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

// Descriptors served by the same wait, such as a captured run's output pipes.
class WaitClient {
  public:
    static constexpr size_t kMaxEntries = 2;
    // Fills at most kMaxEntries entries; returns how many.
    virtual size_t poll_entries(pollfd* fds) = 0;
    // Handles those entries once the poll has set their events.
    virtual void serve(const pollfd* fds, size_t count) = 0;

  protected:
    ~WaitClient() = default;
};

// Checks, in this order and at least every 50 ms: the command has ended (left
// collectable), the time limit has passed, the check-in time has passed or
// bytes arrived on the interrupt descriptor. Between checks it blocks on the
// command's pidfd, the interrupt descriptor and the client's descriptors, so
// each is seen at once; the client is served after every pause.
// Fails with the errno of a failed probe of the command.
std::expected<WaitEnd, int> wait_for_command(pid_t pid, const WaitPlan& plan,
                                             WaitClient* client = nullptr);

}  // namespace tj
