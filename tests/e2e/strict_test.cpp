// The strict jail as a supervisor sees it, as root and as an unprivileged user:
// what the command finds in its root, what it may not do, and what is left
// behind when the launcher goes.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "jail_fixture.hpp"

namespace tj::e2e {
namespace {

using namespace std::chrono_literals;

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string host_output(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    ::pclose(pipe);
    return out;
}

class StrictJail : public PerUser {
  protected:
    JailBed bed{GetParam()};
    std::string probe = shared_helper("jail_probe");

    Outcome run(const std::vector<std::string>& argv, const std::string& more = "") {
        return bed.run(bed.policy(argv, more));
    }
    // The command's standard output of a once run that must have succeeded.
    std::string once(const std::vector<std::string>& argv, const std::string& more = "") {
        Outcome o = run(argv, more);
        EXPECT_EQ(o.status, 0) << o.err;
        return reply_stdout(o.out);
    }
    std::string sh(const std::string& script, const std::string& more = "") {
        return once({"/bin/sh", "-c", script}, more);
    }
};

TEST_P(StrictJail, RootHoldsOnlyWhatIsBound) {
    std::ofstream(bed.base() + "/sibling") << "host only";
    std::string out =
        sh("uname -n; echo --; ls -A /tmp; echo --; ls -A /etc; echo --; ls -A /dev; echo --;"
           "ls -A /dev/net; echo --; [ -d ../work ] && [ ! -e ../sibling ] && echo alone; echo --; "
           "echo hi > f && cat f; echo --;"
           "id -u; " +
               probe + " ifaces",
           R"("extra_device_paths":["/dev/net/tun"])");
    EXPECT_EQ(out,
              "tarrow\n--\ntarrow-home\n--\nalternatives\n--\n"
              "full\nnet\nnull\nrandom\nshm\nurandom\nzero\n--\ntun\n--\nalone\n--\nhi\n--\n" +
                  std::to_string(GetParam().uid) + "\nlo up\n");
    EXPECT_EQ(slurp(bed.work() + "/f"), "hi\n");
}

TEST_P(StrictJail, HostNetworkShowsTheHostsInterfaces) {
    EXPECT_EQ(once({probe, "ifaces"}, R"("network":"host")"), host_output(probe + " ifaces"));
}

TEST_P(StrictJail, ToolPathsAndSystemDirectoriesAreReadOnly) {
    std::string out = sh(probe + " write " + shared_bin() + "/new; " + probe + " write /usr/new; " +
                         probe + " write /etc/alternatives/new");
    EXPECT_EQ(out.find("ok"), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3) << out;
    EXPECT_FALSE(std::filesystem::exists(shared_bin() + "/new"));
}

// A merged-/usr link is the same link in the jail, never a mount; every
// system mount is read-only, nosuid and nodev.
TEST_P(StrictJail, SystemDirectoriesKeepTheHostsLinksAndAreLockedDown) {
    std::string script;
    std::string want;
    for (std::string dir : {"/usr", "/bin", "/sbin", "/lib", "/lib64", "/etc/alternatives"}) {
        if (!std::filesystem::exists(std::filesystem::symlink_status(dir))) continue;
        script += "readlink " + dir + " || echo directory; ";
        want += std::filesystem::is_symlink(dir)
                    ? std::filesystem::read_symlink(dir).string() + "\n"
                    : "directory\n";
    }
    EXPECT_EQ(sh(script), want);
    std::istringstream table(once({"/bin/cat", "/proc/self/mountinfo"}));
    std::string line;
    int system_mounts = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string id, parent, dev, root, point, options;
        fields >> id >> parent >> dev >> root >> point >> options;
        for (std::string dir : {"/bin", "/sbin", "/lib", "/lib64"})
            EXPECT_FALSE(std::filesystem::is_symlink(dir) && point == dir) << line;
        if (!point.starts_with("/usr") && !point.starts_with("/etc/alternatives")) continue;
        ++system_mounts;
        EXPECT_TRUE(options.starts_with("ro,")) << line;
        EXPECT_NE(options.find("nosuid"), std::string::npos) << line;
        EXPECT_NE(options.find("nodev"), std::string::npos) << line;
    }
    EXPECT_GE(system_mounts, 1);
}

TEST_P(StrictJail, MissingToolPathsAreSkippedAndSingleFilesBound) {
    std::string tool = bed.base() + "/tool.sh";
    std::ofstream(tool) << "echo from the tool\n";
    std::filesystem::permissions(tool, std::filesystem::perms(0666));  // only the mount says no
    std::string more = "\"tool_paths\":[" + quote(bed.base() + "/missing") + "," + quote(tool) +
                       "," + quote(shared_bin()) + "]";
    EXPECT_EQ(sh("/bin/sh " + tool + "; " + probe + " write " + tool + "; ls " + bed.base() +
                     "/missing 2>/dev/null || echo no missing",
                 more),
              "from the tool\nEROFS\nno missing\n");
}

TEST_P(StrictJail, KernelConfinementIsInForce) {
    EXPECT_EQ(sh(probe + " unshare; " + probe + " mount; " + probe + " write /usr/x"),
              "EPERM\nEPERM\nEROFS\n");
}

TEST_P(StrictJail, ExtraDevicesMustBeDevicesOnTheHost) {
    std::string link = bed.base() + "/null-link";
    std::filesystem::create_symlink("/dev/null", link);
    struct Case {
        std::string device;
        std::string message;
    };
    const Case cases[] = {
        {link, "extra_device path " + link + " is not a character or block device"},
        {bed.base(), "extra_device path " + bed.base() + " is not a character or block device"},
        {bed.base() + "/none", "extra_device path " + bed.base() +
                                   "/none is not present on the host: No such file or directory "
                                   "(os error 2)"},
    };
    for (const auto& c : cases) {
        Outcome o = run({"/bin/true"}, "\"extra_device_paths\":[" + quote(c.device) + "]");
        EXPECT_EQ(o.status, 2);
        EXPECT_EQ(o.err, "tarrow-jail: rootfs setup failed: " + c.message + "\n");
        EXPECT_EQ(o.out, "");
    }
}

TEST_P(StrictJail, NoLauncherDescriptorReachesTheCommand) {
    int interrupt[2];
    ASSERT_EQ(::pipe2(interrupt, O_CLOEXEC), 0);
    interrupt[0] = high_fd(interrupt[0]);
    int leaked = high_fd(::open("/dev/null", O_RDONLY));  // passed on without close-on-exec
    Launch l = bed.launch(bed.policy({probe, "fds"}));
    l.args = {"--interrupt-fd", std::to_string(interrupt[0])};
    l.pass_fds = {interrupt[0], leaked};
    Outcome o = run_launcher(l);
    ::close(interrupt[0]);
    ::close(interrupt[1]);
    ::close(leaked);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(reply_stdout(o.out), "0 1 2\n");
}

TEST_P(StrictJail, MountsAreNeitherSharedNorLeaked) {
    std::string before = slurp("/proc/self/mountinfo");
    std::string table = once({"/bin/cat", "/proc/self/mountinfo"});
    EXPECT_EQ(slurp("/proc/self/mountinfo"), before);
    EXPECT_NE(table.find(" / / "), std::string::npos) << table;
    EXPECT_EQ(table.find("shared:"), std::string::npos) << table;
    EXPECT_EQ(table.find("master:"), std::string::npos) << table;
    EXPECT_EQ(table.find(" /.old_root"), std::string::npos) << table;
}

TEST_P(StrictJail, ExecModePassesTheStatusThrough) {
    Outcome o = run({"/bin/sh", "-c", "echo out; exit 7"}, R"("mode":"exec")");
    EXPECT_EQ(o.status, 7) << o.err;
    EXPECT_EQ(o.out, "out\n");
}

// The pid of the launcher's only child, the jail init, once it exists.
pid_t jail_init_of(pid_t launcher) {
    std::string children =
        "/proc/" + std::to_string(launcher) + "/task/" + std::to_string(launcher) + "/children";
    for (const double deadline = now_s() + scaled(5); now_s() < deadline;) {
        std::string text = slurp(children);
        if (!text.empty()) return std::stoi(text);
        std::this_thread::sleep_for(10ms);
    }
    return -1;
}

bool lock_is_held(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

TEST_P(StrictJail, KillingTheLauncherEndsEveryJailedProcess) {
    std::string lock = bed.work() + "/lock";
    // Set by the waiter thread, read here.
    std::atomic<pid_t> launcher = -1;
    Launch l = bed.launch(bed.policy({shared_helper("flock_exec"), "lock", "/bin/sleep", "1000"}));
    l.on_start = [&](pid_t pid) { launcher = pid; };
    Outcome o;
    std::thread waiter([&] { o = run_launcher(l); });
    for (const double deadline = now_s() + scaled(20); !lock_is_held(lock) && now_s() < deadline;)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(lock_is_held(lock));
    ::kill(launcher, SIGKILL);
    for (const double deadline = now_s() + scaled(5); lock_is_held(lock) && now_s() < deadline;)
        std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(lock_is_held(lock));
    waiter.join();
    EXPECT_EQ(o.status, 128 + SIGKILL);
}

TEST_P(StrictJail, JailInitKilledEndsTheLauncherWith137) {
    Launch l = bed.launch(bed.policy({"/bin/sleep", "1000"}));
    l.on_start = [](pid_t launcher) {
        std::thread([launcher] {
            pid_t init = jail_init_of(launcher);
            if (init > 0) ::kill(init, SIGKILL);
        }).detach();
    };
    Outcome o = run_launcher(l);
    EXPECT_EQ(o.status, 137) << o.err;
    EXPECT_EQ(o.out, "");
}

TEST_P(StrictJail, ServeStopSweepsADaemonsOrphan) {
    std::string run_until_started =
        R"({"kind":"run","argv":["/bin/sh","-c","while [ ! -e started ]; do sleep 0.01; done; echo seen"]})";
    std::string list_sleepers =
        R"({"kind":"run","argv":["/bin/sh","-c","cat /proc/[0-9]*/comm | grep -c sleep"]})";
    Launch l = bed.launch(bed.policy({"/bin/true"}, R"("mode":"serve")"));
    l.stdin_data =
        R"({"kind":"background","argv":["/bin/sh","-c","(setsid sleep 300 &); touch started; exec sleep 300"]})"
        "\n" +
        run_until_started + "\n{\"kind\":\"stop\",\"pid\":PID}\n" + list_sleepers + "\n";
    // The stop needs the background pid, known only from the reply: every jail
    // numbers its processes afresh, so the first command is pid 2.
    size_t at = l.stdin_data.find("PID");
    l.stdin_data.replace(at, 3, 1, '2');  // a literal here trips a false -Wrestrict of g++ 12
    Outcome o = run_launcher(l);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out,
              "{\"ready\":true}\n"
              "{\"pid\":2,\"returncode\":0,\"stderr\":\"\",\"stdout\":\"\"}\n"
              "{\"returncode\":0,\"stderr\":\"\",\"stdout\":\"seen\\n\"}\n"
              "{\"returncode\":137,\"stopped\":true,\"survivors\":[]}\n"
              "{\"returncode\":1,\"stderr\":\"\",\"stdout\":\"0\\n\"}\n");
}

INSTANTIATE_TEST_SUITE_P(Users, StrictJail, ::testing::Values(as_root(), as_nobody()),
                         [](const auto& info) { return std::string(info.param.name); });

// A jail root directory planted by someone else must not be used.
TEST(StrictJailRootDir, RefusesADirectoryOrLinkItDoesNotOwn) {
    RunAs other = as_uid(65533);
    if (!can_act_as(other)) GTEST_SKIP() << "needs root to run as uid 65533";
    JailBed bed(other);
    const std::string root = "/tmp/tarrow-jail-root-65533";
    std::filesystem::remove_all(root);
    const std::string advice = " (remove it, or point TMPDIR elsewhere)\n";
    const std::string prefix =
        "tarrow-jail: rootfs setup failed: jail root " + root + " is unusable: ";

    ASSERT_EQ(::mkdir(root.c_str(), 0777), 0);  // root-owned, world-writable
    Outcome foreign = bed.run(bed.policy({"/bin/true"}));
    EXPECT_EQ(foreign.status, 2);
    EXPECT_EQ(foreign.err, prefix + "Operation not permitted (os error 1)" + advice);
    ::rmdir(root.c_str());

    std::ofstream(root) << "";  // a file in the way
    ASSERT_EQ(::chown(root.c_str(), 65533, 65533), 0);
    Outcome file = bed.run(bed.policy({"/bin/true"}));
    EXPECT_EQ(file.status, 2);
    EXPECT_EQ(file.err, prefix + "Not a directory (os error 20)" + advice);
    ::unlink(root.c_str());

    std::string decoy = bed.base() + "/decoy";
    std::filesystem::create_directory(decoy);
    ASSERT_EQ(::chown(decoy.c_str(), 65533, 65533), 0);
    std::filesystem::create_symlink(decoy, root);
    Outcome link = bed.run(bed.policy({"/bin/true"}));
    EXPECT_EQ(link.status, 2);
    EXPECT_EQ(link.err, prefix + "Too many levels of symbolic links (os error 40)" + advice);
    ::unlink(root.c_str());

    Outcome fresh = bed.run(bed.policy({"/bin/true"}));
    EXPECT_EQ(fresh.status, 0) << fresh.err;
    struct stat st;
    ASSERT_EQ(::lstat(root.c_str(), &st), 0);  // left in place for later runs
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, 65533u);
    std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace tj::e2e
