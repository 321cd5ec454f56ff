#include "exec/wait_loop.hpp"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "exec/pidfd.hpp"
#include "exec/supervise.hpp"

namespace tj {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr size_t kInterruptReadSize = 64;
// A descriptor that never runs dry (/dev/zero, a flooding writer) must not hold
// the run: the drain stops after this much.
constexpr size_t kInterruptDrainLimit = 4096;

enum class Interrupt { none, arrived };

// Reads the descriptor empty, up to a bound; any bytes at all ask for the
// background.
Interrupt drain_interrupt(int fd) {
    char buf[kInterruptReadSize];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return Interrupt::none;
    for (size_t drained = static_cast<size_t>(n); drained < kInterruptDrainLimit;) {
        n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        drained += static_cast<size_t>(n);
    }
    return Interrupt::arrived;
}

timespec to_timespec(Clock::duration d) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(d, Clock::duration{}));
    return {static_cast<time_t>(ns.count() / 1000000000),
            static_cast<long>(ns.count() % 1000000000)};
}

// Sleeps until `until`, waking early when one of `fds` becomes ready; returns
// the revents of the last entry.
short pause_until(Clock::time_point until, pollfd* fds, nfds_t count) {
    timespec timeout = to_timespec(until - Clock::now());
    int ready = ppoll(fds, count, &timeout, nullptr);
    if (ready < 0 && errno != EINTR) {
        // Nothing to wait on after all: keep the loop's pace with a plain sleep.
        timespec left = to_timespec(until - Clock::now());
        clock_nanosleep(CLOCK_MONOTONIC, 0, &left, nullptr);
    }
    return ready > 0 && count > 0 ? fds[count - 1].revents : 0;
}

}  // namespace

std::expected<WaitEnd, int> wait_for_command(pid_t pid, const WaitPlan& plan, WaitClient* client) {
    UniqueFd pidfd = open_pidfd(pid);
    // A descriptor that polls ready but yields nothing (end of file, error)
    // would turn the pause into a busy loop: it is then only read between pauses.
    bool watch_interrupt = plan.may_background && plan.interrupt_fd >= 0;
    bool interrupt_ready = false;
    // The probes run when the pidfd or the interrupt descriptor woke the
    // pause, or when the pace is due: output on the client's descriptors
    // alone wakes the loop for reading only.
    bool woken = true;
    Clock::time_point next_check{};
    for (;;) {
        Clock::time_point now = Clock::now();
        bool check = woken || !pidfd || now >= next_check;
        if (check) {
            auto state = probe_child(pid);
            if (!state) return std::unexpected(state.error());
            if (*state == ChildState::ended) return WaitEnd::ended;
        }
        if (plan.timeout_at && now >= *plan.timeout_at) return WaitEnd::timed_out;
        if (plan.may_background) {
            if (plan.checkin_at && now >= *plan.checkin_at) return WaitEnd::background;
            if (check && plan.interrupt_fd >= 0 &&
                drain_interrupt(plan.interrupt_fd) == Interrupt::arrived) {
                return WaitEnd::background;
            }
            if (check && interrupt_ready) watch_interrupt = false;
        }
        if (check) next_check = now + kPollInterval;
        Clock::time_point until = next_check;
        if (plan.timeout_at) until = std::min(until, *plan.timeout_at);
        if (plan.checkin_at) until = std::min(until, *plan.checkin_at);
        pollfd fds[WaitClient::kMaxEntries + 2];
        size_t served = client != nullptr ? client->poll_entries(fds) : 0;
        nfds_t count = served;
        if (pidfd) fds[count++] = {pidfd.get(), POLLIN, 0};
        if (watch_interrupt) fds[count++] = {plan.interrupt_fd, POLLIN, 0};
        short revents = pause_until(until, fds, count);
        interrupt_ready = watch_interrupt && revents != 0;
        woken = interrupt_ready || (pidfd && fds[served].revents != 0);
        if (served != 0) client->serve(fds, served);
    }
}

}  // namespace tj
