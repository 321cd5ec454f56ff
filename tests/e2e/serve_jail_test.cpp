// Serve mode inside the strict jail, where the server is PID 1 and a stop
// also removes what the stopped command left behind.
#include <unistd.h>

#include <fstream>
#include <string>

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

}  // namespace
}  // namespace tj::e2e
