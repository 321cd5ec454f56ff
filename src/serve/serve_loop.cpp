#include "serve/serve_loop.hpp"

#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <type_traits>
#include <vector>

#include <boost/json/string.hpp>

#include "exec/children.hpp"
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
    // Orphans come back to the server in every isolation (PID 1 of the jail,
    // a child subreaper outside it); a snapshot tells whose they are.
    static PidSnapshot snapshot() { return snapshot_pids(); }
    void reply(std::span<const ReplyField> fields);
    void reap_orphans_from_now_on();
    void forget(pid_t pid);

    const std::string& cwd_;
    const bool in_jail_;
    const std::optional<int> interrupt_fd_;
    std::vector<TrackedChild> tracked_;
    bool reaping_ = false;
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

// Ended orphans are collected at once, for as long as the server runs. The
// thread starts with the first command, the first that can leave orphans, so
// a server that has started nothing runs no thread (and the first command
// takes the first free pid, as every jail numbers it).
void Server::reap_orphans_from_now_on() {
    if (reaping_) return;
    if (auto started = start_orphan_reaper(); !started)
        fatal_exit("serve: orphan reaper failed: " + started.error().text);
    reaping_ = true;
}

void Server::handle(const RunRequest& request) {
    PidSnapshot before = snapshot();
    auto ran = run_once(request.child.spec, cwd_, interrupt_fd_);
    reap_orphans_from_now_on();
    if (!ran) return execution_failure(ran.error().text);
    if (*ran) track_child(tracked_, **ran, std::move(before));
}

void Server::handle(const BackgroundRequest& request) {
    PidSnapshot before = snapshot();
    if (request.child.spec.argv.empty()) return execution_failure("empty argv");
    auto pid = start_background(request.child.spec, cwd_);
    if (!pid) return execution_failure(pid.error().text);
    reap_orphans_from_now_on();
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
    // The sweep drops the entry. Outside the jail it is the same, but its
    // findings are not reported.
    std::optional<std::vector<pid_t>> survivors = sweep_survivors(tracked_, request.pid);
    if (!in_jail_) survivors.reset();
    reply(outcome.fields(survivors));
}

void Server::end_of_input() {
    // In the jail the init's exit takes every process of its PID namespace along.
    if (!in_jail_) {
        std::vector<pid_t> pids;
        pids.reserve(tracked_.size());
        for (const TrackedChild& child : tracked_) pids.push_back(child.pid);
        kill_tracked_children(pids);
        // And whatever those commands or earlier runs left behind.
        sweep_descendants({});
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
    if (auto blocked = block_child_signal(); !blocked)
        fatal_exit("serve: orphan reaper failed: " + blocked.error().text);
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
