// Start-up as a supervisor sees it: every fatal line, in the order of checking.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.hpp"

namespace tj::e2e {
namespace {

const std::string kOk = R"({"isolation":"none","cwd":"/tmp","argv":["true"]})";

std::string fatal(const std::string& message) {
    return "tarrow-jail: " + message + "\n";
}

TEST(Startup, DescriptorOptionsNeedANumberAboveTwo) {
    const char* values[] = {"2", "-5", "3x", "+", "", " 7", "0x10", "99999999999"};
    for (const char* option : {"--userns-fd", "--netns-fd", "--policy-fd", "--interrupt-fd"}) {
        for (const char* value : values) {
            Launch l;
            l.args = {option, value};
            l.stdin_data = kOk + "\n";
            Outcome o = run_launcher(l);
            EXPECT_EQ(o.status, 2) << option << " " << value;
            EXPECT_EQ(o.err,
                      fatal(std::string(option) + " needs a file descriptor number above 2"));
            EXPECT_EQ(o.out, "");
        }
        Launch last;
        last.args = {option};
        EXPECT_EQ(run_launcher(last).err,
                  fatal(std::string(option) + " needs a file descriptor number above 2"));
    }
}

TEST(Startup, OptionsAreCheckedInOrderAndFirstOccurrenceWins) {
    Launch l;
    l.args = {"--interrupt-fd", "1", "--netns-fd", "x"};
    EXPECT_EQ(run_launcher(l).err, fatal("--netns-fd needs a file descriptor number above 2"));
    Launch twice;
    twice.args = {"--policy-fd", "+3", "--policy-fd", "1"};
    twice.policy_fd = kOk + "\n";  // also appends --policy-fd 3
    Outcome o = run_launcher(twice);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "{\"returncode\":0,\"stderr\":\"\",\"stdout\":\"\"}\n");
}

TEST(Startup, HoldSwitchWinsOverBadOptions) {
    Launch l;
    l.args = {"--policy-fd", "1", "--hold-netns"};
    Outcome o = run_launcher(l);
    EXPECT_EQ(o.err.find("needs a file descriptor"), std::string::npos) << o.err;
}

TEST(Startup, InterruptDescriptorMustBeUsable) {
    Launch l;
    l.args = {"--interrupt-fd", "77"};
    l.stdin_data = kOk + "\n";
    EXPECT_EQ(run_launcher(l).err, fatal("could not set O_NONBLOCK on --interrupt-fd"));
}

TEST(Startup, UnreadablePolicies) {
    for (const char* input : {"", "   \n{}", "\n", "\xff\xfe\n", "\t \xe2\x80\x83\n"}) {
        Outcome o = run_policy("", input);
        // run_policy adds a newline in front: use the raw launch instead.
        Launch l;
        l.stdin_data = input;
        o = run_launcher(l);
        EXPECT_EQ(o.status, 2);
        EXPECT_EQ(o.err, fatal("failed to read policy")) << input;
    }
    Launch closed;
    closed.stdin_closed = true;
    EXPECT_EQ(run_launcher(closed).err, fatal("failed to read policy"));
    Launch bad_fd;
    bad_fd.args = {"--policy-fd", "9"};
    EXPECT_EQ(run_launcher(bad_fd).err, fatal("failed to read policy"));
}

TEST(Startup, PolicyFdReadsOneLineOnly) {
    Launch l;
    l.policy_fd = kOk + "\n{garbage\n";
    Outcome o = run_launcher(l);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "{\"returncode\":0,\"stderr\":\"\",\"stdout\":\"\"}\n");
}

TEST(Startup, FatalMessagesInOrderOfChecking) {
    struct Case {
        std::string policy;
        std::string message;
    };
    const Case cases[] = {
        {R"({"cwd":"/tmp","argv":["true"],"timeout":1})",
         "invalid policy JSON: unknown field `timeout`, expected one of `isolation`, `cwd`, "
         "`argv`, `env`, `network`, `extra_ro_paths`, `extra_rw_paths`, `grant_sources`, "
         "`extra_device_paths`, `tool_paths`, `hide_paths`, `extra_protect_paths`, `timeout_s`, "
         "`memory_limit_mb`, `mode` at line 1 column 39"},
        {R"({"cwd":"/tmp/tj-missing/x","argv":["true"],"network":"bad"})",
         "workspace /tmp/tj-missing/x cannot be resolved: No such file or directory (os error 2)"},
        {R"({"cwd":"/tmp","argv":["true"],"network":"Host","isolation":"bad"})",
         "unknown network: Host"},
        {R"({"cwd":"/tmp","argv":["true"],"network":"session","isolation":"none"})",
         "network = session needs --userns-fd and --netns-fd"},
        {R"({"cwd":"/tmp","argv":["true"],"network":"session","isolation":"hardened"})",
         "network = session needs --userns-fd and --netns-fd"},
        {R"({"cwd":"/tmp","argv":["true"],"isolation":"Strict"})",
         "unknown sandbox isolation: Strict"},
    };
    for (const auto& c : cases) {
        Outcome o = run_policy(c.policy);
        EXPECT_EQ(o.status, 2) << c.policy;
        EXPECT_EQ(o.err, fatal(c.message));
        EXPECT_EQ(o.out, "");
    }
}

TEST(Startup, SessionNeedsBothDescriptors) {
    Launch l;
    l.args = {"--userns-fd", "5"};
    l.stdin_data = R"({"cwd":"/tmp","argv":["true"],"network":"session","isolation":"none"})"
                   "\n";
    EXPECT_EQ(run_launcher(l).err, fatal("network = session needs --userns-fd and --netns-fd"));
}

TEST(Startup, NonUtf8ArgumentRunsNothing) {
    TempDir dir;
    Launch l;
    l.args = {"\xff"};
    l.stdin_data = R"({"isolation":"none","cwd":")" + dir.path() +
                   R"(","argv":["touch","ran"]})"
                   "\n";
    Outcome o = run_launcher(l);
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err.rfind("tarrow-jail: ", 0), 0u);
    EXPECT_NE(access((dir / "ran").c_str(), F_OK), 0);
}

TEST(Startup, UnconfinedWarningComesFirst) {
    Outcome o = run_policy(R"({"isolation":"none","cwd":"/tmp","argv":["/nonexistent/x"]})");
    const std::string warning =
        "[tarrow-jail] WARNING: running UNCONFINED (isolation = \"none\"): no namespaces, no "
        "Landlock, no seccomp. Commands run with this process's own access.\n";
    ASSERT_EQ(warning.size(), 149u);
    EXPECT_EQ(o.err.substr(0, 149), warning);
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err.substr(149),
              fatal("child execution failed: No such file or directory (os error 2)"));
}

}  // namespace
}  // namespace tj::e2e
