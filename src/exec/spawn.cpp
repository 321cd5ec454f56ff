#include "exec/spawn.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string_view>

#include "exec/child_steps.hpp"
#include "exec/children.hpp"
#include "exec/pipe.hpp"

namespace tj {
namespace {

// What a failing child sends back before it exits.
enum class FailureKind : int32_t { system = 1, parent_gone = 2 };
struct ChildFailure {
    FailureKind kind;
    int32_t err;
};

// Pointer arrays for exec, built before fork: the child must not allocate.
struct ExecPlan {
    std::vector<std::string> candidates;  // program paths to try, in PATH order
    std::vector<const char*> argv;
    std::vector<const char*> envp;
    std::vector<const char*> sh_argv;  // "/bin/sh", slot for the script, argv[1..]
};

// Like execvp: a name without a slash is tried in each directory of the
// command's own PATH; an empty directory entry means the working directory.
std::vector<std::string> search_candidates(const std::string& program, std::string_view path) {
    if (program.empty() || program.find('/') != std::string::npos) return {program};
    std::vector<std::string> out;
    for (;;) {
        size_t colon = path.find(':');
        std::string_view dir = path.substr(0, colon);
        out.push_back(dir.empty() ? program : std::string(dir) + "/" + program);
        if (colon == std::string_view::npos) return out;
        path.remove_prefix(colon + 1);
    }
}

std::vector<const char*> pointers(const std::vector<std::string>& strings, size_t from = 0) {
    std::vector<const char*> out;
    out.reserve(strings.size() + 1);
    for (size_t i = from; i < strings.size(); ++i) out.push_back(strings[i].c_str());
    out.push_back(nullptr);
    return out;
}

ExecPlan plan_exec(const Command& command) {
    ExecPlan plan;
    plan.candidates = search_candidates(command.argv[0], command.search_path);
    plan.argv = pointers(command.argv);
    plan.envp = pointers(command.env);
    plan.sh_argv = pointers(command.argv, 1);
    plan.sh_argv.insert(plan.sh_argv.begin(), {"/bin/sh", nullptr});
    return plan;
}

// The child's stack: steps and the path search need little.
constexpr size_t kChildStack = 64 * 1024;

[[noreturn]] void child_fail(int report_fd, FailureKind kind, int err) {
    ChildFailure failure = {kind, err};
    // One write below PIPE_BUF is atomic; nothing to do if it fails.
    ssize_t ignored = write(report_fd, &failure, sizeof failure);
    (void)ignored;
    _exit(127);
}

// Moves `fd` out of 0..2 unless it already is `keep`, so that installing the
// standard descriptors cannot overwrite it.
int lift_fd(int fd, int keep) {
    if (fd < 0 || fd > 2 || fd == keep) return fd;
    return fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

// Every descriptor of the launcher is close-on-exec, its inherited 0..2 as
// well possibly; each target gets a fresh copy without the flag.
int install_stdio(const std::array<int, 3>& stdio, int& report_fd) {
    int lifted = lift_fd(report_fd, -1);
    if (lifted < 0) return errno;
    report_fd = lifted;
    int source[3];
    for (int i = 0; i < 3; ++i) {
        source[i] = lift_fd(stdio[i], i);
        if (source[i] < 0) return errno;
    }
    for (int i = 0; i < 3; ++i) {
        if (source[i] != i) {
            if (dup2(source[i], i) < 0) return errno;
        } else if (fcntl(i, F_SETFD, 0) < 0 && errno != EBADF) {
            return errno;
        }
    }
    return 0;
}

// Tries each candidate; keeps execvp's rules on which errors move on to the next.
int exec_program(ExecPlan& plan) {
    bool saw_eacces = false;
    int err = ENOENT;
    for (const auto& candidate : plan.candidates) {
        execve(candidate.c_str(), const_cast<char**>(plan.argv.data()),
               const_cast<char**>(plan.envp.data()));
        err = errno;
        if (err == ENOEXEC) {
            // A script without "#!": the shell reads it, as execvp does.
            plan.sh_argv[1] = candidate.c_str();
            execve(plan.sh_argv[0], const_cast<char**>(plan.sh_argv.data()),
                   const_cast<char**>(plan.envp.data()));
            return ENOEXEC;
        }
        if (err == EACCES) {
            saw_eacces = true;
        } else if (err != ENOENT && err != ENOTDIR && err != ESTALE && err != ENODEV &&
                   err != ETIMEDOUT) {
            return err;
        }
    }
    return saw_eacces ? EACCES : err;
}

// The child shares the launcher's memory until exec: a handler the launcher
// installed must not run in it, so every caught signal goes back to its
// default (glibc refuses its two internal signals, which nobody sends here).
// SIGPIPE, ignored by the launcher, is the command's to take by default again.
// The dispositions are read once, in the parent: the launcher sets all of its
// own before it starts anything, and the child then makes one call per signal
// to reset instead of two per signal number.
struct SignalResets {
    int count = 0;
    int signals[NSIG];
};

const SignalResets& signal_resets() {
    static const SignalResets resets = [] {
        SignalResets found;
        for (int sig = 1; sig < NSIG; ++sig) {
            struct sigaction current;
            if (sigaction(sig, nullptr, &current) != 0) continue;
            bool caught = current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN;
            if (caught || (sig == SIGPIPE && current.sa_handler == SIG_IGN))
                found.signals[found.count++] = sig;
        }
        return found;
    }();
    return resets;
}

int reset_signals(const SignalResets& resets) {
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    for (int i = 0; i < resets.count; ++i) sigaction(resets.signals[i], &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    return sigprocmask(SIG_SETMASK, &none, nullptr) == 0 ? 0 : errno;
}

int confine(const Command& command) {
    if (int err = drop_all_capabilities()) return err;
    if (command.memory_limit_bytes == 0) return 0;
    return limit_data_segment(command.memory_limit_bytes);
}

struct ChildArgs {
    const Command* command;
    ExecPlan* plan;
    const SignalResets* signals;
    int report_fd;
    pid_t parent;
};

// Runs on its own small stack in the launcher's memory; see spawn().
int child_main(void* raw) {
    const ChildArgs& args = *static_cast<ChildArgs*>(raw);
    const Command& command = *args.command;
    int report_fd = args.report_fd;
    auto check = [&](int err) {
        if (err != 0) child_fail(report_fd, FailureKind::system, err);
    };
    // Before the death signal, which then stops the command for the keeper to
    // find, and while SIGPIPE is still ignored: a keeper gone fails the start.
    if (command.announce_fd >= 0) {
        int32_t pid = getpid();
        check(write(command.announce_fd, &pid, sizeof pid) == sizeof pid ? 0 : errno);
    }
    // Signals next: everything was blocked around the clone.
    check(reset_signals(*args.signals));
    check(install_stdio(command.stdio, report_fd));
    check(chdir(command.cwd.c_str()) == 0 ? 0 : errno);
    // A group of its own; off a terminal, a session of its own too, so that
    // no job-control SIGHUP and SIGCONT reach the group when the launcher's
    // threads end one by one, each firing the death signal.
    if (command.terminal_handover)
        check(setpgid(0, 0) == 0 ? 0 : errno);
    else
        check(setsid() >= 0 ? 0 : errno);
    // Into the launcher's group before anything can be started from here.
    if (command.cgroup_procs_fd >= 0)
        check(write(command.cgroup_procs_fd, "0", 1) == 1 ? 0 : errno);
    if (command.death_tie) {
        check(set_death_signal(command.announce_fd >= 0 ? SIGSTOP : SIGKILL));
        if (getppid() != args.parent) child_fail(report_fd, FailureKind::parent_gone, 0);
    }
    if (command.drop_capabilities) check(confine(command));
    if (command.terminal_handover) {
        int err = give_terminal(STDIN_FILENO, getpid());
        if (err != ENOTTY) check(err);
    }
    child_fail(report_fd, FailureKind::system, exec_program(*args.plan));
}

// Blocks until exec closes the report pipe or the child reports its failure.
Result<> await_exec(int report_fd, pid_t pid) {
    ChildFailure failure;
    ssize_t n;
    do {
        n = read(report_fd, &failure, sizeof failure);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return {};
    int read_err = errno;
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (n != static_cast<ssize_t>(sizeof failure)) return fail_system(n < 0 ? read_err : EIO);
    if (failure.kind == FailureKind::parent_gone) {
        return fail("parent died before the death-signal tie landed");
    }
    return fail_system(failure.err);
}

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
// Sanitizer builds only: the sanitizers cannot follow a child that runs
// instrumented code on the parent's memory. ThreadSanitizer books the child's
// accesses to the parent's thread and reports races against the reader
// threads; AddressSanitizer leaves the child's stack poisoned in the shadow
// the two share, and a later use of that stack by the parent trips it. So
// these builds start the child with a plain fork. The steps, the report pipe
// and the result are the same; only the copy of the address space costs more.
pid_t start_child(ChildArgs& args) {
    pid_t pid = fork();
    if (pid == 0) _exit(child_main(&args));
    return pid;
}
#else
pid_t start_child(ChildArgs& args) {
    alignas(16) char stack[kChildStack];  // the caller sleeps meanwhile
    return clone(child_main, stack + sizeof stack, CLONE_VM | CLONE_VFORK | SIGCHLD, &args);
}
#endif

}  // namespace

// The child is started like vfork: it shares the launcher's memory and the
// launcher's thread sleeps until exec or exit. Nothing is copied, so a
// start costs the same however much memory the launcher holds, and the child
// touches only its own stack and the prepared plan. All signals stay blocked
// across the clone so that no handler can run on the child's borrowed memory
// before it resets them.
Result<pid_t> spawn(const Command& command) {
    ExecPlan plan = plan_exec(command);
    auto [report_read, report_write] = TJ_TRY(make_pipe());
    ChildArgs args = {&command, &plan, &signal_resets(), report_write.get(), getpid()};
    auto noted = lock_children();
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    pid_t pid = start_child(args);
    int err = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) return fail_system(err);
    report_write.reset();
    TJ_TRY(await_exec(report_read.get(), pid));
    note_started_child(pid);
    return pid;
}

Result<UniqueFd> open_null_device(int flags) {
    int fd = open("/dev/null", flags | O_CLOEXEC);
    if (fd < 0) return std::unexpected(fail_system().error().wrap("/dev/null"));
    return UniqueFd(fd);
}

}  // namespace tj
