// Spawning real programs: the child steps run in the forked child only, so
// the test process keeps its capabilities and limits.
#include "exec/spawn.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "exec/pipe.hpp"

namespace tj {
namespace {

struct Ran {
    int status = -1;
    std::string out;
};

// Spawns `command` with its standard output on a pipe and waits for it.
Result<Ran> run(Command command) {
    Pipe out = TJ_TRY(make_pipe());
    command.stdio = {0, out.write.get(), 2};
    pid_t pid = TJ_TRY(spawn(command));
    out.write.reset();
    Ran ran;
    char buf[4096];
    ssize_t n;
    while ((n = read(out.read.get(), buf, sizeof buf)) > 0) ran.out.append(buf, n);
    waitpid(pid, &ran.status, 0);
    return ran;
}

Command command_for(std::vector<std::string> argv, StringPairs env = {}, std::string cwd = "/") {
    RunSpec spec;
    spec.argv = std::move(argv);
    spec.env = std::move(env);
    return *build_command(spec, cwd, true);
}

class SpawnTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tj-spawn-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string write_file(const std::string& name, const std::string& text, mode_t mode) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path) << text;
        chmod(path.c_str(), mode);
        return path;
    }

    std::string dir_;
};

TEST_F(SpawnTest, GivesTheCommandExactlyItsEnvironmentAndDirectory) {
    auto ran = run(command_for({"env"}, {{"X", "1"}, {"A", "2"}}, dir_));
    ASSERT_TRUE(ran) << ran.error().text;
    EXPECT_EQ(ran->out, "A=2\nHOME=/home\nPATH=/usr/bin:/bin\nX=1\n");
    EXPECT_EQ(ran->status, 0);
    ran = run(command_for({"pwd"}, {}, dir_));
    ASSERT_TRUE(ran) << ran.error().text;
    EXPECT_EQ(ran->out, dir_ + "\n");
}

TEST_F(SpawnTest, SearchesTheCommandsOwnPath) {
    write_file("tj-probe", "#!/bin/sh\necho found\n", 0755);
    write_file("tj-script", "echo no interpreter line\n", 0755);
    write_file("tj-private", "#!/bin/sh\necho run\n", 0644);
    struct Case {
        const char* what;
        std::vector<std::string> argv;
        StringPairs env;
        std::string out;    // when it runs
        std::string error;  // when the spawn fails
    };
    const Case cases[] = {
        {"own PATH", {"tj-probe"}, {{"PATH", "/nonexistent:" + dir_}}, "found\n", ""},
        {"lower-case path is not PATH",
         {"tj-probe"},
         {{"path", dir_}},
         "",
         "No such file or directory (os error 2)"},
        {"default PATH finds sh", {"sh", "-c", "echo sh"}, {}, "sh\n", ""},
        {"script without #! runs in sh",
         {"tj-script"},
         {{"PATH", dir_}},
         "no interpreter line\n",
         ""},
        {"not executable", {"tj-private"}, {{"PATH", dir_}}, "", "Permission denied (os error 13)"},
        {"slash skips the search", {dir_ + "/tj-probe"}, {{"PATH", "/nonexistent"}}, "found\n", ""},
        {"empty program", {""}, {}, "", "No such file or directory (os error 2)"},
    };
    for (const auto& c : cases) {
        auto ran = run(command_for(c.argv, c.env));
        if (c.error.empty()) {
            ASSERT_TRUE(ran) << c.what << ": " << ran.error().text;
            EXPECT_EQ(ran->out, c.out) << c.what;
        } else {
            ASSERT_FALSE(ran) << c.what;
            EXPECT_EQ(ran.error().text, c.error) << c.what;
        }
    }
}

TEST_F(SpawnTest, FailsWhenTheWorkingDirectoryIsMissing) {
    auto ran = run(command_for({"true"}, {}, dir_ + "/missing"));
    ASSERT_FALSE(ran);
    EXPECT_EQ(ran.error().text, "No such file or directory (os error 2)");
}

// A refused process start is a spawn failure in system error text. The limit
// binds only a user other than root, in a child of the test.
TEST_F(SpawnTest, ARefusedStartIsASystemError) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit one = {1, 1};
        if (setrlimit(RLIMIT_NPROC, &one) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0)
            _exit(2);
        auto ran = run(command_for({"true"}));
        _exit(!ran && ran.error().text == "Resource temporarily unavailable (os error 11)" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The launcher ignores SIGPIPE; its commands must not inherit that.
TEST_F(SpawnTest, DropsCapabilitiesLimitsDataAndRestoresSigpipe) {
    struct sigaction ignore = {}, previous = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    Command command =
        command_for({"sh", "-c",
                     "grep -E '^(Cap(Inh|Prm|Eff|Bnd|Amb)|SigIgn):' /proc/self/status; "
                     "grep 'Max data size' /proc/self/limits"});
    add_capability_and_memory_step(command, 64 << 20);
    auto ran = run(command);
    sigaction(SIGPIPE, &previous, nullptr);
    ASSERT_TRUE(ran) << ran.error().text;
    for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"}) {
        EXPECT_NE(ran->out.find(std::string(set) + ":\t0000000000000000"), std::string::npos)
            << set;
    }
    if (geteuid() == 0) {
        EXPECT_NE(ran->out.find("CapBnd:\t0000000000000000"), std::string::npos);
    }
    size_t sig = ran->out.find("SigIgn:\t");
    ASSERT_NE(sig, std::string::npos);
    uint64_t ignored = std::strtoull(ran->out.c_str() + sig + 8, nullptr, 16);
    EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << ran->out;
    EXPECT_NE(ran->out.find("67108864             67108864"), std::string::npos) << ran->out;
}

TEST_F(SpawnTest, LeadsItsOwnProcessGroupAndGetsTheGivenStdio) {
    Pipe in = *make_pipe();
    Pipe out = *make_pipe();
    Command command = command_for({"sh", "-c", "read line; echo \"$line\""});
    command.stdio = {in.read.get(), out.write.get(), 2};
    auto pid = spawn(command);
    ASSERT_TRUE(pid) << pid.error().text;
    in.read.reset();
    out.write.reset();
    EXPECT_EQ(getpgid(*pid), *pid);
    ASSERT_EQ(write(in.write.get(), "hi\n", 3), 3);
    in.write.reset();
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(out.read.get(), buf, sizeof buf)) > 0) text.append(buf, n);
    int status = 0;
    waitpid(*pid, &status, 0);
    EXPECT_EQ(text, "hi\n");
}

}  // namespace
}  // namespace tj
