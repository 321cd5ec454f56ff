#include "serve/child_queries.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>

#include <chrono>

#include <fmt/core.h>
#include <boost/json/array.hpp>
#include <boost/json/string.hpp>

#include "error.hpp"
#include "exec/children.hpp"
#include "exec/pidfd.hpp"
#include "exec/supervise.hpp"

namespace tj {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStopGrace = std::chrono::seconds(5);
constexpr auto kStopPoll = std::chrono::milliseconds(20);

std::optional<int> code_of(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return std::nullopt;
}

boost::json::value json_code(const std::optional<int>& code) {
    return code ? boost::json::value(*code) : boost::json::value(nullptr);
}

pid_t wait_nohang(pid_t pid, int& status) {
    pid_t got;
    do {
        got = collect_child(pid, &status, WNOHANG);
    } while (got < 0 && errno == EINTR);
    return got;
}

void sleep_until(Clock::time_point until) {
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now());
    if (left.count() <= 0) return;
    timespec ts = {static_cast<time_t>(left.count() / 1000000000),
                   static_cast<long>(left.count() % 1000000000)};
    // A relative sleep returns the time left when a signal cuts it short.
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Waits for the killed command to become collectable, at most until
// `deadline`. The pidfd wakes the server the moment the command dies; without
// one (kernel before 5.3, or a filter refusing the call) it polls every 20 ms.
class EndWatch {
  public:
    explicit EndWatch(pid_t pid) : pidfd_(open_pidfd(pid)) {}

    void pause(Clock::time_point deadline) {
        if (!pidfd_) return sleep_until(std::min(deadline, Clock::now() + kStopPoll));
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd fd = {pidfd_.get(), POLLIN, 0};
        bool readable = poll(&fd, 1, static_cast<int>(std::max<long>(left.count(), 0))) > 0;
        // Readable twice although waitpid found nothing in between (a tracer
        // holds the end back, say): polling again would spin, so sleep instead.
        if (readable && seen_readable_) pidfd_.reset();
        seen_readable_ = readable;
    }

  private:
    UniqueFd pidfd_;
    bool seen_readable_ = false;
};

StatusOutcome failed_status(int err) {
    return {.error = errno_text(err), .gone = err == ECHILD};
}
StopOutcome failed_stop(int err) {
    return {.error = errno_text(err), .gone = err == ECHILD};
}

}  // namespace

std::vector<ReplyField> StatusOutcome::fields() const {
    if (error)
        return {
            {"error", boost::json::string(*error)}, {"returncode", nullptr}, {"running", false}};
    return {{"returncode", json_code(returncode)}, {"running", running}};
}

StatusOutcome query_status(pid_t pid) {
    // waitpid reads 0 and below as "any child of a group": another command's
    // end would be collected and reported for this one.
    if (pid <= 0) return failed_status(EINVAL);
    int status = 0;
    pid_t got = wait_nohang(pid, status);
    if (got < 0) return failed_status(errno);
    // Stops, continues and trace events leave the command running.
    if (got == 0 || (!WIFEXITED(status) && !WIFSIGNALED(status))) return {.running = true};
    return {.returncode = code_of(status), .gone = true};
}

std::vector<ReplyField> StopOutcome::fields(
    const std::optional<std::vector<pid_t>>& survivors) const {
    std::vector<ReplyField> out;
    if (error) out.emplace_back("error", boost::json::string(*error));
    if (!error) out.emplace_back("returncode", json_code(returncode));
    out.emplace_back("stopped", stopped);
    if (survivors)
        out.emplace_back("survivors", boost::json::array(survivors->begin(), survivors->end()));
    return out;
}

StopOutcome stop_child(pid_t pid) {
    // 1. Only a child of the server that is not yet collected is signalled:
    //    its pid, and so its group id, cannot have been reused.
    auto probe = probe_child(pid);
    if (!probe && probe.error() == ECHILD) return {.stopped = true, .gone = true};
    if (!probe) return {.error = errno_text(probe.error())};
    // 2. The whole group, and the command itself should it have left it.
    kill_child_and_group(pid);
    // 3-4. Collect it within five seconds.
    const Clock::time_point deadline = Clock::now() + kStopGrace;
    EndWatch watch(pid);
    for (;;) {
        int status = 0;
        pid_t got = wait_nohang(pid, status);
        if (got > 0) return {.returncode = code_of(status), .stopped = true, .gone = true};
        if (got < 0) return failed_stop(errno);
        if (Clock::now() >= deadline) {
            return {.error = fmt::format("pid {} did not exit within 5s of SIGKILL", pid)};
        }
        watch.pause(deadline);
    }
}

}  // namespace tj
