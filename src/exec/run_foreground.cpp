#include "exec/run_foreground.hpp"

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>

#include "exec/child_steps.hpp"
#include "exec/command.hpp"
#include "exec/spawn.hpp"
#include "exec/stdin_pass.hpp"
#include "status_record.hpp"

namespace tj {
namespace {

bool is_terminal(int fd) {
    winsize size;
    return ioctl(fd, TIOCGWINSZ, &size) == 0;
}

// A status that ends the wait: the exit code for the launcher, or an error.
// nullopt means wait again.
Result<std::optional<int>> judge(pid_t pid, int status) {
    if (WIFEXITED(status)) return std::optional(WEXITSTATUS(status));
    int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (sig >= 1 && sig <= 31) return std::optional(128 + sig);
    if (WIFCONTINUED(status)) return std::nullopt;
    if (WIFSTOPPED(status)) {
        // ptrace event stops carry the event above the stop signal.
        if ((status >> 16) != 0 || WSTOPSIG(status) == (SIGTRAP | 0x80)) return std::nullopt;
        if (WSTOPSIG(status) >= 1 && WSTOPSIG(status) <= 31) {
            // Stopped (e.g. by a terminal signal): hand the terminal back and resume.
            give_terminal(STDIN_FILENO, pid);
            killpg(pid, SIGCONT);
            return std::nullopt;
        }
    }
    return fail_system(EINVAL);
}

Result<> wait_and_exit(pid_t pid, bool untraced) {
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, untraced ? WUNTRACED : 0) < 0) {
            if (errno == EINTR) continue;
            return fail_system();
        }
        auto code = judge(pid, status);
        if (!code) return std::unexpected(std::move(code.error()));
        if (*code) {
            write_status_end(status);
            _exit(**code);
        }
    }
}

}  // namespace

Result<> run_foreground(const RunSpec& spec, const std::string& cwd) {
    // 1. Nothing to run.
    if (spec.argv.empty()) return fail("empty argv");
    // 2. Tied to the launcher, confined, on the launcher's own streams; bytes
    //    read ahead of the policy line go to the command first.
    Command command = TJ_TRY(build_command(spec, cwd, true));
    add_capability_and_memory_step(command, memory_limit_bytes(spec.memory_limit_mb));
    CommandInput input = TJ_TRY(command_input());
    command.stdio = {input.fd, STDOUT_FILENO, STDERR_FILENO};
    // 3. On a terminal the command becomes its foreground group.
    bool terminal = is_terminal(input.fd);
    command.terminal_handover = terminal;
    // 4. Start it.
    pid_t pid = TJ_TRY(spawn(command));
    input.owned.reset();
    // 5. Exit with its status.
    return wait_and_exit(pid, terminal);
}

}  // namespace tj
