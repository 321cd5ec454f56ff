#include "exec/run_once.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <fmt/core.h>

#include "exec/capture_pipes.hpp"
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

struct Started {
    pid_t pid;
    CapturePipes pipes;
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

// Steps 2 to 4: spawn with null input and piped output, read by the wait.
Result<Started> start(const RunSpec& spec, const std::string& cwd) {
    Command command = TJ_TRY(build_command(spec, cwd, true));
    add_capability_and_memory_step(command, memory_limit_bytes(spec.memory_limit_mb));
    UniqueFd null_in = TJ_TRY(open_null_device(O_RDONLY));
    Pipe out = TJ_TRY(make_pipe());
    Pipe err = TJ_TRY(make_pipe());
    command.stdio = {null_in.get(), out.write.get(), err.write.get()};
    PidSnapshot before = snapshot_pids();
    pid_t pid = TJ_TRY(spawn(command));
    return Started{pid, CapturePipes(std::move(out.read), std::move(err.read)), std::move(before)};
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

// The pipes still open after the run was answered are read on, their bytes
// dropped: a process that kept one must not meet a closed pipe.
void read_on(Started& run) {
    (void)keep_reading(run.pipes.release(), UniqueFd());
}

Result<std::optional<pid_t>> finish(Started& run, bool timed_out) {
    int status = TJ_TRY(kill_and_reap(run.pid));
    int code = return_code(status, timed_out);
    bool drained = run.pipes.drain_until(Clock::now() + kReaderDrainWait);
    // Whatever the command left behind, in its group or not, goes before the
    // reply (after the drain: a pipe still held by then is reported).
    sweep_descendants(std::move(run.before));
    read_on(run);
    std::vector<std::string_view> notes;
    if (!drained) notes.push_back(kEndedEarlyLine);
    if (timed_out) notes.push_back(kTimeoutLine);
    const OutputCapture& capture = run.pipes.capture;
    const ReplyField fields[] = {{"returncode", code}};
    const StreamedText texts[] = {
        {"stderr",
         [&](TextSink& out) {
             emit_output(capture, kStderr, out);
             for (std::string_view note : notes) out(note);
         }},
        {"stdout", [&](TextSink& out) { emit_output(capture, kStdout, out); }},
    };
    TJ_TRY(write_reply(fields, texts));
    return std::nullopt;
}

// A command that cannot be handed over is not left running untracked: it,
// its group and what it left behind are killed and collected before the
// failure is reported.
std::unexpected<Error> abandon(Started& run, Error error) {
    (void)kill_and_reap(run.pid);
    sweep_descendants(run.before);
    read_on(run);
    return std::unexpected(std::move(error));
}

// Moves what was captured so far into a fresh log file, where the output
// goes on from then on, and reports the command running in the background.
Result<std::optional<pid_t>> hand_to_background(Started& run, const std::string& log_dir) {
    const OutputCapture& capture = run.pipes.capture;
    auto log = create_log_file(log_dir, run.pid);
    if (!log) return abandon(run, std::move(log.error()));
    auto moved =
        write_text(log->fd.get(), [&](TextSink& out) { emit_output(capture, kBothStreams, out); });
    if (moved) moved = keep_reading(run.pipes.release(), std::move(log->fd));
    if (!moved) return abandon(run, std::move(moved.error()));
    const ReplyField fields[] = {
        {"backgrounded", true},
        {"log", boost::json::string_view(log->path.data(), log->path.size())},
        {"pid", run.pid}};
    const StreamedText texts[] = {
        {"stderr", [&](TextSink& out) { emit_output(capture, kStderr, out); }},
        {"stdout", [&](TextSink& out) { emit_output(capture, kStdout, out); }},
    };
    // Unreported, nobody could ask for the command again.
    if (auto written = write_reply(fields, texts); !written) {
        return abandon(run, std::move(written.error()));
    }
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
    auto waited = wait_for_command(run.pid, wait_plan(spec, interrupt_fd), &run.pipes);
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
