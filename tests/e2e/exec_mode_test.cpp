// Mode exec: the command on the launcher's own streams, its status as the
// launcher's, and every byte after the policy line as its input.
#include <fcntl.h>
#include <unistd.h>

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

}  // namespace
}  // namespace tj::e2e
