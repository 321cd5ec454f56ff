// What a command finds when it starts: its environment, its program lookup,
// its memory limit.
#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>
#include <boost/json/parse.hpp>

#include "harness.hpp"

namespace tj::e2e {
namespace {

boost::json::object run_once(const std::string& argv, const std::string& extra = "") {
    Outcome o = run_policy(R"({"isolation":"none","cwd":"/tmp","argv":)" + argv + extra + "}");
    EXPECT_EQ(o.status, 0) << o.err;
    if (o.out.empty()) return {};
    return boost::json::parse(o.out).as_object();
}

std::string out_of(const boost::json::object& reply) {
    return reply.contains("stdout") ? std::string(reply.at("stdout").as_string()) : "";
}

TEST(ChildEnvironment, HoldsOnlyThePolicysPairsAndTwoDefaults) {
    struct Case {
        const char* what;
        std::string env;
        std::string out;
    };
    const Case cases[] = {
        {"empty env", "[]", "HOME=/home\nPATH=/usr/bin:/bin\n"},
        {"later pair wins", R"([["A","1"],["B","x"],["A","2"]])",
         "A=2\nB=x\nHOME=/home\nPATH=/usr/bin:/bin\n"},
        {"HOME replaced, lower-case path added", R"([["HOME","/root"],["path","/x"]])",
         "HOME=/root\nPATH=/usr/bin:/bin\npath=/x\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(out_of(run_once(R"(["env"])", R"(,"env":)" + c.env)), c.out) << c.what;
    }
}

TEST(ChildEnvironment, ProgramIsLookedUpInTheCommandsPath) {
    TempDir dir;
    std::ofstream(dir / "tj-where") << "#!/bin/sh\necho found in the policy PATH\n";
    chmod((dir / "tj-where").c_str(), 0755);
    auto reply = run_once(R"(["tj-where"])", R"(,"env":[["PATH",)" + quote(dir.path()) + "]]");
    EXPECT_EQ(out_of(reply), "found in the policy PATH\n");

    Outcome lower = run_policy(R"({"isolation":"none","cwd":"/tmp","argv":["tj-where"],)"
                               R"("env":[["path",)" +
                               quote(dir.path()) + "]]}");
    EXPECT_EQ(lower.status, 2);
    EXPECT_TRUE(lower.err.ends_with(
        "tarrow-jail: child execution failed: No such file or directory (os error 2)\n"))
        << lower.err;
}

TEST(ChildEnvironment, MemoryLimitBoundsTheHeap) {
    const std::string alloc = quote(helper_path("alloc_mb"));
    struct Case {
        const char* mib;
        std::string limit;
        int64_t code;
    };
    const Case cases[] = {
        {"100", R"(,"memory_limit_mb":64)", 1},
        {"16", R"(,"memory_limit_mb":64)", 0},
        {"100", R"(,"memory_limit_mb":0)", 0},
    };
    for (const auto& c : cases) {
        auto reply = run_once("[" + alloc + ",\"" + c.mib + "\"]", c.limit);
        ASSERT_TRUE(reply.contains("returncode"));
        EXPECT_EQ(reply.at("returncode").as_int64(), c.code) << c.mib << c.limit;
    }
}

}  // namespace
}  // namespace tj::e2e
