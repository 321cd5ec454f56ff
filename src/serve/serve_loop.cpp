#include "serve/serve_loop.hpp"

#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <type_traits>
#include <vector>

#include <boost/json/string.hpp>

#include "exec/run_once.hpp"
#include "exec/supervise.hpp"
#include "fatal.hpp"
#include "line_reader.hpp"
#include "reply.hpp"
#include "serve/background_start.hpp"
#include "serve/child_queries.hpp"
#include "serve/request.hpp"
#include "utf8.hpp"

namespace tj {
namespace {

class Server {
  public:
    Server(const std::string& cwd, bool in_jail, std::optional<int> interrupt_fd)
        : cwd_(cwd), in_jail_(in_jail), interrupt_fd_(interrupt_fd) {}

    void handle(const RunRequest& request);
    void handle(const BackgroundRequest& request);
    void handle(const StatusRequest& request);
    void handle(const StopRequest& request);
    [[noreturn]] void end_of_input();

  private:
    // Only inside the jail can a snapshot tell a command's orphans apart.
    PidSnapshot snapshot() const { return in_jail_ ? snapshot_pids() : PidSnapshot{}; }
    void reply(std::span<const ReplyField> fields);
    void forget(pid_t pid);

    const std::string& cwd_;
    const bool in_jail_;
    const std::optional<int> interrupt_fd_;
    std::vector<TrackedChild> tracked_;
};

void execution_failure(std::string_view error) {
    std::string text = "child execution failed: ";
    text += error;
    auto written = write_reply({{"exec_failed", true},
                                {"returncode", 127},
                                {"stderr", boost::json::string(text)},
                                {"stdout", ""}});
    if (!written) fatal_exit("serve: the request channel is gone");
}

void Server::reply(std::span<const ReplyField> fields) {
    auto written = write_reply(fields);
    if (!written) execution_failure(written.error().text);
}

// Outside the jail an entry only serves the kill at the end of input, which
// skips pids that are no longer children; dropping those entries keeps a long
// session's list as short as the set of commands still answered for. Inside,
// a stop after the status still sweeps with the entry's snapshot; the entry
// goes when the next command is tracked (track_child) or a sweep prunes it.
void Server::forget(pid_t pid) {
    if (in_jail_) return;
    auto it = std::ranges::find(tracked_, pid, &TrackedChild::pid);
    if (it != tracked_.end()) tracked_.erase(it);
}

void Server::handle(const RunRequest& request) {
    PidSnapshot before = snapshot();
    auto ran = run_once(request.child.spec, cwd_, interrupt_fd_);
    if (!ran) return execution_failure(ran.error().text);
    if (*ran) track_child(tracked_, **ran, std::move(before));
}

void Server::handle(const BackgroundRequest& request) {
    PidSnapshot before = snapshot();
    if (request.child.spec.argv.empty()) return execution_failure("empty argv");
    auto pid = start_background(request.child.spec, cwd_);
    if (!pid) return execution_failure(pid.error().text);
    auto written = write_reply({{"pid", *pid}, {"returncode", 0}, {"stderr", ""}, {"stdout", ""}});
    // Unreported, the command cannot be asked for: it runs on untracked.
    if (!written) return execution_failure(written.error().text);
    track_child(tracked_, *pid, std::move(before));
}

void Server::handle(const StatusRequest& request) {
    StatusOutcome outcome = query_status(request.pid);
    if (outcome.gone) forget(request.pid);
    reply(outcome.fields());
}

void Server::handle(const StopRequest& request) {
    StopOutcome outcome = stop_child(request.pid);
    if (outcome.gone) forget(request.pid);
    std::optional<std::vector<pid_t>> survivors;
    if (in_jail_) survivors = sweep_survivors(tracked_, request.pid);
    reply(outcome.fields(survivors));
}

void Server::end_of_input() {
    // In the jail the init's exit takes every process of its PID namespace along.
    if (!in_jail_) {
        std::vector<pid_t> pids;
        pids.reserve(tracked_.size());
        for (const TrackedChild& child : tracked_) pids.push_back(child.pid);
        kill_tracked_children(pids);
    }
    // _exit: reader threads of backgrounded runs may still be writing logs.
    _exit(0);
}

// The next request line, or nothing at the end of input.
std::optional<std::string> next_line() {
    auto line = stdin_reader().read_line();
    if (!line && line.error().err == EBADF) return std::nullopt;
    if (!line) fatal_exit("serve: reading request failed: " + line.error().text);
    if (*line && !valid_utf8(**line)) {
        fatal_exit("serve: reading request failed: stream did not contain valid UTF-8");
    }
    return std::move(*line);
}

}  // namespace

void serve_loop(const std::string& cwd, bool in_jail, std::optional<int> interrupt_fd) {
    // Start: announce readiness.
    if (!write_reply({{"ready", true}})) fatal_exit("serve: the request channel is gone");
    Server server(cwd, in_jail, interrupt_fd);
    // Main loop: one request line at a time, blank lines unanswered.
    while (std::optional<std::string> line = next_line()) {
        if (is_blank(*line)) continue;
        auto request = parse_request(*line);
        if (!request) fatal_exit("serve: invalid request JSON: " + request.error().text);
        std::visit([&](const auto& r) { server.handle(r); }, *request);
    }
    server.end_of_input();
}

}  // namespace tj
