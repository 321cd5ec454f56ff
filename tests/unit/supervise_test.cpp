#include "exec/supervise.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <fmt/core.h>
#include <gtest/gtest.h>

namespace tj {
namespace {

[[noreturn]] void pause_forever() {
    for (;;) pause();
}

// Forks a process that runs `fn` and then pauses for good.
template <typename F>
pid_t spawn(F fn) {
    pid_t pid = fork();
    if (pid == 0) {
        fn();
        pause_forever();
    }
    return pid;
}

// As spawn, leading its own process group from the start, as commands do.
template <typename F>
pid_t spawn_leader(F fn) {
    pid_t pid = spawn([&] {
        setpgid(0, 0);
        fn();
    });
    setpgid(pid, pid);
    return pid;
}

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) == 0) r = fds[0], w = fds[1];
    }
    ~Pipe() {
        close(r);
        close(w);
    }
    void announce() const {
        pid_t self = getpid();
        (void)!write(w, &self, sizeof self);
    }
    pid_t next_pid() const {
        pid_t pid = -1;
        return read(r, &pid, sizeof pid) == sizeof pid ? pid : -1;
    }
};

// Zombies waiting for someone else's wait count as gone.
bool alive(pid_t pid) {
    auto stat = read_proc_stat(pid);
    return stat && stat->state != 'Z';
}

pid_t parent_of(pid_t pid) {
    auto stat = read_proc_stat(pid);
    return stat ? stat->ppid : -1;
}

TEST(ProcStat, ParsesTheFieldsAfterTheLastParenthesis) {
    struct Case {
        const char* line;
        std::optional<ProcStat> want;
    };
    const Case cases[] = {
        {"42 (sleep) S 1 42 42 0 -1", ProcStat{'S', 1, 42}},
        {"42 (a) b) c) Z 7 -3 9\n", ProcStat{'Z', 7, -3}},
        {"42 ((x)) R  +8\t9", ProcStat{'R', 8, 9}},
        {"42 (x\xff) D 2 3", ProcStat{'D', 2, 3}},
        {"42 (x)S 1 2", std::nullopt},
        {"42 (x) S 1", std::nullopt},
        {"42 (x) S 1 2x", std::nullopt},
        {"42 (x) S 1 2147483648", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        auto got = parse_proc_stat(c.line);
        ASSERT_EQ(got.has_value(), c.want.has_value()) << c.line;
        if (!got) continue;
        EXPECT_EQ(got->state, c.want->state) << c.line;
        EXPECT_EQ(got->ppid, c.want->ppid) << c.line;
        EXPECT_EQ(got->pgrp, c.want->pgrp) << c.line;
    }
}

TEST(ProcStat, DecimalNumbers) {
    EXPECT_EQ(parse_decimal_i32("0"), 0);
    EXPECT_EQ(parse_decimal_i32("+7"), 7);
    EXPECT_EQ(parse_decimal_i32("-2147483648"), INT32_MIN);
    EXPECT_EQ(parse_decimal_i32("2147483647"), INT32_MAX);
    for (const char* bad : {"", "+", "-", "2147483648", "-2147483649", " 1", "1 ", "0x1", "self"}) {
        EXPECT_EQ(parse_decimal_i32(bad), std::nullopt) << bad;
    }
}

// A real stat line of a process whose name holds ") " and a byte that is not UTF-8.
TEST(ProcStat, ReadsAProcessWithAnAwkwardName) {
    Pipe ready;
    pid_t pid = spawn([&] {
        setpgid(0, 0);
        prctl(PR_SET_NAME, "x) Z 9 9 \xff");
        ready.announce();
    });
    ASSERT_EQ(ready.next_pid(), pid);
    auto stat = read_proc_stat(pid);
    ASSERT_TRUE(stat.has_value());
    EXPECT_EQ(stat->ppid, getpid());
    EXPECT_EQ(stat->pgrp, pid);
    EXPECT_NE(stat->state, 'Z');
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(read_proc_stat(pid), std::nullopt);
}

TEST(Snapshot, ListsProcessesAndNothingElse) {
    pid_t child = spawn([] {});
    PidSnapshot snapshot = snapshot_pids();
    EXPECT_TRUE(snapshot.contains(getpid()));
    EXPECT_TRUE(snapshot.contains(child));
    EXPECT_FALSE(snapshot.contains(0));
    EXPECT_TRUE(std::is_sorted(snapshot.begin(), snapshot.end()));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(snapshot_pids().contains(child));
}

TEST(ProbeChild, LeavesTheEndCollectable) {
    pid_t running = spawn([] {});
    EXPECT_EQ(probe_child(running), ChildState::running);
    pid_t ended = fork();
    if (ended == 0) _exit(3);
    while (probe_child(ended) == ChildState::running) usleep(1000);
    EXPECT_EQ(probe_child(ended), ChildState::ended);
    int status = 0;
    ASSERT_EQ(waitpid(ended, &status, 0), ended);
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(probe_child(ended), std::unexpected(ECHILD));
    EXPECT_EQ(probe_child(1), std::unexpected(ECHILD));
    EXPECT_EQ(probe_child(0), std::unexpected(EINVAL));
    EXPECT_EQ(probe_child(-1), std::unexpected(EINVAL));
    kill(running, SIGKILL);
    waitpid(running, nullptr, 0);
}

TEST(KillTracked, KillsRunningGroupsAndLeavesEndedCommands) {
    Pipe ready;
    pid_t running = spawn_leader([&] { spawn([&] { ready.announce(); }); });
    pid_t member = ready.next_pid();
    pid_t ended = fork();
    if (ended == 0) _exit(5);
    while (probe_child(ended) == ChildState::running) usleep(1000);
    const pid_t pids[] = {ended, running, 0};
    kill_tracked_children(pids);
    // Its one non-blocking wait may or may not have collected it already.
    int status = 0;
    if (waitpid(running, &status, 0) == running) {
        EXPECT_EQ(WTERMSIG(status), SIGKILL);
    }
    EXPECT_FALSE(alive(running));
    for (int i = 0; i < 1000 && alive(member); ++i) usleep(1000);
    EXPECT_FALSE(alive(member));
    ASSERT_EQ(waitpid(ended, &status, 0), ended);
    EXPECT_EQ(WEXITSTATUS(status), 5);
}

TEST(TrackChild, DropsEntriesOfCollectedCommands) {
    auto snapshot = [](std::initializer_list<pid_t> pids) {
        PidSnapshot s;
        for (pid_t p : pids) s.insert(p);
        return s;
    };
    std::vector<TrackedChild> tracked;
    track_child(tracked, 10, snapshot({1, 5}));
    track_child(tracked, 20, snapshot({1, 5, 10}));
    track_child(tracked, 30, {});  // nothing known: nothing dropped
    track_child(tracked, 10, snapshot({1, 5, 20, 30}));
    ASSERT_EQ(tracked.size(), 3u);
    EXPECT_EQ(tracked[0].pid, 20);
    EXPECT_EQ(tracked[1].pid, 30);
    EXPECT_EQ(tracked[2].pid, 10);
    EXPECT_TRUE(tracked[2].before.contains(20));
}

// The sweep only makes sense as PID 1 of a PID namespace with its own /proc:
// runs `scenario` there and returns its complaints ("" when all is well).
std::string in_fresh_pid_namespace(std::string (*scenario)()) {
    Pipe report;
    pid_t outer = fork();
    if (outer == 0) {
        // Unprivileged, a user namespace of its own gives the rights to both.
        const int user = geteuid() == 0 ? 0 : CLONE_NEWUSER;
        if (unshare(CLONE_NEWPID | CLONE_NEWNS | user) != 0) _exit(10);
        pid_t init = fork();
        if (init == 0) {
            if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(11);
            if (mount("proc", "/proc", "proc", 0, nullptr) != 0) _exit(12);
            std::string complaints = getpid() == 1 ? scenario() : "not PID 1";
            (void)!write(report.w, complaints.data(), complaints.size());
            _exit(0);
        }
        int status = 0;
        waitpid(init, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 20);
    }
    close(report.w);
    report.w = -1;
    std::string complaints;
    char buf[512];
    for (ssize_t n; (n = read(report.r, buf, sizeof buf)) > 0;) complaints.append(buf, n);
    int status = 0;
    waitpid(outer, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        complaints += fmt::format(" [namespace setup failed: status {}]", status);
    }
    return complaints;
}

#define CHECK(cond) \
    if (!(cond)) complaints += fmt::format("line {}: {}; ", __LINE__, #cond)

void stop(pid_t pid) {
    killpg(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

std::string sweeps_daemons_and_spares_later_commands() {
    std::string complaints;
    Pipe ready;
    // L leads a group that predates every command.
    pid_t leader = spawn_leader([] {});
    // A: a daemon that leaves A's group, and a process that joins L's group.
    PidSnapshot before_a = snapshot_pids();
    pid_t a = spawn_leader([&] {
        spawn([&] {
            setsid();
            ready.announce();
        });
        spawn([&] {
            setpgid(0, leader);
            ready.announce();
        });
    });
    pid_t daemon_a = ready.next_pid();
    pid_t joiner = ready.next_pid();
    // B: a daemon double-forked away from B, so its parent is PID 1 while B runs.
    PidSnapshot before_b = snapshot_pids();
    pid_t b = spawn_leader([&] {
        if (fork() == 0) {
            spawn([&] { ready.announce(); });
            _exit(0);
        }
    });
    pid_t daemon_b = ready.next_pid();
    std::vector<TrackedChild> tracked{{a, before_a}, {b, before_b}};

    CHECK(sweep_survivors(tracked, 4242).empty());
    CHECK(tracked.size() == 2);

    stop(a);
    for (int i = 0; i < 1000 && parent_of(daemon_b) != 1; ++i) usleep(1000);
    std::vector<pid_t> survivors = sweep_survivors(tracked, a);
    CHECK(survivors.empty());
    CHECK(!alive(daemon_a));
    CHECK(!alive(joiner));
    CHECK(alive(leader));
    CHECK(alive(b));
    CHECK(alive(daemon_b));
    CHECK(tracked.size() == 1 && tracked[0].pid == b);

    // B collected elsewhere (a status request) is pruned by the next sweep.
    stop(b);
    PidSnapshot before_c = snapshot_pids();
    pid_t c = spawn_leader([] {});
    tracked.push_back({c, before_c});
    stop(c);
    CHECK(sweep_survivors(tracked, c).empty());
    CHECK(tracked.empty());
    return complaints;
}

// A frozen cgroup-v1 task cannot act on SIGKILL until thawed: the orphan
// outlasts the one-second window and is reported.
std::string reports_what_outlasts_the_window() {
    std::string complaints;
    const std::string group = fmt::format("/sys/fs/cgroup/freezer/tj-sweep-{}", getppid());
    if (mkdir(group.c_str(), 0700) != 0) return "SKIP no cgroup-v1 freezer";
    Pipe ready;
    PidSnapshot before = snapshot_pids();
    pid_t a = spawn_leader([&] {
        spawn([&] {
            setsid();
            ready.announce();
        });
    });
    pid_t orphan = ready.next_pid();
    std::ofstream(group + "/cgroup.procs") << orphan;
    std::ofstream(group + "/freezer.state") << "FROZEN";
    for (std::string state; state != "FROZEN"; usleep(1000)) {
        std::ifstream(group + "/freezer.state") >> state;
    }
    std::vector<TrackedChild> tracked{{a, before}};
    stop(a);
    std::vector<pid_t> survivors = sweep_survivors(tracked, a);
    CHECK(survivors == std::vector<pid_t>{orphan});
    std::ofstream(group + "/freezer.state") << "THAWED";
    CHECK(waitpid(orphan, nullptr, 0) == orphan);
    rmdir(group.c_str());
    return complaints;
}

TEST(SweepSurvivors, KillsOrphansOfTheStoppedCommandOnly) {
    EXPECT_EQ(in_fresh_pid_namespace(sweeps_daemons_and_spares_later_commands), "");
}

TEST(SweepSurvivors, ReportsOrphansThatOutlastTheWindow) {
    std::string complaints = in_fresh_pid_namespace(reports_what_outlasts_the_window);
    if (complaints.starts_with("SKIP")) GTEST_SKIP() << complaints;
    EXPECT_EQ(complaints, "");
}

}  // namespace
}  // namespace tj
