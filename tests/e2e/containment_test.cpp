// Nothing a command starts outlives its run, its stop or the end of serve
// input, in every isolation, as root and as uid 65534: daemons that leave the
// command's group, commands that join the launcher's group, orphans that end.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include <fmt/core.h>
#include <gtest/gtest.h>

#include "harness.hpp"
#include "jail_fixture.hpp"
#include "serve_driver.hpp"

namespace tj::e2e {
namespace {

// A text no other process on the machine has in its command line, in two
// parts, so that a script can name it without holding it in its own.
struct Marker {
    std::string head, tail;
    std::string text() const { return head + "." + tail; }
};

Marker unique_marker() {
    static std::atomic<int> count = 0;
    return {fmt::format("{}{}", 9000 + count++, getpid()),
            std::to_string(static_cast<long>(now_s() * 1000) % 100000)};
}

// Processes whose command line holds `marker`, zombies included.
int processes_with(const Marker& m) {
    const std::string marker = m.text();
    int found = 0;
    DIR* dir = opendir("/proc");
    if (dir == nullptr) return -1;
    while (const dirent* entry = readdir(dir)) {
        // Read raw: a process that ends meanwhile fails the read (ESRCH).
        int fd = open((std::string("/proc/") + entry->d_name + "/cmdline").c_str(),
                      O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        close(fd);
        if (n > 0 && std::string_view(buf, n).find(marker) != std::string_view::npos) ++found;
    }
    closedir(dir);
    return found;
}

// Waits (generously) for the count to reach `want`; returns the last count.
int await_count(const Marker& marker, int want, double timeout_s = 10) {
    double until = now_s() + scaled(timeout_s);
    int n = processes_with(marker);
    while (n != want && now_s() < until) {
        usleep(20000);
        n = processes_with(marker);
    }
    return n;
}

// Starts a daemon that leaves the command's group and session, with a child
// of its own, and one plain background child: three processes with the marker
// (four with `then_sleep`, the command itself).
std::string daemonizing(const Marker& m, bool then_sleep = false) {
    std::string script = fmt::format(
        "m={0}; setsid sh -c \"sleep $m.{1} & echo > d.{1}; exec sleep $m.{1}\" & "
        "sleep $m.{1} & until [ -e d.{1} ]; do sleep 0.01; done; rm d.{1}; echo up",
        m.head, m.tail);
    return then_sleep ? script + "; exec sleep $m." + m.tail : script;
}

struct Param {
    const char* isolation;
    RunAs user;
};

// Test names and failure messages show the case, not the record's bytes.
void PrintTo(const Param& param, std::ostream* os) {
    *os << param.isolation << "_" << param.user.name;
}

std::string name_of(const ::testing::TestParamInfo<Param>& info) {
    return std::string(info.param.isolation) + "_" + info.param.user.name;
}

class Containment : public ::testing::TestWithParam<Param> {
  protected:
    Containment() : bed_(GetParam().user) {}
    void SetUp() override {
        if (!can_act_as(GetParam().user))
            GTEST_SKIP() << "needs root to run as " << GetParam().user.name;
    }

    std::string policy(const std::vector<std::string>& argv, const std::string& more = "") const {
        std::string extra = fmt::format(R"("isolation":"{}")", GetParam().isolation);
        return bed_.policy(argv, more.empty() ? extra : extra + "," + more);
    }
    Outcome once(const std::vector<std::string>& argv, const std::string& more = "") const {
        return bed_.run(policy(argv, more));
    }
    ServeOptions serve_options() const {
        ServeOptions options;
        options.prefix = GetParam().user.prefix;
        // The harness names its own launcher last; the shell drops it.
        for (const char* arg : {"/bin/sh", "-c", "shift; exec \"$0\" \"$@\""})
            options.prefix.push_back(arg);
        options.prefix.push_back(shared_bin() + "/tarrow-jail");
        return options;
    }
    std::string serve_policy() const { return policy({"true"}, R"("mode":"serve")"); }
    // The process that runs the commands: the jail init in strict isolation.
    static pid_t server_of(pid_t launcher, bool strict);
    bool strict() const { return std::string(GetParam().isolation) == "strict"; }

    JailBed bed_;
};

pid_t Containment::server_of(pid_t launcher, bool strict) {
    if (!strict) return launcher;
    std::ifstream file(fmt::format("/proc/{}/task/{}/children", launcher, launcher));
    pid_t child = -1;
    file >> child;
    return child;
}

// The process-tree helper, as a JSON string.
std::string tree() {
    return quote(shared_helper("proc_tree"));
}

std::string background(const std::string& script) {
    return R"({"kind":"background","argv":["sh","-c",)" + quote(script) + "]}";
}

long pid_in(const std::string& reply) {
    auto obj = ServeSession::parse(reply);
    return obj.contains("pid") ? static_cast<long>(obj.at("pid").as_int64()) : -1;
}

TEST_P(Containment, OnceRunTakesDaemonsAlongWhenItEndsOrTimesOut) {
    // The limit leaves the script time to start its daemons and say so.
    for (const std::string& limit : {std::string(), fmt::format(R"("timeout_s":{})", scaled(1))}) {
        Marker marker = unique_marker();
        Outcome out = once({"sh", "-c", daemonizing(marker, !limit.empty())}, limit);
        EXPECT_EQ(out.status, 0) << out.err;
        EXPECT_EQ(reply_stdout(out.out), "up\n") << out.out;
        EXPECT_EQ(await_count(marker, 0), 0) << limit;
    }
}

TEST_P(Containment, CommandJoiningTheLaunchersGroupTimesOutAndIsStopped) {
    Marker marker = unique_marker();
    double begin = now_s();
    Outcome out = once({shared_helper("proc_tree"), "join", marker.text()}, R"("timeout_s":1)");
    // The command never ends: a reply that waited for it would come too late.
    EXPECT_LT(now_s() - begin, scaled(20)) << "the reply waited for the command's own end";
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_NE(out.out.find(R"("returncode":124)"), std::string::npos) << out.out;
    EXPECT_EQ(await_count(marker, 0), 0);

    ServeSession s(serve_policy(), serve_options());
    ASSERT_EQ(s.reply(30), R"({"ready":true})") << s.stderr_text();
    std::string ran =
        s.request(fmt::format(R"({{"kind":"run","argv":[{},"join","{}"],"timeout_s":1}})", tree(),
                              marker.text()),
                  30);
    EXPECT_NE(ran.find(R"("returncode":124)"), std::string::npos) << ran;
    long pid = pid_in(s.request(
        fmt::format(R"({{"kind":"background","argv":[{},"join","{}"]}})", tree(), marker.text())));
    ASSERT_EQ(await_count(marker, 1), 1);
    std::string stopped = s.request(fmt::format(R"({{"kind":"stop","pid":{}}})", pid), 30);
    EXPECT_NE(stopped.find(R"("returncode":137,"stopped":true)"), std::string::npos) << stopped;
    EXPECT_EQ(await_count(marker, 0), 0);
    EXPECT_EQ(s.finish(), 0);
}

TEST_P(Containment, ServeRunStopAndEndOfInputTakeDaemonsAlong) {
    ServeSession s(serve_policy(), serve_options());
    ASSERT_EQ(s.reply(30), R"({"ready":true})") << s.stderr_text();
    Marker ran_marker = unique_marker();
    std::string ran = s.request(
        R"({"kind":"run","argv":["sh","-c",)" + quote(daemonizing(ran_marker)) + "]}", 30);
    EXPECT_NE(ran.find(R"("stdout":"up\n")"), std::string::npos) << ran;
    EXPECT_EQ(await_count(ran_marker, 0), 0);

    Marker stopped_marker = unique_marker(), kept_marker = unique_marker();
    long stopped = pid_in(s.request(background(daemonizing(stopped_marker, true))));
    ASSERT_EQ(await_count(stopped_marker, 4), 4);
    long kept = pid_in(s.request(background(daemonizing(kept_marker, true))));
    ASSERT_EQ(await_count(kept_marker, 4), 4);
    std::string reply = s.request(fmt::format(R"({{"kind":"stop","pid":{}}})", stopped), 30);
    EXPECT_EQ(reply, strict() ? R"({"returncode":137,"stopped":true,"survivors":[]})"
                              : R"({"returncode":137,"stopped":true})");
    EXPECT_EQ(await_count(stopped_marker, 0), 0);
    // Another command's daemons are its own until its stop or the end of input.
    EXPECT_EQ(processes_with(kept_marker), 4);
    EXPECT_GT(kept, 0);
    EXPECT_EQ(s.finish(30), 0);
    EXPECT_EQ(await_count(kept_marker, 0), 0);
}

TEST_P(Containment, OrphansThatEndAreCollectedAtOnce) {
    ServeSession s(serve_policy(), serve_options());
    ASSERT_EQ(s.reply(30), R"({"ready":true})") << s.stderr_text();
    pid_t server = server_of(s.pid(), strict());
    ASSERT_GT(server, 0);
    // A tracked command that ended stays collectable for its status.
    long ended = pid_in(s.request(R"({"kind":"background","argv":["true"]})"));
    long maker = pid_in(
        s.request(fmt::format(R"({{"kind":"background","argv":[{},"orphans","500"]}})", tree())));
    ASSERT_GT(maker, 0);
    const std::string status_of_maker = fmt::format(R"({{"kind":"status","pid":{}}})", maker);
    std::string status;
    for (double until = now_s() + scaled(60); now_s() < until; usleep(50000)) {
        status = s.request(status_of_maker);
        if (status != R"({"returncode":null,"running":true})") break;
    }
    EXPECT_EQ(status, R"({"returncode":0,"running":false})");
    // Left waiting: the ended command only, for its status.
    auto zombies_settle_at = [&](size_t want) {
        size_t n = zombie_children(server).size();
        for (double until = now_s() + scaled(10); n != want && now_s() < until; usleep(20000))
            n = zombie_children(server).size();
        return n;
    };
    EXPECT_EQ(zombies_settle_at(1), 1u) << "orphans left as zombies";
    EXPECT_EQ(s.request(fmt::format(R"({{"kind":"status","pid":{}}})", ended)),
              R"({"returncode":0,"running":false})");
    EXPECT_EQ(zombies_settle_at(0), 0u);
    EXPECT_EQ(s.finish(), 0);
}

// Outside the jail a cgroup holds the tree where the launcher may make one
// (root here); elsewhere the keeper stops and kills it.
TEST_P(Containment, LauncherKilledMidRunLeavesNothing) {
    for (bool serve : {false, true}) {
        Marker marker = unique_marker();
        std::string script = daemonizing(marker, true);
        Launch l = bed_.launch(policy({"sh", "-c", script}));
        if (serve) {
            l.policy_fd = serve_policy() + "\n";
            // The check-in falls after the command's processes are up, even on a
            // slow machine: a run handed over before then ends with the input.
            l.stdin_data = R"({"kind":"run","argv":["sh","-c",)" + quote(script) +
                           R"(],"checkin_s":)" + std::to_string(scaled(1)) + R"(,"log_dir":)" +
                           quote(bed_.work()) + "}\n";
        }
        // The launcher's input is fed after this returns: kill from a thread.
        std::thread killer;
        l.on_start = [&](pid_t launcher) {
            killer = std::thread([&marker, launcher] {
                EXPECT_EQ(await_count(marker, 4, 30), 4);
                kill(launcher, SIGKILL);
            });
        };
        Outcome out = run_launcher(l);
        killer.join();
        EXPECT_EQ(out.status, 128 + SIGKILL) << out.err << out.out;
        EXPECT_EQ(await_count(marker, 0), 0) << (serve ? "serve" : "once");
    }
}

// The cgroup mount and the command's own group, as the command sees them.
constexpr const char* kOwnGroup =
    "g=$(grep -m1 ' - cgroup2 ' /proc/self/mountinfo | cut -d' ' -f5)$(sed -n 's/^0:://p' "
    "/proc/self/cgroup)";

// Where the launcher can make a cgroup v2 group with the memory and pids
// controllers for each run: the whole tree of a run shares one memory limit
// and one task cap. Elsewhere runs get none, and the record says so.
TEST_P(Containment, RunGroupLimitsMemoryAndTasks) {
    Outcome probe = once({"sh", "-c", std::string(kOwnGroup) + "; echo \"$g\""});
    if (probe.out.find("/run-") == std::string::npos)
        GTEST_SKIP() << "no run gets a cgroup of its own here (needs cgroup v2 with the memory "
                        "and pids controllers, a launcher allowed to make groups, and isolation "
                        "none): "
                     << probe.out;
    // Shared memory passes RLIMIT_DATA; the group's memory.max holds it.
    Outcome shared = once({shared_helper("alloc_mb"), "512", "shared"}, R"("memory_limit_mb":64)");
    EXPECT_EQ(shared.out.find("allocated"), std::string::npos) << shared.out;
    Outcome small = once({shared_helper("alloc_mb"), "16", "shared"}, R"("memory_limit_mb":64)");
    EXPECT_NE(small.out.find("allocated"), std::string::npos) << small.out;
    // A fork bomb meets pids.max; the run's end takes every one of its processes.
    Outcome bomb = once({"sh", "-c",
                         std::string(kOwnGroup) + "; " + shared_helper("proc_tree") +
                             " bomb & until grep -q 'max [1-9]' \"$g/pids.events\"; do sleep "
                             "0.1; done; cat \"$g/pids.max\" \"$g/pids.current\""},
                        R"("timeout_s":600)");
    EXPECT_NE(bomb.out.find(R"("stdout":"4096\n)"), std::string::npos) << bomb.out;
}

INSTANTIATE_TEST_SUITE_P(Isolations, Containment,
                         ::testing::Values(Param{"none", as_root()}, Param{"none", as_nobody()},
                                           Param{"hardened", as_root()},
                                           Param{"hardened", as_nobody()},
                                           Param{"strict", as_root()},
                                           Param{"strict", as_nobody()}),
                         name_of);

}  // namespace
}  // namespace tj::e2e
