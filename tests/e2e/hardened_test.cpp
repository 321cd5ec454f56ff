// Hardened isolation as a supervisor sees it: the built launcher confines
// itself with Landlock and seccomp on the host tree, then runs probes that
// try what an escaping command would try, as root and as uid 65534.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "../unit/confine_fixture.hpp"
#include "confine/landlock_sys.hpp"
#include "harness.hpp"

namespace tj::e2e {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;
using test::FixtureTree;

// The launcher and helpers, copied where uid 65534 may run them (the build
// directory may be private to root).
struct Binaries {
    TempDir dir;
    std::string launcher = dir / "tarrow-jail";
    std::string file_probe = dir / "file_probe";
    std::string try_syscall = dir / "try_syscall";
    Binaries() {
        fs::copy_file(launcher_path(), launcher);
        fs::copy_file(helper_path("file_probe"), file_probe);
        fs::copy_file(helper_path("try_syscall"), try_syscall);
    }
};

const Binaries& binaries() {
    static const Binaries b;
    return b;
}

struct User {
    const char* name;
    std::vector<std::string> prefix;
};

const User kUsers[] = {
    {"root", {}},
    {"nobody", as_uid_prefix(65534)},
};

// Runs the copied launcher: the harness puts its own launcher path after the
// prefix, which the shell drops.
Outcome run_as(const User& user, const json::object& policy, const std::string& more_stdin = "") {
    Launch l;
    l.prefix = user.prefix;
    for (const char* arg : {"/bin/sh", "-c", "shift; exec \"$0\" \"$@\""}) l.prefix.push_back(arg);
    l.prefix.push_back(binaries().launcher);
    l.stdin_data = json::serialize(policy) + "\n" + more_stdin;
    return run_launcher(l);
}

json::array strings(const std::vector<std::string>& items) {
    json::array out;
    for (const auto& item : items) out.emplace_back(item);
    return out;
}

json::object hardened_policy(const std::string& cwd, const std::vector<std::string>& argv) {
    return {{"isolation", "hardened"},
            {"cwd", cwd},
            {"argv", strings(argv)},
            {"tool_paths", strings({binaries().dir.path()})}};
}

// A fixture under /var/tmp (outside /tmp, which hardened runs may write),
// writable by everyone: commands run without capabilities even as root, and
// only Landlock is to stand between them and a write.
struct Tree : FixtureTree {
    explicit Tree(std::initializer_list<const char*> entries) : FixtureTree("/var/tmp") {
        make(entries);
        fs::permissions(root(), fs::perms::all);
        for (const auto& entry : fs::recursive_directory_iterator(root()))
            if (!entry.is_symlink())
                fs::permissions(entry.path(),
                                entry.is_directory() ? fs::perms::all : fs::perms(0666));
    }
};

struct Probe {
    std::string op;
    std::string path;
    std::string result;  // "ok" or an errno name
};

std::vector<std::string> probe_argv(const std::vector<Probe>& probes) {
    std::vector<std::string> argv = {binaries().file_probe};
    for (const auto& p : probes) {
        argv.push_back(p.op);
        argv.push_back(p.path);
    }
    return argv;
}

std::string expected_lines(const std::vector<Probe>& probes) {
    std::string out;
    for (const auto& p : probes) out += p.op + " " + p.path + ": " + p.result + "\n";
    return out;
}

// The command's standard output from a single run's reply line.
std::string reply_stdout(const Outcome& o) {
    json::value reply = json::parse(o.out);
    return std::string(reply.at("stdout").as_string());
}

std::vector<std::string> sorted_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(Hardened, WritesStayInsideCwdTmpAndGrants) {
    for (const User& user : kUsers) {
        Tree tree({"w/f", "rw/", "ro/f", "other/f"});
        // Truncation is a right of its own from ABI 3 on; before, writes alone guard it.
        const char* truncate_ro = landlock::sys_abi_version() >= 3 ? "EACCES" : "ok";
        std::string tmp_probe = "/tmp/" + fs::path(tree.root()).filename().string();
        std::vector<Probe> probes = {
            {"create", tree / "w/new", "ok"},
            {"write", tree / "w/f", "ok"},
            {"mkdir", tree / "w/d", "ok"},
            {"create", tmp_probe, "ok"},
            {"create", tree / "rw/new", "ok"},
            {"read", tree / "ro/f", "ok"},
            {"write", tree / "ro/f", "EACCES"},
            {"truncate", tree / "ro/f", truncate_ro},
            {"truncate", tree / "w/f", "ok"},
            {"create", tree / "ro/new", "EACCES"},
            {"read", tree / "other/f", "EACCES"},
            {"create", tree / "other/new", "EACCES"},
            {"create", tree / "new", "EACCES"},
            {"mkdir", "/var/tmp/tj-e2e-escape", "EACCES"},
            {"read", "/etc/passwd", "ok"},
            {"create", "/etc/tj-e2e-escape", "EACCES"},
            {"list", "/", "EACCES"},
            {"list", "/var", "EACCES"},
        };
        json::object policy = hardened_policy(tree / "w", probe_argv(probes));
        policy["extra_rw_paths"] = strings({tree / "rw", tree / "missing-rw"});
        policy["extra_ro_paths"] = strings({tree / "ro", tree / "missing-ro"});
        Outcome o = run_as(user, policy);
        ASSERT_EQ(o.status, 0) << user.name << ": " << o.err;
        EXPECT_EQ(o.err, "") << user.name;
        EXPECT_EQ(reply_stdout(o), expected_lines(probes)) << user.name;
    }
}

TEST(Hardened, StandardDevicesAndExtraDevices) {
    for (const User& user : kUsers) {
        Tree tree({"w/"});
        std::vector<Probe> probes = {
            {"read", "/dev/urandom", "ok"}, {"write", "/dev/urandom", "EACCES"},
            {"read", "/dev/random", "ok"},  {"write", "/dev/random", "EACCES"},
            {"read", "/dev/null", "ok"},    {"write", "/dev/null", "ok"},
            {"read", "/dev/zero", "ok"},    {"write", "/dev/zero", "ok"},
            {"read", "/dev/full", "ok"},    {"write", "/dev/full", "ok"},
            {"read", "/dev/tty", "EACCES"}, {"list", "/dev", "EACCES"},
        };
        Outcome o = run_as(user, hardened_policy(tree / "w", probe_argv(probes)));
        ASSERT_EQ(o.status, 0) << user.name << ": " << o.err;
        EXPECT_EQ(reply_stdout(o), expected_lines(probes)) << user.name;

        // An extra device gets read, write and execute, nothing more.
        std::vector<Probe> extra = {{"write", "/dev/urandom", "ok"},
                                    {"read", "/dev/urandom", "ok"}};
        json::object policy = hardened_policy(tree / "w", probe_argv(extra));
        policy["extra_device_paths"] = strings({"/dev/urandom"});
        o = run_as(user, policy);
        ASSERT_EQ(o.status, 0) << user.name << ": " << o.err;
        EXPECT_EQ(reply_stdout(o), expected_lines(extra)) << user.name;
    }
}

TEST(Hardened, ExtraDevicesMustBeDevicesOnTheHost) {
    Tree tree({"w/", "plain"});
    struct Case {
        std::string device;
        std::string err;
    };
    const Case cases[] = {
        {"/dev/tj-e2e-missing",
         "tarrow-jail: landlock failed: extra_device path /dev/tj-e2e-missing is not present on "
         "the host: No such file or directory (os error 2)\n"},
        {tree / "plain", "tarrow-jail: landlock failed: extra_device path " + (tree / "plain") +
                             " is not a character or block device\n"},
    };
    for (const auto& c : cases) {
        json::object policy = hardened_policy(tree / "w", {"/bin/true"});
        policy["extra_device_paths"] = strings({"/dev/null", c.device});
        Outcome o = run_as(kUsers[0], policy);
        EXPECT_EQ(o.status, 2) << c.device;
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(o.out, "");
    }
}

TEST(Hardened, ProtectedPathsInsideTheWorkingDirectoryStayReadOnly) {
    for (const User& user : kUsers) {
        Tree tree({"w/top", "w/secret/f", "w/sub/f", "w/a/x/", "w/a/b/c/f", "w/a/b/d/"});
        std::string w = tree / "w";
        std::vector<Probe> probes = {
            {"create", w + "/new", "EACCES"},  // the working directory itself is read-only
            {"write", w + "/top", "ok"},       // its entries are not
            {"create", w + "/sub/new", "ok"},     {"read", w + "/secret/f", "ok"},
            {"write", w + "/secret/f", "EACCES"}, {"create", w + "/secret/new", "EACCES"},
            {"create", w + "/a/new", "EACCES"},  // walked towards a/b/c, not granted
            {"create", w + "/a/x/new", "ok"},     {"create", w + "/a/b/new", "EACCES"},
            {"create", w + "/a/b/d/new", "ok"},   {"write", w + "/a/b/c/f", "EACCES"},
            {"read", w + "/a/b/c/f", "ok"},
        };
        json::object policy = hardened_policy(w, probe_argv(probes));
        policy["extra_protect_paths"] = strings({w + "/secret", w + "//a/b/c/"});
        Outcome o = run_as(user, policy);
        ASSERT_EQ(o.status, 0) << user.name << ": " << o.err;
        EXPECT_EQ(o.err, "") << user.name;
        EXPECT_EQ(reply_stdout(o), expected_lines(probes)) << user.name;
    }
}

TEST(Hardened, SkippedGrantsAreAnnounced) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a directory uid 65534 cannot list";
    const User& nobody = kUsers[1];
    Tree tree({"w/secret/", "w/locked/p/", "w/sub/"});
    std::string w = tree / "w";
    tree.link("w/out", "/etc");
    // Only root may list this one, so uid 65534's walk cannot look inside.
    ASSERT_EQ(::chmod((w + "/locked").c_str(), 0700), 0);
    std::vector<Probe> probes = {{"create", w + "/sub/new", "ok"},
                                 {"create", "/etc/tj-e2e-escape", "EACCES"}};
    json::object policy = hardened_policy(w, probe_argv(probes));
    policy["extra_protect_paths"] = strings({w + "/secret", w + "/locked/p"});
    policy["extra_rw_paths"] = strings({w, tree / "w/sub"});
    Outcome o = run_as(nobody, policy);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(reply_stdout(o), expected_lines(probes));
    EXPECT_EQ(sorted_lines(o.err),
              sorted_lines("tarrow-jail: hardened: skipping rw grant on " + w +
                           "/out (resolves outside cwd to /etc)\n"
                           "tarrow-jail: hardened: no rw grants under " +
                           w +
                           "/locked (read_dir: Permission denied (os error 13))\n"
                           "tarrow-jail: hardened: skipping rw grant on " +
                           w + " (would shadow a protect_path)\n"));
    // The shadow notice follows the walk's.
    EXPECT_TRUE(o.err.ends_with("(would shadow a protect_path)\n")) << o.err;
}

TEST(Hardened, TmpIsNotGrantedOverAProtectedPathInIt) {
    FixtureTree tree;  // under /tmp
    tree.make({"w/secret/f", "w/sub/"});
    std::string w = tree / "w";
    std::vector<Probe> probes = {{"write", w + "/secret/f", "EACCES"},
                                 {"create", w + "/sub/new", "ok"},
                                 {"create", tree / "new", "EACCES"}};
    json::object policy = hardened_policy(w, probe_argv(probes));
    policy["extra_protect_paths"] = strings({w + "/secret"});
    Outcome o = run_as(kUsers[0], policy);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err,
              "tarrow-jail: hardened: skipping rw grant on /tmp (would shadow a protect_path)\n");
    EXPECT_EQ(reply_stdout(o), expected_lines(probes));
}

TEST(Hardened, EveryModeRunsConfined) {
    Tree tree({"w/"});
    std::string outside = tree / "escape";
    for (const User& user : kUsers) {
        json::object exec = hardened_policy(
            tree / "w", {"/bin/sh", "-c", "echo x > " + outside + " || exit 7; exit 0"});
        exec["mode"] = "exec";
        Outcome o = run_as(user, exec);
        EXPECT_EQ(o.status, 7) << user.name << ": " << o.err;
        EXPECT_FALSE(fs::exists(outside));

        json::object serve = hardened_policy(tree / "w", {"/bin/false"});
        serve["mode"] = "serve";
        json::object run = {{"kind", "run"},
                            {"argv", strings(probe_argv({{"create", outside, ""}}))}};
        o = run_as(user, serve, json::serialize(run) + "\n");
        EXPECT_EQ(o.status, 0) << user.name << ": " << o.err;
        EXPECT_TRUE(o.out.starts_with("{\"ready\":true}\n")) << o.out;
        EXPECT_NE(o.out.find("create " + outside + ": EACCES"), std::string::npos) << o.out;
    }
}

TEST(Hardened, SeccompRefusesEscapesAndLetsHarmlessFormsThrough) {
    struct Case {
        const char* probe;
        const char* result;
    };
    const Case cases[] = {
        {"unshare", "EPERM"},
        {"setns", "EPERM"},
        {"mount", "EPERM"},
        {"ptrace", "EPERM"},
        {"openat-setuid", "EPERM"},
        {"openat-setgid", "EPERM"},
        {"fchmodat-setgid", "EPERM"},
        {"mknodat-chr", "EPERM"},
        {"mknodat-blk", "EPERM"},
        {"ioctl-tiocsti", "EPERM"},
        {"openat2", "ENOSYS"},
        {"openat-create", "EFAULT"},
        {"fchmodat-plain", "EFAULT"},
        {"mknodat-fifo", "EFAULT"},
        {"ioctl-tiocgwinsz", "EBADF"},
        {"getpid", "OK"},
    };
    std::vector<std::string> argv = {binaries().try_syscall};
    std::string expected;
    for (const auto& c : cases) {
        argv.push_back(c.probe);
        expected += std::string(c.result) + "\n";
    }
    Tree tree({"w/"});
    for (const User& user : kUsers) {
        Outcome o = run_as(user, hardened_policy(tree / "w", argv));
        ASSERT_EQ(o.status, 0) << user.name << ": " << o.err;
        EXPECT_EQ(reply_stdout(o), expected) << user.name;
    }
}

TEST(Hardened, HiddenPathsGetNoAccessAndGrantsInsideThemStay) {
    for (const User& user : kUsers) {
        Tree tree({"w/.env", "w/src/f", "w/hdir/f", "w/hdir/grant/f", "w/top", "ro/f", "ro/hf"});
        std::string w = tree / "w";
        std::vector<Probe> probes = {
            {"read", w + "/.env", "EACCES"},
            {"write", w + "/.env", "EACCES"},
            {"create", w + "/.env2", "EACCES"},  // the working directory holds a hidden path
            {"list", w + "/hdir", "EACCES"},
            {"read", w + "/hdir/f", "EACCES"},
            {"create", w + "/hdir/new", "EACCES"},
            {"write", w + "/top", "ok"},  // siblings keep their rule
            {"create", w + "/src/new", "ok"},
            {"create", w + "/hdir/grant/new", "ok"},  // a grant inside a hidden path
            {"read", w + "/hdir/grant/f", "ok"},
            {"read", tree / "ro/f", "ok"},
            {"read", tree / "ro/hf", "EACCES"},  // a hidden path inside a read-only grant
        };
        json::object policy = hardened_policy(w, probe_argv(probes));
        policy["hide_paths"] = strings({w + "/.env", w + "/hdir", tree / "ro/hf"});
        policy["extra_rw_paths"] = strings({w + "/hdir/grant"});
        policy["extra_ro_paths"] = strings({tree / "ro"});
        Outcome o = run_as(user, policy);
        ASSERT_EQ(o.status, 0) << user.name << ": " << o.err;
        EXPECT_EQ(o.err, "") << user.name;
        EXPECT_EQ(reply_stdout(o), expected_lines(probes)) << user.name;
    }
}

TEST(Hardened, ProtectedAndHiddenPathsCountByTheirRealPlace) {
    struct Case {
        const char* field;
        const char* spelling;  // below the tree; none of them exists yet
        const char* place;     // where it is really
    };
    const Case cases[] = {
        {"extra_protect_paths", "ws_link/newsecret", "ws/newsecret"},
        {"extra_protect_paths", "ws/../ws/secret2", "ws/secret2"},
        {"hide_paths", "ws_link/hidden", "ws/hidden"},
        {"hide_paths", "ws/sub/../hidden2", "ws/hidden2"},
    };
    for (const User& user : kUsers) {
        for (const auto& c : cases) {
            Tree tree({"ws/f", "ws/sub/"});
            tree.link("ws_link", "ws");
            std::vector<Probe> probes = {
                {"create", tree / c.place, "EACCES"},
                {"mkdir", tree / c.place, "EACCES"},
                {"create", tree / "ws/sub/new", "ok"},
                {"write", tree / "ws/f", "ok"},
            };
            json::object policy = hardened_policy(tree / "ws", probe_argv(probes));
            policy[c.field] = strings({tree / c.spelling});
            Outcome o = run_as(user, policy);
            ASSERT_EQ(o.status, 0) << user.name << ": " << o.err;
            EXPECT_EQ(reply_stdout(o), expected_lines(probes)) << user.name << " " << c.spelling;
        }
    }
}

// Why the kernel cannot scope signals and abstract sockets, or "".
std::string scopes_missing() {
    const int abi = landlock::sys_abi_version();
    if (abi >= 6) return "";
    return "Landlock scopes need ABI 6 (Linux 6.12); this kernel has ABI " + std::to_string(abi);
}

// A unix stream listener in the test process, on an abstract name or a path.
struct Listener {
    int fd = -1;
    explicit Listener(const std::string& name, bool abstract) {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path + (abstract ? 1 : 0), name.data(), name.size());
        const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                                 (abstract ? 1 : 0) + name.size());
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), size), 0) << name;
        EXPECT_EQ(::listen(fd, 16), 0);
        if (!abstract) ::chmod(name.c_str(), 0777);
    }
    ~Listener() { ::close(fd); }
};

// A host process of the command's own user, which it must not signal.
struct HostSleeper {
    pid_t pid = -1;
    explicit HostSleeper(uid_t uid) {
        pid = ::fork();
        if (pid == 0) {
            if (::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) ::_exit(126);
            ::execl("/bin/sleep", "sleep", "600", nullptr);
            ::_exit(127);
        }
    }
    ~HostSleeper() {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
};

TEST(Hardened, ScopesKeepSignalsAndAbstractSocketsInside) {
    if (auto why = scopes_missing(); !why.empty()) GTEST_SKIP() << why;
    const std::string name = "tj-e2e-scope-" + std::to_string(::getpid());
    Listener abstract(name, true);
    for (const User& user : kUsers) {
        // A process of the command's own user, and the supervisor.
        HostSleeper sleeper(user.prefix.empty() ? 0 : 65534);
        std::vector<std::string> argv = {
            binaries().try_syscall, "kill:" + std::to_string(sleeper.pid),
            "kill:" + std::to_string(::getpid()), "connect-abstract:" + name, "posix_spawn"};
        Outcome o = run_as(user, hardened_policy(binaries().dir.path(), argv));
        ASSERT_EQ(o.status, 0) << user.name << ": " << o.err;
        EXPECT_EQ(reply_stdout(o), "EPERM\nEPERM\nEPERM\nOK\n") << user.name;
        EXPECT_EQ(::kill(sleeper.pid, 0), 0) << "the sleeper must still be there";
    }
}

TEST(Hardened, PathnameSocketsOutsideEveryGrant) {
    Tree tree({"w/", "run/"});
    const std::string path = tree / "run/s";
    Listener listener(path, false);
    const bool confined = landlock::sys_abi_version() >= 9;
    for (const User& user : kUsers) {
        Outcome o = run_as(
            user, hardened_policy(tree / "w", {binaries().try_syscall, "connect-unix:" + path}));
        ASSERT_EQ(o.status, 0) << user.name << ": " << o.err;
        // Below ABI 9 the kernel has no right for it: a known limit.
        EXPECT_EQ(reply_stdout(o), confined ? "EACCES\n" : "OK\n") << user.name;
    }
}

// The walk must never put the protected directory's rule on a name a host
// process swaps between a sibling directory and a link to it. The stress
// variant, thousands of runs, is bench/protect_race.sh.
TEST(Hardened, ProtectedWalkHoldsUnderASwappingHostProcess) {
    Tree tree({"w/secret/", "w/sib/"});
    tree.link("w/sib-link", "secret");
    const std::string w = tree / "w";
    const pid_t swapper = ::fork();
    ASSERT_GE(swapper, 0);
    if (swapper == 0) {
        const std::string swap = helper_path("rename_swap");
        ::execl(swap.c_str(), "rename_swap", (w + "/sib").c_str(), (w + "/sib-link").c_str(),
                nullptr);
        ::_exit(127);
    }
    std::vector<Probe> probes = {{"create", w + "/secret/pwned", "EACCES"}};
    json::object policy = hardened_policy(w, probe_argv(probes));
    policy["extra_protect_paths"] = strings({w + "/secret"});
    int got_in = 0;
    for (int run = 0; run < 100; ++run) {
        Outcome o = run_as(kUsers[0], policy);
        ASSERT_EQ(o.status, 0) << o.err;
        if (reply_stdout(o) != expected_lines(probes)) ++got_in;
    }
    ::kill(swapper, SIGKILL);
    ::waitpid(swapper, nullptr, 0);
    EXPECT_EQ(got_in, 0);
}

// The strict jail shares the host's abstract socket namespace only with
// network "host", and then scopes it; its own network has its own namespace.
TEST(Hardened, StrictJailScopesAbstractSocketsOnlyWithHostNetwork) {
    if (auto why = scopes_missing(); !why.empty()) GTEST_SKIP() << why;
    const std::string name = "tj-e2e-strict-scope-" + std::to_string(::getpid());
    Listener abstract(name, true);
    Tree tree({"w/"});
    for (const User& user : kUsers) {
        for (auto [network, expected] :
             {std::pair{"host", "EPERM\n"}, {"none", "ECONNREFUSED\n"}}) {
            json::object policy =
                hardened_policy(tree / "w", {binaries().try_syscall, "connect-abstract:" + name});
            policy["isolation"] = "strict";
            policy["network"] = network;
            Outcome o = run_as(user, policy);
            ASSERT_EQ(o.status, 0) << user.name << " " << network << ": " << o.err;
            EXPECT_EQ(reply_stdout(o), expected) << user.name << " " << network;
        }
    }
}

}  // namespace
}  // namespace tj::e2e
