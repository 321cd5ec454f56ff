#include <gtest/gtest.h>

#include "serve/request.hpp"

namespace tj {
namespace {

TEST(RequestParse, ObjectFormsOfEveryKind) {
    auto run = parse_request(
        R"({"argv":["sh","-c","x"],"kind":"run","env":[["A","1"],["B","2"]],"timeout_s":5,)"
        R"("memory_limit_mb":3,"checkin_s":1,"log_dir":"/l"})"
        "\n");
    ASSERT_TRUE(run) << run.error().text;
    const RunSpec& s = std::get<RunRequest>(*run).child.spec;
    EXPECT_EQ(s.argv, (std::vector<std::string>{"sh", "-c", "x"}));
    EXPECT_EQ(s.env, (StringPairs{{"A", "1"}, {"B", "2"}}));
    EXPECT_EQ(s.timeout_s, 5.0);
    EXPECT_EQ(s.memory_limit_mb, 3u);
    EXPECT_EQ(s.checkin_s, 1.0);
    EXPECT_EQ(s.log_dir, "/l");

    auto bg = parse_request(R"({"kind":"background","argv":[]})");
    ASSERT_TRUE(bg) << bg.error().text;
    const RunSpec& d = std::get<BackgroundRequest>(*bg).child.spec;
    EXPECT_TRUE(d.argv.empty());
    EXPECT_EQ(d.timeout_s, 600.0);
    EXPECT_EQ(d.checkin_s, 0.0);
    EXPECT_EQ(d.log_dir, "");

    auto status = parse_request(R"({"kind":"status","pid":42,"extra":{"x":[1]}})");
    ASSERT_TRUE(status) << status.error().text;
    EXPECT_EQ(std::get<StatusRequest>(*status).pid, 42);

    auto stop = parse_request(R"({"pid":-7,"kind":"stop"})");
    ASSERT_TRUE(stop) << stop.error().text;
    EXPECT_EQ(std::get<StopRequest>(*stop).pid, -7);
}

TEST(RequestParse, ArrayForms) {
    auto run = parse_request(R"(["run",["ls"],[],1.5])");
    ASSERT_TRUE(run) << run.error().text;
    EXPECT_EQ(std::get<RunRequest>(*run).child.spec.timeout_s, 1.5);
    auto stop = parse_request(R"(["stop",12])");
    ASSERT_TRUE(stop) << stop.error().text;
    EXPECT_EQ(std::get<StopRequest>(*stop).pid, 12);
}

TEST(RequestParse, ErrorsNameTheFaultAndItsPosition) {
    struct Case {
        const char* line;
        const char* message;
    };
    const Case cases[] = {
        {R"({"argv":[]})", "missing field `kind` at line 1 column 11"},
        {R"({"kind":"run"})", "missing field `argv` at line 1 column 14"},
        {R"({"kind":"status"})", "missing field `pid` at line 1 column 17"},
        {R"({"kind":"walk","argv":[]})",
         "unknown variant `walk`, expected one of `run`, `background`, `status`, `stop` at line 1 "
         "column 14"},
        {R"({"kind":"run","kind":"run"})", "duplicate field `kind` at line 1 column 20"},
        {R"({"kind":"run","argv":[],"argv":[]})", "duplicate field `argv` at line 1 column 34"},
        {R"({"kind":"run","argv":[],"cwd":"/"})",
         "unknown field `cwd`, expected one of `argv`, `env`, `timeout_s`, `memory_limit_mb`, "
         "`checkin_s`, `log_dir` at line 1 column 34"},
        {R"({"kind":"run","argv":[],"memory_limit_mb":1.5})",
         "invalid type: floating point `1.5`, expected u64 at line 1 column 46"},
        {R"({"kind":"run","argv":[],"memory_limit_mb":-1})",
         "invalid value: integer `-1`, expected u64 at line 1 column 45"},
        {R"({"kind":"run","argv":[],"env":[["A"]]})",
         "invalid length 1, expected a tuple of size 2 at line 1 column 38"},
        {R"({"kind":"run","argv":[],"checkin_s":0e400})",
         "invalid value: floating point `NaN`, expected a number of seconds at line 1 column 42"},
        {R"({"kind":"run","argv":[],"timeout_s":-0e999})",
         "invalid value: floating point `NaN`, expected a number of seconds at line 1 column 43"},
        {R"({"kind":"stop","pid":4294967296})",
         "invalid value: integer `4294967296`, expected i32 at line 1 column 32"},
        {R"({"kind":"status","pid":"1"})",
         "invalid type: string \"1\", expected i32 at line 1 column 27"},
        {R"({"kind":"run","argv":[],"log_dir":null})",
         "invalid type: null, expected a string at line 1 column 39"},
        {R"(["run"])",
         "invalid length 0, expected struct ChildRequest with 6 elements at line 1 column 7"},
        {R"(["status"])",
         "invalid length 0, expected struct variant Request::Status with 1 element at line 1 "
         "column 10"},
        {R"(["stop"])",
         "invalid length 0, expected struct variant Request::Stop with 1 element at line 1 column "
         "8"},
        {R"("run")",
         "invalid type: string \"run\", expected internally tagged enum Request at line 1 column "
         "5"},
        {R"(7)",
         "invalid type: integer `7`, expected internally tagged enum Request at line 1 column 1"},
        {R"({"kind":"stop","pid":1} {})", "trailing characters at line 1 column 25"},
    };
    for (const auto& c : cases) {
        auto r = parse_request(c.line);
        ASSERT_FALSE(r) << c.line;
        EXPECT_EQ(r.error().text, c.message) << c.line;
    }
}

TEST(RequestParse, NestingIsLimited) {
    std::string deep =
        R"({"kind":"status","pid":1,"x":)" + std::string(200, '[') + std::string(200, ']') + "}";
    auto r = parse_request(deep);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().text.rfind("recursion limit exceeded at line 1 column ", 0), 0u)
        << r.error().text;
    std::string fine =
        R"({"kind":"status","pid":1,"x":)" + std::string(100, '[') + std::string(100, ']') + "}";
    EXPECT_TRUE(parse_request(fine));
}

}  // namespace
}  // namespace tj
