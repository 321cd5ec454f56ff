// Mode exec: the command on the launcher's own streams, its status as the
// launcher's, and every byte after the policy line as its input.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include <fstream>

#include <gtest/gtest.h>

#include "harness.hpp"

namespace tj::e2e {
namespace {

const std::string kWarning =
    "[tarrow-jail] WARNING: running UNCONFINED (isolation = \"none\"): no namespaces, no "
    "Landlock, no seccomp. Commands run with this process's own access.\n";

std::string exec_policy(const std::string& script) {
    return R"({"isolation":"none","cwd":"/tmp","mode":"exec","argv":["sh","-c",)" + quote(script) +
           "]}";
}

TEST(ExecMode, LauncherExitsWithTheCommandsStatus) {
    struct Case {
        const char* script;
        int status;
    };
    const Case cases[] = {
        {"exit 0", 0}, {"exit 7", 7}, {"kill -INT $$", 130}, {"kill -TERM $$", 143}};
    for (const auto& c : cases) {
        Outcome o = run_policy(exec_policy(c.script));
        EXPECT_EQ(o.status, c.status) << c.script;
        EXPECT_EQ(o.err, kWarning) << c.script;
    }
}

TEST(ExecMode, StreamsAreTheLaunchersOwn) {
    Outcome o = run_policy(exec_policy("echo out; echo err >&2"));
    EXPECT_EQ(o.out, "out\n");
    EXPECT_EQ(o.err, kWarning + "err\n");
}

TEST(ExecMode, InputAfterThePolicyLineReachesTheCommand) {
    // Larger than both the line reader's buffer and a pipe's capacity. The
    // command stores it (the harness writes all input before it reads output).
    std::string input;
    for (int i = 0; input.size() < 300000; ++i) input += "line " + std::to_string(i) + "\n";
    TempDir dir;
    const std::string store = "cat > " + dir / "got" + "; ls -l /proc/self/fd/0";
    auto stored = [&] {
        std::ifstream in(dir / "got");
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    Outcome piped = run_policy(exec_policy(store), input);
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(stored(), input);
    EXPECT_NE(piped.out.find("pipe:"), std::string::npos);

    Outcome short_input = run_policy(exec_policy("cat"), "a\nb");
    EXPECT_EQ(short_input.out, "a\nb");

    // From a regular file the launcher rewinds instead of copying.
    std::ofstream(dir / "in") << exec_policy(store) << "\n" << input;
    Launch file;
    file.prefix = {"/bin/sh", "-c", "exec \"$@\" < " + dir / "in", "sh"};
    Outcome o = run_launcher(file);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(stored(), input);
    EXPECT_NE(o.out.find("-> " + dir / "in"), std::string::npos) << "stdin was not the file itself";
}

TEST(ExecMode, CommandThatIgnoresItsInputEndsTheLauncher) {
    std::string input(1 << 20, 'x');
    Outcome o = run_policy(exec_policy("exit 4"), input);
    EXPECT_EQ(o.status, 4);
}

// Runs the launcher as the session leader of a fresh pseudo-terminal, which is
// its standard input; `typed` is entered on the terminal. Returns the exit
// status and standard output.
Outcome run_on_terminal(const std::string& policy, const std::string& typed) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(master, 0);
    grantpt(master);
    unlockpt(master);
    std::string slave = ptsname(master);
    int out[2], pol[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(pol, O_CLOEXEC), 0);
    EXPECT_EQ(write(pol[1], policy.data(), policy.size()), static_cast<ssize_t>(policy.size()));
    close(pol[1]);
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        int tty = open(slave.c_str(), O_RDWR);
        ioctl(tty, TIOCSCTTY, 0);
        dup2(tty, 0);
        dup2(out[1], 1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        dup2(pol[0], 3);
        execl(launcher_path().c_str(), "tarrow-jail", "--policy-fd", "3", nullptr);
        _exit(127);
    }
    close(out[1]);
    close(pol[0]);
    EXPECT_EQ(write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    Outcome o;
    char buf[4096];
    pollfd fds[2] = {{out[0], POLLIN, 0}, {master, POLLIN, 0}};
    for (int rounds = 0; rounds < 200; ++rounds) {
        if (poll(fds, 2, 100) <= 0) continue;
        if (fds[1].revents & POLLIN) (void)!read(master, buf, sizeof buf);  // the echo
        if (!(fds[0].revents & (POLLIN | POLLHUP))) continue;
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        o.out.append(buf, static_cast<size_t>(n));
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == 0) kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    close(out[0]);
    close(master);
    return o;
}

TEST(ExecMode, OnATerminalTheCommandIsItsForegroundGroup) {
    // /proc/self/stat of cat, before anything touches the terminal: field 5 is
    // its group (the command's), field 8 the terminal's foreground group.
    Outcome o = run_on_terminal(
        exec_policy("cat /proc/self/stat; read line; echo \"$line\"") + "\n", "typed\n");
    EXPECT_EQ(o.status, 0);
    ASSERT_TRUE(o.out.ends_with("\ntyped\n")) << o.out;
    std::istringstream fields(o.out.substr(o.out.rfind(") ") + 2));
    std::string state, ppid, pgrp, session, tty, tpgid;
    fields >> state >> ppid >> pgrp >> session >> tty >> tpgid;
    EXPECT_EQ(pgrp, tpgid) << o.out;
}

TEST(ExecMode, OnATerminalAStoppedCommandIsResumed) {
    Outcome o = run_on_terminal(exec_policy("kill -TSTP $$; echo resumed; exit 5") + "\n", "");
    EXPECT_EQ(o.status, 5);
    EXPECT_EQ(o.out, "resumed\n");
}

}  // namespace
}  // namespace tj::e2e
