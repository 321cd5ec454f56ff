// Serve mode outside the jail, driven through the launcher's standard streams.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <fmt/core.h>
#include <gtest/gtest.h>

#include "harness.hpp"
#include "serve_driver.hpp"

namespace tj::e2e {
namespace {

constexpr const char* kReady = R"({"ready":true})";
constexpr const char* kRunning = R"({"returncode":null,"running":true})";
constexpr const char* kEchild =
    R"({"error":"ECHILD: No child processes","returncode":null,"running":false})";
constexpr const char* kStatusEinval =
    R"({"error":"EINVAL: Invalid argument","returncode":null,"running":false})";

std::string serve_policy(const std::string& cwd) {
    return R"({"isolation":"none","cwd":)" + quote(cwd) + R"(,"argv":["true"],"mode":"serve"})";
}

std::string sh(const std::string& script) {
    return R"(["sh","-c",)" + quote(script) + "]";
}

std::string run(const std::string& argv, const std::string& more = "") {
    return R"({"kind":"run","argv":)" + argv + more + "}";
}
std::string background(const std::string& argv) {
    return R"({"kind":"background","argv":)" + argv + "}";
}
std::string status(long pid) {
    return fmt::format(R"({{"kind":"status","pid":{}}})", pid);
}
std::string stop(long pid) {
    return fmt::format(R"({{"kind":"stop","pid":{}}})", pid);
}

std::string background_reply(long pid) {
    return fmt::format(R"({{"pid":{},"returncode":0,"stderr":"","stdout":""}})", pid);
}
std::string exec_failed(const std::string& error) {
    return R"({"exec_failed":true,"returncode":127,"stderr":)" +
           quote("child execution failed: " + error) + R"(,"stdout":""})";
}

long pid_in(const std::string& reply) {
    auto obj = ServeSession::parse(reply);
    return obj.contains("pid") ? static_cast<long>(obj.at("pid").as_int64()) : -1;
}

// A session past its readiness line.
struct Served {
    TempDir dir;
    ServeSession session;
    explicit Served(const ServeOptions& options = {}) : session(serve_policy(dir.path()), options) {
        EXPECT_EQ(session.reply(), kReady);
    }
    long start(const std::string& argv) {
        std::string reply = session.request(background(argv));
        long pid = pid_in(reply);
        EXPECT_EQ(reply, background_reply(pid));
        return pid;
    }
    // Asks until the status is no longer "running".
    std::string final_status(long pid) {
        for (int i = 0; i < 1000; ++i) {
            std::string reply = session.request(status(pid));
            if (reply != kRunning) return reply;
            usleep(10000);
        }
        return "<still running>";
    }
};

std::string read_file(const std::string& path) {
    std::ifstream file(path);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// The pid a command wrote to `path`, once it is there.
long pid_from_file(const std::string& path) {
    for (int i = 0; i < 500; ++i) {
        std::string text = read_file(path);
        if (!text.empty() && text.back() == '\n') return std::stol(text);
        usleep(10000);
    }
    return -1;
}

std::string sleeper_writing_child_pid(const std::string& path) {
    return sh("trap '' TERM; sleep 100 & echo $! > " + path + "; wait");
}

TEST(Serve, AnnouncesReadinessAndEndsWithItsInput) {
    TempDir dir;
    ServeSession session(serve_policy(dir.path()));
    EXPECT_EQ(session.reply(), kReady);
    EXPECT_EQ(session.finish(), 0);
    EXPECT_EQ(session.reply(1), std::nullopt);

    Launch closed;
    closed.policy_fd = serve_policy(dir.path());
    closed.stdin_closed = true;
    Outcome outcome = run_launcher(closed);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, std::string(kReady) + "\n");
}

TEST(Serve, SkipsBlankLinesAndAnswersEachRunOutcome) {
    Served s;
    for (const char* blank : {"", "   ", "\t \r", "\u00a0\u3000"}) s.session.send(blank);
    struct Case {
        std::string request;
        std::string reply;
    };
    const Case cases[] = {
        {run(sh("printf out; printf 'err\\n' >&2; exit 3")),
         R"({"returncode":3,"stderr":"err\n","stdout":"out"})"},
        {run(sh("kill -TERM $$")), R"({"returncode":143,"stderr":"","stdout":""})"},
        {run(R"(["sleep","5"])", R"(,"timeout_s":0.3)"),
         R"({"returncode":124,"stderr":"\n[tarrow-jail] timeout","stdout":""})"},
        {run(sh("echo \"$A\""), R"(,"env":[["A","x\"y"]])"),
         R"({"returncode":0,"stderr":"","stdout":"x\"y\n"})"},
        {run("[]"), exec_failed("empty argv")},
        {run(R"(["/nonexistent/tool"])"), exec_failed("No such file or directory (os error 2)")},
        {background("[]"), exec_failed("empty argv")},
        {background(R"(["/nonexistent/tool"])"),
         exec_failed("No such file or directory (os error 2)")},
    };
    for (const auto& c : cases) EXPECT_EQ(s.session.request(c.request), c.reply) << c.request;
    EXPECT_EQ(s.session.finish(), 0);
    EXPECT_EQ(s.session.reply(1), std::nullopt);
}

TEST(Serve, StatusReportsTheEndOnceThenEchild) {
    Served s;
    long exits = s.start(sh("sleep 0.5; exit 7"));
    long killed = s.start(sh("sleep 0.5; kill -KILL $$"));
    EXPECT_EQ(s.session.request(status(exits)), kRunning);
    EXPECT_EQ(s.final_status(exits), R"({"returncode":7,"running":false})");
    EXPECT_EQ(s.session.request(status(exits)), kEchild);
    EXPECT_EQ(s.session.request(stop(exits)), R"({"returncode":null,"stopped":true})");
    EXPECT_EQ(s.final_status(killed), R"({"returncode":137,"running":false})");
    EXPECT_EQ(s.session.request(status(1)), kEchild);
    EXPECT_EQ(s.session.finish(), 0);
}

// waitpid reads 0 and -1 as "any child": such a status must not collect,
// and misreport, another command's end.
TEST(Serve, StatusOfPidZeroOrBelowIsRefusedWithoutCollecting) {
    Served s;
    long pid = s.start(sh("exit 4"));
    ASSERT_TRUE(await_process_end(pid));
    EXPECT_EQ(s.session.request(status(0)), kStatusEinval);
    EXPECT_EQ(s.session.request(status(-1)), kStatusEinval);
    EXPECT_EQ(s.session.request(status(-pid)), kStatusEinval);
    EXPECT_EQ(s.session.request(status(pid)), R"({"returncode":4,"running":false})");
}

TEST(Serve, StopKillsTheWholeGroupAndCollectsTheEnd) {
    Served s;
    long stubborn = s.start(sleeper_writing_child_pid(s.dir / "child"));
    long child = pid_from_file(s.dir / "child");
    ASSERT_GT(child, 0);
    EXPECT_EQ(s.session.request(stop(stubborn)), R"({"returncode":137,"stopped":true})");
    EXPECT_TRUE(await_process_end(child));
    EXPECT_EQ(s.session.request(status(stubborn)), kEchild);

    long ended = s.start(sh("exit 5"));
    ASSERT_TRUE(await_process_end(ended));
    EXPECT_EQ(s.session.request(stop(ended)), R"({"returncode":5,"stopped":true})");
    EXPECT_EQ(s.session.request(stop(ended)), R"({"returncode":null,"stopped":true})");
    EXPECT_EQ(s.session.request(stop(1)), R"({"returncode":null,"stopped":true})");
    for (long pid : {0L, -1L}) {
        EXPECT_EQ(s.session.request(stop(pid)),
                  R"({"error":"EINVAL: Invalid argument","stopped":false})");
    }
    EXPECT_EQ(s.session.finish(), 0);
}

// A task in a frozen cgroup-v1 freezer acts on SIGKILL only once thawed.
TEST(Serve, StopGivesUpFiveSecondsAfterTheKill) {
    const std::string group = fmt::format("/sys/fs/cgroup/freezer/tj-serve-{}", getpid());
    if (mkdir(group.c_str(), 0700) != 0) GTEST_SKIP() << "no cgroup-v1 freezer";
    Served s;
    long pid = s.start(R"(["sleep","100"])");
    std::ofstream(group + "/cgroup.procs") << pid;
    std::ofstream(group + "/freezer.state") << "FROZEN";
    for (int i = 0; i < 1000 && read_file(group + "/freezer.state") != "FROZEN\n"; ++i) {
        usleep(1000);
    }
    EXPECT_EQ(
        s.session.request(stop(pid), 15),
        fmt::format(R"({{"error":"pid {} did not exit within 5s of SIGKILL","stopped":false}})",
                    pid));
    std::ofstream(group + "/freezer.state") << "THAWED";
    EXPECT_EQ(s.final_status(pid), R"({"returncode":137,"running":false})");
    rmdir(group.c_str());
}

TEST(Serve, CheckInHandsTheRunToTheBackgroundWithItsWholeLog) {
    Served s;
    std::string reply =
        s.session.request(run(sh("echo before; sleep 2; echo after >&2"),
                              R"(,"checkin_s":1,"log_dir":)" + quote(s.dir.path())));
    long pid = pid_in(reply);
    const std::string log = s.dir / fmt::format("converted-{}.log", pid);
    EXPECT_EQ(
        reply,
        fmt::format(R"({{"backgrounded":true,"log":{},"pid":{},"stderr":"","stdout":"before\n"}})",
                    quote(log), pid));
    EXPECT_EQ(s.session.request(status(pid)), kRunning);
    EXPECT_EQ(s.final_status(pid), R"({"returncode":0,"running":false})");
    std::string content;
    for (int i = 0; i < 200 && (content = read_file(log)) != "before\nafter\n"; ++i) usleep(10000);
    EXPECT_EQ(content, "before\nafter\n");
}

// In a fresh PID namespace the launcher is PID 1 and its first command PID 2,
// so the log names of that run can be put in its way beforehand: a file and a
// symbolic link. The run takes the next free name and touches neither.
TEST(Serve, TakenLogNamesAreSkippedAndLeftUntouched) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a PID namespace";
    TempDir dir;
    std::ofstream(dir / "converted-2.log") << "keep";
    const std::string target = dir / "target";
    ASSERT_EQ(symlink(target.c_str(), (dir / "converted-2-1.log").c_str()), 0);
    ServeOptions options;
    options.prefix = {"unshare", "--pid", "--fork", "--mount-proc"};
    ServeSession session(serve_policy(dir.path()), options);
    ASSERT_EQ(session.reply(), kReady);
    std::string reply = session.request(run(sh("echo early; sleep 1; exit 6"),
                                            R"(,"checkin_s":0.3,"log_dir":)" + quote(dir.path())));
    EXPECT_EQ(
        reply,
        fmt::format(R"({{"backgrounded":true,"log":{},"pid":2,"stderr":"","stdout":"early\n"}})",
                    quote(dir / "converted-2-2.log")));
    EXPECT_EQ(read_file(dir / "converted-2.log"), "keep");
    EXPECT_FALSE(std::filesystem::exists(target));
    std::string status_reply;
    for (int i = 0; i < 500 && (status_reply = session.request(status(2))) == kRunning; ++i) {
        usleep(10000);
    }
    EXPECT_EQ(status_reply, R"({"returncode":6,"running":false})");
    EXPECT_EQ(read_file(dir / "converted-2-2.log"), "early\n");
    EXPECT_EQ(session.finish(), 0);
}

// A command whose log file cannot be made is killed with its group before the
// failure is reported: nothing runs on untracked.
TEST(Serve, AHandOverWithoutALogFileLeavesNoProcess) {
    struct Case {
        const char* what;
        std::string log_dir;
        std::string error;
    };
    Served s;
    std::ofstream(s.dir / "plain") << "";
    const Case cases[] = {
        {"missing", s.dir / "missing", "No such file or directory (os error 2)"},
        {"a file", s.dir / "plain", "Not a directory (os error 20)"},
    };
    for (const Case& c : cases) {
        const std::string pids = s.dir / (std::string("pids-") + c.what);
        std::string reply =
            s.session.request(run(sh("sleep 100 & echo $$ $! > '" + pids + ".tmp'; mv '" + pids +
                                     ".tmp' '" + pids + "'; wait"),
                                  R"(,"checkin_s":0.5,"log_dir":)" + quote(c.log_dir)));
        EXPECT_EQ(reply, exec_failed(c.error)) << c.what;
        long shell = 0, sleeper = 0;
        std::istringstream(read_file(pids)) >> shell >> sleeper;
        ASSERT_GT(sleeper, 0) << c.what;
        EXPECT_TRUE(await_process_end(shell)) << c.what;
        EXPECT_TRUE(await_process_end(sleeper)) << c.what;
    }
    EXPECT_EQ(s.session.finish(), 0);
}

// An interrupt descriptor that never runs dry hands the run over once; it does
// not hold the run in an endless read.
TEST(Serve, AnEndlessInterruptDescriptorDoesNotHangTheRun) {
    Served s(ServeOptions{.interrupt_file = "/dev/zero"});
    std::string reply = s.session.request(run(
        sh("echo started; exec sleep 100"), R"(,"checkin_s":60,"log_dir":)" + quote(s.dir.path())));
    auto obj = ServeSession::parse(reply);
    EXPECT_EQ(obj["backgrounded"], true) << reply;
    long pid = pid_in(reply);
    EXPECT_EQ(s.session.request(stop(pid)), R"({"returncode":137,"stopped":true})");
    EXPECT_EQ(s.session.finish(), 0);
}

TEST(Serve, InterruptHandsTheRunToTheBackgroundAtOnce) {
    Served s(ServeOptions{.interrupt_pipe = true});
    s.session.send(run(sh("echo started; exec sleep 100"),
                       R"(,"checkin_s":60,"log_dir":)" + quote(s.dir.path())));
    EXPECT_EQ(s.session.reply(0.5), std::nullopt);
    s.session.interrupt("three bytes, or more");
    std::string reply = s.session.reply(5).value_or("");
    auto obj = ServeSession::parse(reply);
    EXPECT_EQ(obj["backgrounded"], true) << reply;
    EXPECT_EQ(obj["stdout"], "started\n") << reply;
    long pid = pid_in(reply);
    EXPECT_EQ(s.session.request(stop(pid)), R"({"returncode":137,"stopped":true})");
    // The descriptor was read empty: the next check-in waits again.
    s.session.send(
        run(R"(["sleep","0.3"])", R"(,"checkin_s":60,"log_dir":)" + quote(s.dir.path())));
    EXPECT_EQ(s.session.reply(), R"({"returncode":0,"stderr":"","stdout":""})");
}

TEST(Serve, EndOfInputKillsTheGroupsOfTrackedCommands) {
    Served s;
    long a = s.start(sleeper_writing_child_pid(s.dir / "a"));
    long b = s.start(sleeper_writing_child_pid(s.dir / "b"));
    long ended = s.start(R"(["true"])");
    std::string reply =
        s.session.request(run(sleeper_writing_child_pid(s.dir / "c"),
                              R"(,"checkin_s":0.3,"log_dir":)" + quote(s.dir.path())));
    long c = pid_in(reply);
    EXPECT_GT(c, 0) << reply;
    std::vector<long> pids = {a, b, c};
    for (const char* name : {"a", "b", "c"}) pids.push_back(pid_from_file(s.dir / name));
    ASSERT_TRUE(await_process_end(ended));
    for (long pid : pids) EXPECT_TRUE(process_running(pid)) << pid;
    EXPECT_EQ(s.session.finish(), 0);
    for (long pid : pids) EXPECT_TRUE(await_process_end(pid)) << pid;
}

TEST(Serve, MalformedRequestEndsTheServerWhileBackgroundCommandsRunOn) {
    Served s;
    long first = s.start(R"(["sleep","100"])");
    long second = s.start(R"(["sleep","100"])");
    s.session.send(R"({"kind":"run","argv":["true"],"argz":1})");
    EXPECT_EQ(s.session.wait_exit(), 2);
    EXPECT_EQ(s.session.reply(1), std::nullopt);
    EXPECT_TRUE(
        s.session.stderr_text().find(
            "\ntarrow-jail: serve: invalid request JSON: unknown field `argz`, expected one "
            "of `argv`, `env`, `timeout_s`, `memory_limit_mb`, `checkin_s`, `log_dir` at "
            "line 1 column ") != std::string::npos)
        << s.session.stderr_text();
    for (long pid : {first, second}) {
        EXPECT_TRUE(process_running(pid));
        killpg(static_cast<pid_t>(pid), SIGKILL);
    }
}

TEST(Serve, FatalLines) {
    TempDir dir;
    {
        ServeSession session(serve_policy(dir.path()), ServeOptions{.reply_channel_closed = true});
        EXPECT_EQ(session.wait_exit(), 2);
        EXPECT_TRUE(
            session.stderr_text().ends_with("\ntarrow-jail: serve: the request channel is gone\n"))
            << session.stderr_text();
    }
    ServeSession session(serve_policy(dir.path()));
    EXPECT_EQ(session.reply(), kReady);
    session.send("{\"kind\":\"status\",\"pid\":\"\xff\"}");
    EXPECT_EQ(session.wait_exit(), 2);
    EXPECT_TRUE(session.stderr_text().ends_with(
        "\ntarrow-jail: serve: reading request failed: stream did not contain valid UTF-8\n"))
        << session.stderr_text();

    // NaN seconds, and a position before a line's first byte (column 1).
    for (auto [line, message] : {
             std::pair{std::string(R"({"kind":"run","argv":[],"checkin_s":0e400})"),
                       std::string("invalid value: floating point `NaN`, expected a number of "
                                   "seconds at line 1 column 42")},
             std::pair{std::string("]"), std::string("syntax error at line 1 column 1")},
         }) {
        ServeSession refused(serve_policy(dir.path()));
        EXPECT_EQ(refused.reply(), kReady);
        refused.send(line);
        EXPECT_EQ(refused.wait_exit(), 2);
        EXPECT_TRUE(refused.stderr_text().ends_with(
            "\ntarrow-jail: serve: invalid request JSON: " + message + "\n"))
            << refused.stderr_text();
    }

    // A line past the limit is refused once the limit is passed, not held whole.
    ServeSession flooded(serve_policy(dir.path()));
    EXPECT_EQ(flooded.reply(), kReady);
    flooded.send(std::string(80 << 20, ' '));
    EXPECT_EQ(flooded.wait_exit(), 2);
    EXPECT_TRUE(flooded.stderr_text().ends_with(
        "\ntarrow-jail: serve: reading request failed: line longer than 67108864 bytes\n"))
        << flooded.stderr_text();
}

long resident_kib(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(file, line);) {
        if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    }
    return -1;
}

// Thousands of runs and background starts: every descriptor the server opens
// for them is closed again, every command it answers for is collected, and
// its memory does not follow the number of requests.
TEST(ServeSoak, LeavesNoZombiesNoDescriptorsAndNoGrowth) {
    Served s;
    auto batch = [&](int rounds) {
        for (int i = 0; i < rounds; ++i) {
            std::vector<long> started;
            for (int k = 0; k < 50; ++k) {
                ASSERT_EQ(s.session.request(run(R"(["true"])")),
                          R"({"returncode":0,"stderr":"","stdout":""})");
                started.push_back(s.start(R"(["true"])"));
            }
            for (long pid : started) {
                ASSERT_EQ(s.final_status(pid), R"({"returncode":0,"running":false})");
            }
        }
    };
    const pid_t server = s.session.pid();
    batch(2);
    int fds = open_fd_count(server);
    for (int i = 0; i < 20; ++i, usleep(10000)) fds = std::min(fds, open_fd_count(server));
    const long rss = resident_kib(server);
    batch(14);
    EXPECT_EQ(settled_fd_count(server, fds), fds);
    EXPECT_EQ(zombie_children(server), std::vector<pid_t>{});
    if (!kSanitizedBuild) {
        EXPECT_LT(resident_kib(server) - rss, 1024) << "KiB before: " << rss;
    }
    EXPECT_EQ(s.session.finish(), 0);
}

}  // namespace
}  // namespace tj::e2e
