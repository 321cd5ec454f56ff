// Serve mode inside the strict jail, where the server is PID 1 and a stop
// also removes what the stopped command left behind.
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <fmt/core.h>
#include <gtest/gtest.h>

#include "harness.hpp"
#include "serve_driver.hpp"

namespace tj::e2e {
namespace {

std::string jail_policy(const std::string& cwd) {
    return R"({"isolation":"strict","cwd":)" + quote(cwd) + R"(,"argv":["true"],"mode":"serve"})";
}

std::string sh(const std::string& script) {
    return R"(["sh","-c",)" + quote(script) + "]";
}

long pid_in(const std::string& reply) {
    auto obj = ServeSession::parse(reply);
    return obj.contains("pid") ? static_cast<long>(obj.at("pid").as_int64()) : -1;
}

// The jail's pid a command wrote into the shared working directory.
long pid_from_file(const std::string& path) {
    for (int i = 0; i < 500; ++i) {
        std::ifstream file(path);
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (!text.empty() && text.back() == '\n') return std::stol(text);
        usleep(10000);
    }
    return -1;
}

struct JailServed {
    TempDir dir;
    ServeSession session;
    JailServed() : session(jail_policy(dir.path())) {
        EXPECT_EQ(session.reply(20), R"({"ready":true})") << session.stderr_text();
    }
    long start(const std::string& argv) {
        return pid_in(session.request(R"({"kind":"background","argv":)" + argv + "}"));
    }
    // Whether `pid` is still listed in the jail's own /proc.
    bool listed(long pid) {
        std::string reply = session.request(R"({"kind":"run","argv":)" +
                                            sh(fmt::format("test -d /proc/{}", pid)) + "}");
        return reply == R"({"returncode":0,"stderr":"","stdout":""})";
    }
    std::string stop(long pid) {
        return session.request(fmt::format(R"({{"kind":"stop","pid":{}}})", pid));
    }
};

TEST(ServeInJail, StopSweepsTheOrphansOfTheStoppedCommandOnly) {
    JailServed s;
    // A's daemon leaves A's group; B's is orphaned while B still runs.
    long a = s.start(sh("setsid sleep 100 & echo $! > a; exec sleep 100"));
    long daemon_a = pid_from_file(s.dir / "a");
    long b = s.start(sh("sh -c 'sleep 100 & echo $! > b'; exec sleep 100"));
    long daemon_b = pid_from_file(s.dir / "b");
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    ASSERT_TRUE(s.listed(daemon_a));
    EXPECT_EQ(s.stop(a), R"({"returncode":137,"stopped":true,"survivors":[]})");
    EXPECT_FALSE(s.listed(daemon_a));
    EXPECT_TRUE(s.listed(daemon_b));
    EXPECT_EQ(s.session.request(fmt::format(R"({{"kind":"status","pid":{}}})", b)),
              R"({"returncode":null,"running":true})");

    EXPECT_EQ(s.stop(4242), R"({"returncode":null,"stopped":true,"survivors":[]})");
    EXPECT_EQ(s.stop(-1), R"({"error":"EINVAL: Invalid argument","stopped":false,"survivors":[]})");

    // A run handed to the background is swept the same way.
    std::string reply = s.session.request(
        R"({"kind":"run","argv":)" + sh("setsid sleep 100 & echo $! > c; exec sleep 100") +
        R"(,"checkin_s":0.3,"log_dir":)" + quote(s.dir.path()) + "}");
    long c = pid_in(reply);
    long daemon_c = pid_from_file(s.dir / "c");
    EXPECT_EQ(s.stop(c), R"({"returncode":137,"stopped":true,"survivors":[]})") << reply;
    EXPECT_FALSE(s.listed(daemon_c));
    EXPECT_TRUE(s.listed(daemon_b));
    EXPECT_EQ(s.session.finish(), 0);
}

// Every jail numbers its pids afresh, so sessions sharing one log directory
// meet the same log names: each hand-over still gets a file of its own.
TEST(ServeInJail, SessionsSharingALogDirectoryBothHandOver) {
    TempDir dir;
    ServeSession first(jail_policy(dir.path())), second(jail_policy(dir.path()));
    std::vector<std::string> logs;
    for (ServeSession* session : {&first, &second}) {
        ASSERT_EQ(session->reply(20), R"({"ready":true})") << session->stderr_text();
        std::string reply =
            session->request(R"({"kind":"run","argv":)" + sh("echo mine; exec sleep 100") +
                             R"(,"checkin_s":0.3,"log_dir":)" + quote(dir.path()) + "}");
        auto obj = ServeSession::parse(reply);
        ASSERT_EQ(obj["backgrounded"], true) << reply;
        logs.emplace_back(obj.at("log").as_string());
    }
    EXPECT_NE(logs[0], logs[1]);
    for (const std::string& log : logs) {
        std::ifstream file(log);
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        EXPECT_EQ(text, "mine\n") << log;
    }
    EXPECT_EQ(first.finish(), 0);
    EXPECT_EQ(second.finish(), 0);
}

// A read-only log directory: the command is killed, not left in the jail.
TEST(ServeInJail, AHandOverIntoAnUnwritableDirectoryLeavesNoProcess) {
    JailServed s;
    std::string reply =
        s.session.request(R"({"kind":"run","argv":)" + sh("sleep 100 & echo $! > p; wait") +
                          R"(,"checkin_s":0.5,"log_dir":"/usr"})");
    const std::string error = "Read-only file system (os error 30)";
    EXPECT_EQ(reply, R"({"exec_failed":true,"returncode":127,"stderr":"child execution failed: )" +
                         error + R"(","stdout":""})");
    long sleeper = pid_from_file(s.dir / "p");
    ASSERT_GT(sleeper, 0);
    // Killed, it waits as a zombie of the jail's init until a sweep collects it.
    const std::string alive =
        fmt::format("test -d /proc/{0} && ! grep -q '^State:.Z' /proc/{0}/status", sleeper);
    std::string answer;
    for (int i = 0; i < 100; ++i) {
        answer = s.session.request(R"({"kind":"run","argv":)" + sh(alive) + "}");
        if (answer != R"({"returncode":0,"stderr":"","stdout":""})") break;
        usleep(20000);
    }
    EXPECT_EQ(answer, R"({"returncode":1,"stderr":"","stdout":""})");
    EXPECT_EQ(s.session.finish(), 0);
}

}  // namespace
}  // namespace tj::e2e
