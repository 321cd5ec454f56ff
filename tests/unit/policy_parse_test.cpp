#include <gtest/gtest.h>

#include "policy.hpp"

namespace tj {
namespace {

const char* kAllKeys =
    "one of `isolation`, `cwd`, `argv`, `env`, `network`, `extra_ro_paths`, `extra_rw_paths`, "
    "`grant_sources`, `extra_device_paths`, `tool_paths`, `hide_paths`, `extra_protect_paths`, "
    "`timeout_s`, `memory_limit_mb`, `mode`";

TEST(PolicyParse, SmallestPolicyTakesTheDefaults) {
    auto p = parse_policy(R"({"cwd":"/w","argv":["ls","-l"]})"
                          "\n");
    ASSERT_TRUE(p) << p.error().text;
    EXPECT_EQ(p->isolation, "strict");
    EXPECT_EQ(p->network, "none");
    EXPECT_EQ(p->mode, "once");
    EXPECT_EQ(p->timeout_s, 600);
    EXPECT_EQ(p->memory_limit_mb, 0u);
    EXPECT_EQ(p->cwd, "/w");
    EXPECT_EQ(p->argv, (std::vector<std::string>{"ls", "-l"}));
    EXPECT_TRUE(p->env.empty() && p->hide_paths.empty() && p->grant_sources.empty());
}

TEST(PolicyParse, ReadsEveryField) {
    auto p = parse_policy(
        R"({"isolation":"none","cwd":"/w","argv":["a"],"env":[["A","1"],["B","2"]],)"
        R"("network":"host","extra_ro_paths":["/r"],"extra_rw_paths":["/w2"],)"
        R"("grant_sources":[["/g","/s"]],"extra_device_paths":["/dev/kvm"],"tool_paths":["/t"],)"
        R"("hide_paths":["/h"],"extra_protect_paths":["/w/.git"],"timeout_s":2.5,)"
        R"("memory_limit_mb":64,"mode":"Serve"})");
    ASSERT_TRUE(p) << p.error().text;
    EXPECT_EQ(p->env, (StringPairs{{"A", "1"}, {"B", "2"}}));
    EXPECT_EQ(p->grant_sources, (StringPairs{{"/g", "/s"}}));
    EXPECT_EQ(p->extra_device_paths, std::vector<std::string>{"/dev/kvm"});
    EXPECT_EQ(p->extra_protect_paths, std::vector<std::string>{"/w/.git"});
    EXPECT_EQ(p->timeout_s, 2.5);
    EXPECT_EQ(p->memory_limit_mb, 64u);
    EXPECT_EQ(p->mode, "Serve");  // not validated: runs as once
}

TEST(PolicyParse, ArrayFormFillsFieldsInOrder) {
    auto p = parse_policy(R"(["strict","/w",["true"]])");
    ASSERT_TRUE(p) << p.error().text;
    EXPECT_EQ(p->isolation, "strict");
    EXPECT_EQ(p->argv, std::vector<std::string>{"true"});
    EXPECT_EQ(p->timeout_s, 600);

    auto full = parse_policy(R"(["none","/w",["a"],[],"host",[],[],[],[],[],[],[],7,3,"exec"])");
    ASSERT_TRUE(full) << full.error().text;
    EXPECT_EQ(full->timeout_s, 7);
    EXPECT_EQ(full->memory_limit_mb, 3u);
    EXPECT_EQ(full->mode, "exec");
}

TEST(PolicyParse, IntegerTimeoutIsConverted) {
    auto p = parse_policy(R"({"cwd":"/","argv":[],"timeout_s":2})");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->timeout_s, 2.0);
}

TEST(PolicyParse, ErrorsNameTheFaultAndItsPosition) {
    struct Case {
        std::string line;
        std::string message;
    };
    const Case cases[] = {
        {R"({"timeout":1})",
         std::string("unknown field `timeout`, expected ") + kAllKeys + " at line 1 column 10"},
        {R"({"argv":[]})", "missing field `cwd` at line 1 column 11"},
        {R"({"cwd":"/"})", "missing field `argv` at line 1 column 11"},
        {R"({"cwd":"/","cwd":"/"})", "duplicate field `cwd` at line 1 column 16"},
        {R"({"cwd":"/","argv":[],"memory_limit_mb":-1})",
         "invalid value: integer `-1`, expected u64 at line 1 column 41"},
        {R"({"cwd":"/","argv":[],"memory_limit_mb":1.5})",
         "invalid type: floating point `1.5`, expected u64 at line 1 column 42"},
        {R"({"cwd":"/","argv":[],"env":{}})",
         "invalid type: map, expected a sequence at line 1 column 27"},
        {R"({"cwd":"/","argv":[],"env":[["A"]]})",
         "invalid length 1, expected a tuple of size 2 at line 1 column 33"},
        {R"({"cwd":"/","argv":[],"env":[["A","1","2"]]})",
         "invalid length 3, expected a tuple of size 2 at line 1 column 41"},
        {R"({"cwd":"/","argv":[],"env":["A=1"]})",
         "invalid type: string \"A=1\", expected a tuple of size 2 at line 1 column 33"},
        {R"({"cwd":"/","argv":"ls"})",
         "invalid type: string \"ls\", expected a sequence at line 1 column 22"},
        {R"({"cwd":null,"argv":[]})", "invalid type: null, expected a string at line 1 column 11"},
        {R"({"cwd":"/","argv":[true]})",
         "invalid type: boolean `true`, expected a string at line 1 column 23"},
        {R"({"cwd":"/","argv":[],"timeout_s":"5"})",
         "invalid type: string \"5\", expected f64 at line 1 column 36"},
        {R"({"cwd":"/","argv":[],"timeout_s":1e20})",
         "invalid value: floating point `1e+20`, expected a number of seconds below 2^64 at line 1 "
         "column 37"},
        {R"({"cwd":"/","argv":[],"timeout_s":0e400})",
         "invalid value: floating point `NaN`, expected a number of seconds at line 1 column 38"},
        {R"("policy")",
         "invalid type: string \"policy\", expected struct Policy at line 1 column 8"},
        {R"(["strict","/"])",
         "invalid length 2, expected struct Policy with 15 elements at line 1 column 14"},
        {R"({"cwd":"/","argv":[]} x)", "trailing characters at line 1 column 23"},
        {"{\"cwd\":\"/\",\n\"argv\":[],\n\"Mode\":1}",
         std::string("unknown field `Mode`, expected ") + kAllKeys + " at line 3 column 6"},
        // A position before a line's first byte is its column 1.
        {"{\"cwd\":\"/\",\"argv\":[],\"env\":\n{}}",
         "invalid type: map, expected a sequence at line 2 column 1"},
        {"", "EOF while parsing a value at line 1 column 1"},
    };
    for (const auto& c : cases) {
        auto p = parse_policy(c.line);
        ASSERT_FALSE(p) << c.line;
        EXPECT_EQ(p.error().text, c.message) << c.line;
    }
}

TEST(PolicyParse, SyntaxErrorsCarryAPosition) {
    for (const char* line : {"{", "{\"cwd\":}", "[1,]", "{\"cwd\":\"/\",\"argv\":[]", "nul", ""}) {
        auto p = parse_policy(line);
        ASSERT_FALSE(p) << line;
        EXPECT_NE(p.error().text.find(" at line 1 column "), std::string::npos) << p.error().text;
    }
}

TEST(PolicyParse, NestingIsLimited) {
    std::string deep = R"({"cwd":"/","argv":[],"env":)" + std::string(200, '[');
    auto p = parse_policy(deep);
    ASSERT_FALSE(p);
    // The schema refuses the third level long before the reader reaches its limit.
    EXPECT_EQ(p.error().text, "invalid type: sequence, expected a string at line 1 column 29");
    auto bare = parse_policy(std::string(200, '['));
    ASSERT_FALSE(bare);
    EXPECT_EQ(bare.error().text, "invalid type: sequence, expected a string at line 1 column 1");
}

TEST(PolicyParse, MemoryLimitBytes) {
    EXPECT_EQ(memory_limit_bytes(0), 0u);
    EXPECT_EQ(memory_limit_bytes(64), 67108864u);
    EXPECT_EQ(memory_limit_bytes(17592186044415ull), 17592186044415ull * 1048576);
    EXPECT_EQ(memory_limit_bytes(17592186044416ull), UINT64_MAX);
}

}  // namespace
}  // namespace tj
