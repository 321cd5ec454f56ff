// The enforcement record on --status-fd, as a supervisor reads it: one line
// once confinement is in place, what each isolation really put in force, the
// skipped policy entries, a fatal error's message and a foreground command's end.
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "harness.hpp"
#include "jail_fixture.hpp"
#include "reply_log.hpp"

namespace tj::e2e {
namespace {

namespace json = boost::json;

struct Recorded {
    Outcome outcome;
    std::vector<json::object> lines;
    std::string text;
};

// Runs `launch` with --status-fd on a pipe and reads every record line.
Recorded run_recorded(Launch launch) {
    int fds[2];
    make_pipe(fds);
    int write_end = high_fd(fds[1]);
    launch.args.insert(launch.args.end(), {"--status-fd", std::to_string(write_end)});
    launch.pass_fds.push_back(write_end);
    Recorded r;
    r.outcome = run_launcher(launch);
    ::close(write_end);
    char buf[65536];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) r.text.append(buf, size_t(n));
    ::close(fds[0]);
    log_record_lines(r.text);
    for (size_t start = 0; start < r.text.size();) {
        size_t end = r.text.find('\n', start);
        if (end == std::string::npos) end = r.text.size();
        r.lines.push_back(json::parse(r.text.substr(start, end - start)).as_object());
        start = end + 1;
    }
    return r;
}

Launch host_launch(const std::string& isolation, const std::string& cwd, const std::string& more) {
    Launch l;
    l.policy_fd = "{\"isolation\":" + quote(isolation) + ",\"cwd\":" + quote(cwd) +
                  ",\"argv\":[\"/bin/sh\",\"-c\",\"exit 3\"]" + more + "}\n";
    return l;
}

json::array names(std::initializer_list<const char*> items) {
    json::array out;
    for (const char* item : items) out.emplace_back(item);
    return out;
}

void expect_landlock_enforced(const json::object& record) {
    ASSERT_TRUE(record.at("landlock").is_object()) << record;
    const json::object& landlock = record.at("landlock").as_object();
    // The rule sets handle every right up to truncate (ABI 3); an older kernel
    // enforces the part it knows.
    const int64_t abi = landlock.at("abi").as_int64();
    EXPECT_GE(abi, 1);
    EXPECT_EQ(landlock.at("outcome"), abi >= 3 ? "enforced" : "partly_enforced") << abi;
    const json::array& handled = landlock.at("handled_access_fs").as_array();
    EXPECT_EQ(handled.front(), "execute");
    EXPECT_NE(std::find(handled.begin(), handled.end(), json::value("write_file")), handled.end());
    EXPECT_TRUE(record.at("seccomp").at("arch").is_string());
}

TEST(StatusRecord, UnconfinedRecordsThatNothingIsEnforced) {
    TempDir dir;
    Recorded r = run_recorded(host_launch("none", dir.path(), ",\"memory_limit_mb\":64"));
    EXPECT_EQ(r.outcome.status, 0) << r.outcome.err;
    ASSERT_EQ(r.lines.size(), 1U) << r.text;
    const json::object& record = r.lines[0];
    EXPECT_EQ(record.at("event"), "confined");
    EXPECT_EQ(record.at("isolation"), "none");
    EXPECT_EQ(record.at("cwd").as_string(), std::filesystem::canonical(dir.path()).string());
    EXPECT_TRUE(record.at("landlock").is_null());
    EXPECT_TRUE(record.at("seccomp").is_null());
    EXPECT_EQ(record.at("namespaces"), json::array());
    EXPECT_EQ(record.at("network"), "host");
    EXPECT_EQ(record.at("limits").at("rlimit_data_bytes"), 64 << 20);
    // The run's cgroup limits, where the launcher could make run groups.
    const json::object& limits = record.at("limits").as_object();
    if (limits.at("cgroup_pids").is_null())
        EXPECT_TRUE(limits.at("cgroup_memory_bytes").is_null());
    else
        EXPECT_EQ(limits.at("cgroup_memory_bytes"), 64 << 20);
    EXPECT_EQ(record.at("skipped"), json::array());
    // One compact line with its keys in ascending order.
    EXPECT_EQ(r.text.rfind("{\"cwd\":", 0), 0U) << r.text;
    EXPECT_NE(r.text.find("\"limits\":{\"cgroup_memory_bytes\":"), std::string::npos);
    EXPECT_LT(r.text.find("\"cgroup_memory_bytes\""), r.text.find("\"cgroup_pids\""));
}

TEST(StatusRecord, HardenedRecordsLandlockAndSeccompOnTheHostNetwork) {
    TempDir dir;
    Recorded r = run_recorded(host_launch("hardened", dir.path(), ",\"mode\":\"exec\""));
    EXPECT_EQ(r.outcome.status, 3) << r.outcome.err;
    ASSERT_EQ(r.lines.size(), 2U) << r.text;
    expect_landlock_enforced(r.lines[0]);
    EXPECT_EQ(r.lines[0].at("isolation"), "hardened");
    EXPECT_EQ(r.lines[0].at("namespaces"), json::array());
    EXPECT_TRUE(r.lines[0].at("limits").at("rlimit_data_bytes").is_null());
    EXPECT_EQ(r.lines[1], (json::object{{"event", "end"}, {"exit_code", 3}}));
}

TEST(StatusRecord, FatalStartUpErrorIsRecordedWithItsMessage) {
    Recorded r = run_recorded(host_launch("strict", "/nonexistent/tarrow-status", ""));
    EXPECT_EQ(r.outcome.status, 2);
    ASSERT_EQ(r.lines.size(), 1U) << r.text;
    EXPECT_EQ(r.lines[0].at("event"), "fatal");
    const std::string message(r.lines[0].at("message").as_string());
    EXPECT_EQ("tarrow-jail: " + message + "\n", r.outcome.err);
}

TEST(StatusRecord, DescriptorOptionIsRefusedLikeTheOthers) {
    for (const char* value : {"2", "-5", "3x", "+"}) {
        Launch l = host_launch("none", "/", "");
        l.args = {"--status-fd", value};
        Outcome o = run_launcher(l);
        EXPECT_EQ(o.status, 2) << value;
        EXPECT_EQ(o.err, "tarrow-jail: --status-fd needs a file descriptor number above 2\n");
    }
}

class StrictStatusRecord : public ::testing::TestWithParam<RunAs> {
  protected:
    JailBed bed{GetParam()};
};

TEST_P(StrictStatusRecord, RecordsNamespacesLandlockAndSeccomp) {
    Recorded r = run_recorded(bed.launch(bed.policy({"/bin/true"})));
    EXPECT_EQ(r.outcome.status, 0) << r.outcome.err;
    ASSERT_EQ(r.lines.size(), 1U) << r.text;
    const json::object& record = r.lines[0];
    expect_landlock_enforced(record);
    EXPECT_EQ(record.at("isolation"), "strict");
    EXPECT_EQ(record.at("cwd").as_string(), bed.work());
    EXPECT_EQ(record.at("network"), "none");
    EXPECT_EQ(record.at("namespaces"), names({"user", "mount", "uts", "ipc", "pid", "net"}));
    EXPECT_EQ(r.outcome.err.find("warning"), std::string::npos) << r.outcome.err;
}

TEST_P(StrictStatusRecord, HostNetworkEntersNoNetworkNamespace) {
    Recorded r = run_recorded(bed.launch(bed.policy({"/bin/true"}, "\"network\":\"host\"")));
    ASSERT_EQ(r.lines.size(), 1U) << r.outcome.err;
    EXPECT_EQ(r.lines[0].at("network"), "host");
    EXPECT_EQ(r.lines[0].at("namespaces"), names({"user", "mount", "uts", "ipc", "pid"}));
}

TEST_P(StrictStatusRecord, SkippedEntriesCarryTheirReasons) {
    const std::string missing = bed.base() + "/missing";
    const std::string outside = bed.base();
    Recorded r = run_recorded(bed.launch(
        bed.policy({"/bin/true"}, "\"extra_rw_paths\":[" + quote(missing) +
                                      "],\"extra_ro_paths\":[\"/usr/lib\"]" +
                                      ",\"extra_protect_paths\":[" + quote(outside) + "]")));
    EXPECT_EQ(r.outcome.status, 0) << r.outcome.err;
    ASSERT_EQ(r.lines.size(), 1U) << r.text;
    const json::array& skipped = r.lines[0].at("skipped").as_array();
    auto has = [&](const char* key, const std::string& path, const char* reason) {
        json::value entry = json::object{{"key", key}, {"path", path}, {"reason", reason}};
        return std::find(skipped.begin(), skipped.end(), entry) != skipped.end();
    };
    EXPECT_TRUE(has("extra_rw_paths", missing, "missing")) << skipped;
    EXPECT_TRUE(has("extra_ro_paths", "/usr/lib", "under a system directory")) << skipped;
    EXPECT_TRUE(has("extra_protect_paths", outside, "outside cwd")) << skipped;
}

TEST_P(StrictStatusRecord, ExecModeEndsWithTheCommandsExitOrSignal) {
    struct Case {
        const char* script;
        json::object end;
        int status;
    };
    const Case cases[] = {
        {"exit 2", {{"event", "end"}, {"exit_code", 2}}, 2},
        {"kill -TERM $$", {{"event", "end"}, {"signal", 15}}, 143},
    };
    for (const Case& c : cases) {
        Recorded r =
            run_recorded(bed.launch(bed.policy({"/bin/sh", "-c", c.script}, "\"mode\":\"exec\"")));
        EXPECT_EQ(r.outcome.status, c.status) << r.outcome.err;
        ASSERT_EQ(r.lines.size(), 2U) << r.text;
        EXPECT_EQ(r.lines[0].at("event"), "confined");
        EXPECT_EQ(r.lines[1], c.end) << c.script;
    }
}

TEST_P(StrictStatusRecord, ServeRecordsBeforeTheReadinessLine) {
    Launch l = bed.launch(bed.policy({"/bin/true"}, "\"mode\":\"serve\""));
    Recorded r = run_recorded(l);
    EXPECT_EQ(r.outcome.status, 0) << r.outcome.err;
    EXPECT_EQ(r.outcome.out, "{\"ready\":true}\n");
    ASSERT_EQ(r.lines.size(), 1U) << r.text;
    EXPECT_EQ(r.lines[0].at("event"), "confined");
}

INSTANTIATE_TEST_SUITE_P(Users, StrictStatusRecord, ::testing::Values(as_root(), as_nobody()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tj::e2e
