// The runner's wait on real children: which condition ends it, and that an
// interrupt descriptor at end of file does not turn the wait into a spin.
#include "exec/wait_loop.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "exec/pipe.hpp"
#include "exec/run_once.hpp"
#include "exec/spawn.hpp"

namespace tj {
namespace {

using namespace std::chrono_literals;

pid_t start(const std::string& seconds) {
    RunSpec spec;
    spec.argv = {"sleep", seconds};
    return *spawn(*build_command(spec, "/", true));
}

void end(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

double thread_cpu_seconds() {
    rusage usage;
    getrusage(RUSAGE_THREAD, &usage);
    auto s = [](timeval t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return s(usage.ru_utime) + s(usage.ru_stime);
}

Pipe interrupt_pipe() {
    Pipe pipe = *make_pipe();
    fcntl(pipe.read.get(), F_SETFL, O_NONBLOCK);
    return pipe;
}

TEST(WaitLoop, EndsOnTheFirstConditionThatHolds) {
    struct Case {
        const char* what;
        const char* sleep;
        std::optional<Clock::duration> timeout, checkin;
        WaitEnd end;
    };
    const Case cases[] = {
        {"command ends", "0", std::nullopt, std::nullopt, WaitEnd::ended},
        {"time limit", "5", 100ms, std::nullopt, WaitEnd::timed_out},
        {"check-in", "5", std::nullopt, 100ms, WaitEnd::background},
        {"time limit before check-in", "5", 100ms, 10s, WaitEnd::timed_out},
    };
    for (const auto& c : cases) {
        pid_t pid = start(c.sleep);
        WaitPlan plan;
        auto now = Clock::now();
        if (c.timeout) plan.timeout_at = now + *c.timeout;
        plan.may_background = c.checkin.has_value();
        if (c.checkin) plan.checkin_at = now + *c.checkin;
        EXPECT_EQ(wait_for_command(pid, plan), c.end) << c.what;
        end(pid);
    }
}

TEST(WaitLoop, InterruptBytesHandTheRunOverAndAreReadEmpty) {
    Pipe interrupt = interrupt_pipe();
    std::string bytes(200, 'x');  // more than one 64-byte read
    ASSERT_EQ(write(interrupt.write.get(), bytes.data(), bytes.size()), 200);
    pid_t pid = start("5");
    WaitPlan plan{.may_background = true,
                  .checkin_at = Clock::now() + 60s,
                  .interrupt_fd = interrupt.read.get()};
    EXPECT_EQ(wait_for_command(pid, plan), WaitEnd::background);
    char c;
    EXPECT_EQ(read(interrupt.read.get(), &c, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    end(pid);
}

TEST(WaitLoop, InterruptIsLeftAloneWhenTheRunCannotBeBackgrounded) {
    Pipe interrupt = interrupt_pipe();
    ASSERT_EQ(write(interrupt.write.get(), "x", 1), 1);
    pid_t pid = start("0.2");
    WaitPlan plan{.interrupt_fd = interrupt.read.get()};
    EXPECT_EQ(wait_for_command(pid, plan), WaitEnd::ended);
    char c;
    EXPECT_EQ(read(interrupt.read.get(), &c, 1), 1);
    end(pid);
}

TEST(WaitLoop, InterruptAtEndOfFileIsNotASpin) {
    Pipe interrupt = interrupt_pipe();
    interrupt.write.reset();
    pid_t pid = start("0.5");
    WaitPlan plan{.may_background = true,
                  .checkin_at = Clock::now() + 60s,
                  .interrupt_fd = interrupt.read.get()};
    double cpu = thread_cpu_seconds();
    EXPECT_EQ(wait_for_command(pid, plan), WaitEnd::ended);
    // A spinning wait would burn most of the half second.
    EXPECT_LT(thread_cpu_seconds() - cpu, 0.2);
    end(pid);
}

// A descriptor that never runs dry is read a bounded amount, not forever.
TEST(WaitLoop, EndlessInterruptIsReadOnlyABoundedAmount) {
    UniqueFd zero(open("/dev/zero", O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(zero);
    pid_t pid = start("5");
    WaitPlan plan{
        .may_background = true, .checkin_at = Clock::now() + 60s, .interrupt_fd = zero.get()};
    EXPECT_EQ(wait_for_command(pid, plan), WaitEnd::background);
    end(pid);
}

// Not a child of the caller: the probe's failure is the wait's result.
TEST(WaitLoop, AFailedProbeIsAnError) {
    EXPECT_EQ(wait_for_command(getppid(), WaitPlan{}), std::unexpected(ECHILD));
}

// With SIGCHLD ignored the kernel collects the command unasked, so the probe
// fails: the run reports that error instead of a killed command.
TEST(RunOnce, AFailedProbeIsTheRunsError) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGCHLD, SIG_IGN);
        RunSpec spec;
        spec.argv = {"sh", "-c", "exit 3"};
        auto ran = run_once(spec, "/", std::nullopt);
        _exit(!ran && ran.error().text == "ECHILD: No child processes" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace tj
