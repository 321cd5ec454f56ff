#include "exec/command.hpp"

#include <gtest/gtest.h>

namespace tj {
namespace {

using Block = std::vector<std::string>;

TEST(EnvironmentBlock, AddsDefaultsLetsLaterPairsWinAndSorts) {
    struct Case {
        const char* what;
        StringPairs pairs;
        Block block;
    };
    const Case cases[] = {
        {"defaults only", {}, {"HOME=/home", "PATH=/usr/bin:/bin"}},
        {"PATH given", {{"PATH", "/opt/bin"}}, {"HOME=/home", "PATH=/opt/bin"}},
        {"empty PATH still counts as given", {{"PATH", ""}}, {"HOME=/home", "PATH="}},
        {"names are case-sensitive",
         {{"path", "/x"}, {"home", "/y"}},
         {"HOME=/home", "PATH=/usr/bin:/bin", "home=/y", "path=/x"}},
        {"later pair wins",
         {{"A", "1"}, {"HOME", "/h1"}, {"A", "2"}, {"HOME", "/h2"}},
         {"A=2", "HOME=/h2", "PATH=/usr/bin:/bin"}},
        {"ascending byte order",
         {{"b", "1"}, {"_", "2"}, {"Z", "3"}, {"\xC3\xA9", "4"}},
         {"HOME=/home", "PATH=/usr/bin:/bin", "Z=3", "_=2", "b=1", "\xC3\xA9=4"}},
        {"values keep '='", {{"X", "a=b"}}, {"HOME=/home", "PATH=/usr/bin:/bin", "X=a=b"}},
    };
    for (const auto& c : cases) EXPECT_EQ(environment_block(c.pairs), c.block) << c.what;
}

TEST(BuildCommand, TakesSearchPathFromTheCommandsOwnEnvironment) {
    RunSpec spec;
    spec.argv = {"prog", "arg"};
    spec.env = {{"PATH", "/a"}, {"PATH", "/b:/c"}};
    auto command = build_command(spec, "/work", true);
    ASSERT_TRUE(command) << command.error().text;
    EXPECT_EQ(command->search_path, "/b:/c");
    EXPECT_EQ(command->argv, (Block{"prog", "arg"}));
    EXPECT_EQ(command->cwd, "/work");
    EXPECT_TRUE(command->death_tie);
    EXPECT_FALSE(command->drop_capabilities);
    add_capability_and_memory_step(*command, 64 << 20);
    EXPECT_TRUE(command->drop_capabilities);
    EXPECT_EQ(command->memory_limit_bytes, 64u << 20);

    spec.env = {{"path", "/lower"}};
    EXPECT_EQ(build_command(spec, "/", false)->search_path, "/usr/bin:/bin");
}

TEST(BuildCommand, RefusesNulBytesAndBadNames) {
    const std::string nul("a\0b", 3);
    struct Case {
        const char* what;
        RunSpec spec;
        std::string cwd;
    };
    const Case cases[] = {
        {"argument", {.argv = {"echo", nul}}, "/"},
        {"program", {.argv = {nul}}, "/"},
        {"env name", {.argv = {"true"}, .env = {{nul, "v"}}}, "/"},
        {"env value", {.argv = {"true"}, .env = {{"N", nul}}}, "/"},
        {"cwd", {.argv = {"true"}}, "/tmp" + nul},
    };
    for (const auto& c : cases) {
        auto command = build_command(c.spec, c.cwd, true);
        ASSERT_FALSE(command) << c.what;
        EXPECT_EQ(command.error().text, "nul byte found in provided data") << c.what;
    }
    for (const char* name : {"", "A=B"}) {
        RunSpec spec{.argv = {"true"}, .env = {{name, "v"}}};
        auto command = build_command(spec, "/", true);
        ASSERT_FALSE(command) << name;
        EXPECT_NE(command.error().text.find("invalid environment variable name"),
                  std::string::npos);
    }
}

}  // namespace
}  // namespace tj
