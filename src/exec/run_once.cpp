#include "exec/run_once.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>

#include <fmt/core.h>

#include "exec/capture.hpp"
#include "exec/children.hpp"
#include "exec/command.hpp"
#include "exec/log_file.hpp"
#include "exec/pipe.hpp"
#include "exec/spawn.hpp"
#include "exec/supervise.hpp"
#include "exec/wait_loop.hpp"
#include "line_reader.hpp"
#include "reply.hpp"

namespace tj {
namespace {

constexpr int kTimeoutReturnCode = 124;
constexpr auto kReaderDrainWait = std::chrono::seconds(2);
constexpr std::string_view kEndedEarlyLine =
    "\n[tarrow-jail] output capture ended early: a process outside the command's group still "
    "holds its pipe";
constexpr std::string_view kTimeoutLine = "\n[tarrow-jail] timeout";

// The text as a JSON value; the string is released at once, so that a large
// output is held twice at most while the reply is built.
boost::json::value json_text(std::string text) {
    return boost::json::string_view(text.data(), text.size());
}

struct Started {
    pid_t pid;
    std::shared_ptr<SharedCapture> shared;
    PidSnapshot before;  // /proc just before the start: nothing in it is the command's
};

// Kills the command, which may have left its group, and the whole group,
// then collects the command's status: the wait ends with the kill, never
// with the command's own end.
Result<int> kill_and_reap(pid_t pid) {
    // Not reaped yet, so neither id can have been reused.
    kill_child_and_group(pid);
    int status = 0;
    while (collect_child(pid, &status, 0) < 0) {
        if (errno != EINTR) return fail_errno();
    }
    return status;
}

// A limit this far away never fires; larger values (up to infinity) would
// overflow the clock's representation.
constexpr double kFarAway = 1e9;

std::optional<Clock::time_point> after(Clock::time_point begin, double s) {
    if (!(s > 0) || s >= kFarAway) return std::nullopt;
    return begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// Steps 2 to 4: spawn with null input and piped output, readers on the pipes.
Result<Started> start(const RunSpec& spec, const std::string& cwd) {
    Command command = TJ_TRY(build_command(spec, cwd, true));
    add_capability_and_memory_step(command, memory_limit_bytes(spec.memory_limit_mb));
    UniqueFd null_in = TJ_TRY(open_null_device(O_RDONLY));
    Pipe out = TJ_TRY(make_pipe());
    Pipe err = TJ_TRY(make_pipe());
    command.stdio = {null_in.get(), out.write.get(), err.write.get()};
    PidSnapshot before = snapshot_pids();
    pid_t pid = TJ_TRY(spawn(command));
    out.write.reset();
    err.write.reset();
    auto shared = std::make_shared<SharedCapture>();
    auto started = start_reader(shared, std::move(out.read), kStdout);
    if (started) started = start_reader(shared, std::move(err.read), kStderr);
    if (!started) {
        (void)kill_and_reap(pid);
        sweep_descendants(std::move(before));
        return std::unexpected(std::move(started.error()));
    }
    return Started{pid, std::move(shared), std::move(before)};
}

WaitPlan wait_plan(const RunSpec& spec, std::optional<int> interrupt_fd) {
    Clock::time_point begin = Clock::now();
    WaitPlan plan;
    plan.timeout_at = after(begin, spec.timeout_s);
    if (spec.checkin_s > 0 && !spec.log_dir.empty()) {
        plan.may_background = true;
        plan.checkin_at = after(begin, spec.checkin_s);
        plan.interrupt_fd = interrupt_fd.value_or(-1);
    }
    return plan;
}

int return_code(int status, bool timed_out) {
    if (timed_out) return kTimeoutReturnCode;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Marks the capture as answered: nothing retained is read again.
void stop_retaining(OutputCapture& capture) {
    capture.clear_retained();
    capture.retaining = false;
}

// Renders both streams and stops retaining. The chunks were allocated by the
// reader threads, in their own malloc arenas, which keep freed memory; trimming
// hands it back before the reply needs room for the same text again.
std::pair<std::string, std::string> take_output(SharedCapture& shared) {
    std::pair<std::string, std::string> out;
    {
        std::lock_guard lock(shared.mutex);
        out = {render_output(shared.capture, kStdout), render_output(shared.capture, kStderr)};
        stop_retaining(shared.capture);
    }
    malloc_trim(0);
    return out;
}

Result<std::optional<pid_t>> finish(Started& run, bool timed_out) {
    int status = TJ_TRY(kill_and_reap(run.pid));
    int code = return_code(status, timed_out);
    int finished = wait_for_readers(*run.shared, 2, Clock::now() + kReaderDrainWait);
    // Whatever the command left behind, in its group or not, goes before the
    // reply (after the drain: a pipe still held by then is reported).
    sweep_descendants(std::move(run.before));
    auto [out, err] = take_output(*run.shared);
    if (finished < 2) err += kEndedEarlyLine;
    if (timed_out) err += kTimeoutLine;
    boost::json::value out_json = json_text(std::move(out));
    boost::json::value err_json = json_text(std::move(err));
    TJ_TRY(write_reply(
        {{"returncode", code}, {"stderr", std::move(err_json)}, {"stdout", std::move(out_json)}}));
    return std::nullopt;
}

// Moves what was captured so far into a fresh log file and makes the readers
// append there; the command keeps running. Returns the file's path.
Result<std::string> switch_to_log(SharedCapture& shared, const std::string& log_dir, pid_t pid) {
    LogFile log = TJ_TRY(create_log_file(log_dir, pid));
    std::lock_guard lock(shared.mutex);
    TJ_TRY(write_all(log.fd.get(), render_output(shared.capture, kBothStreams)));
    shared.capture.clear_retained();
    shared.capture.log_fd = std::move(log.fd);
    return std::move(log.path);
}

// A command that cannot be handed over is not left running untracked: it,
// its group and what it left behind are killed and collected before the
// failure is reported.
std::unexpected<Error> abandon(const Started& run, Error error) {
    (void)kill_and_reap(run.pid);
    sweep_descendants(run.before);
    std::lock_guard lock(run.shared->mutex);
    stop_retaining(run.shared->capture);
    return std::unexpected(std::move(error));
}

Result<std::optional<pid_t>> hand_to_background(const Started& run, const std::string& log_dir) {
    std::string out, err;
    {
        std::lock_guard lock(run.shared->mutex);
        out = render_output(run.shared->capture, kStdout);
        err = render_output(run.shared->capture, kStderr);
    }
    auto path = switch_to_log(*run.shared, log_dir, run.pid);
    if (!path) return abandon(run, std::move(path.error()));
    malloc_trim(0);  // the retained chunks went to the log file
    auto written = write_reply({{"backgrounded", true},
                                {"log", json_text(std::move(*path))},
                                {"pid", run.pid},
                                {"stderr", json_text(std::move(err))},
                                {"stdout", json_text(std::move(out))}});
    // Unreported, nobody could ask for the command again.
    if (!written) return abandon(run, std::move(written.error()));
    return run.pid;
}

}  // namespace

Result<std::optional<pid_t>> run_once(const RunSpec& spec, const std::string& cwd,
                                      std::optional<int> interrupt_fd) {
    // 1. Nothing to run.
    if (spec.argv.empty()) return fail("empty argv");
    // 2-4. Spawn the command and capture its output.
    Started run = TJ_TRY(start(spec, cwd));
    // 5. Wait for its end, the time limit, the check-in time or an interrupt.
    auto waited = wait_for_command(run.pid, wait_plan(spec, interrupt_fd));
    // A command that cannot be probed is not reported as killed: the probe's
    // failure is the run's error, after the group kill.
    if (!waited) return abandon(run, Error{waited.error(), errno_text(waited.error())});
    switch (*waited) {
        case WaitEnd::ended:
            return finish(run, false);
        case WaitEnd::timed_out:
            return finish(run, true);
        case WaitEnd::background:
            break;
    }
    return hand_to_background(run, spec.log_dir);
}

}  // namespace tj
