#include "confine/hardened_rules.hpp"

#include <fcntl.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include <gtest/gtest.h>

#include <fmt/core.h>

#include "confine/landlock_sys.hpp"
#include "confine_fixture.hpp"
#include "path_util.hpp"

namespace tj {
namespace {

using namespace landlock;
using test::FixtureTree;
using test::in_child;
using test::test_open;

struct Plan {
    std::vector<std::string> rows;  // "path access [label]"
    std::string notices;
    std::string error;
};

Plan plan(const Policy& policy) {
    Plan p;
    auto rows = hardened_rule_rows(policy, [&](std::string_view n) { p.notices += n; });
    if (!rows) {
        p.error = rows.error().text;
        return p;
    }
    for (const auto& row : *rows)
        p.rows.push_back(fmt::format("{} {:#x} [{}]", row.path, row.access, row.label));
    return p;
}

bool has_row(const Plan& p, const std::string& row) {
    return std::find(p.rows.begin(), p.rows.end(), row) != p.rows.end();
}

// Under /var/tmp: /tmp's own grant would otherwise be shadowed by every
// protected path of these fixtures.
struct HardenedTree : FixtureTree {
    HardenedTree() : FixtureTree("/var/tmp") {}
    Policy policy() const {
        Policy p;
        p.isolation = "hardened";
        p.cwd = *this / "w";
        return p;
    }
};

TEST(HardenedRules, WithoutProtectedPathsTheWorkingDirectoryIsWritable) {
    HardenedTree tree;
    tree.make({"w/"});
    Plan p = plan(tree.policy());
    std::string w = tree / "w";
    std::vector<std::string> expected = {fmt::format("{} 0x77bf [rule rw cwd {}]", w, w),
                                         "/tmp 0x77bf [rule rw /tmp]"};
    for (const char* dir : {"/usr", "/bin", "/sbin", "/lib", "/lib64", "/etc"})
        expected.push_back(fmt::format("{} 0xd [rule ro {}]", dir, dir));
    for (const char* dev : {"null", "zero", "urandom", "random", "full"})
        expected.push_back(fmt::format("/dev/{} 0x4 [rule /dev/{}]", dev, dev));
    for (const char* dev : {"null", "zero", "full"})
        expected.push_back(fmt::format("/dev/{} 0x2 [rule /dev/{}]", dev, dev));
    EXPECT_EQ(p.rows, expected);
    EXPECT_EQ(p.notices, "");
}

TEST(HardenedRules, ProtectedWalkGrantsEverythingBesideProtectedPaths) {
    HardenedTree tree;
    tree.make({"w/secret/f", "w/file", "w/sub/", "w/a/x", "w/a/b/y", "w/a/b/c/z", "w/a/b/d/"});
    tree.link("w/out", "/etc");
    tree.link("w/secret-link", "secret");
    // Links back to the working directory must not make the walk repeat itself.
    tree.link("w/loop1", ".");
    tree.link("w/loop2", "..//w");
    Policy policy = tree.policy();
    policy.extra_protect_paths = {tree / "w/secret/", tree / "w/a/b/c"};
    Plan p = plan(policy);
    ASSERT_EQ(p.error, "");
    std::string w = tree / "w";
    EXPECT_EQ(p.rows.front(), fmt::format("{} 0xd [rule r cwd {}]", w, w));
    std::set<std::string> walked;
    for (const auto& row : p.rows)
        if (row.starts_with(w + "/")) walked.insert(row);
    std::set<std::string> expected;
    for (const char* rel : {"file", "sub", "a/x", "a/b/y", "a/b/d"})
        expected.insert(fmt::format("{}/{} 0x77bf [rule rw {}/{}]", w, rel, w, rel));
    EXPECT_EQ(walked, expected);
    EXPECT_EQ(p.notices, fmt::format("tarrow-jail: hardened: skipping rw grant on {}/out (resolves "
                                     "outside cwd to /etc)\n",
                                     w));
}

TEST(HardenedRules, HiddenPathsAreWalkedAroundAndGrantsInsideThemKept) {
    HardenedTree tree;
    tree.make({"w/.env", "w/src/f", "w/hdir/g/", "w/hdir/x", "w/keep/deep/.env", "w/keep/deep/y",
               "w/keep/z"});
    tree.link("w/env-link", ".env");
    Policy policy = tree.policy();
    std::string w = tree / "w";
    policy.hide_paths = {w + "/.env", w + "/hdir", w + "/keep/deep/.env"};
    policy.extra_rw_paths = {w + "/hdir/g", w + "/hdir"};
    Plan p = plan(policy);
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.notices, "");
    std::set<std::string> under_w;
    for (const auto& row : p.rows)
        if (path_under(row.substr(0, row.find(' ')), w)) under_w.insert(row);
    // No rule on w, keep or keep/deep: their rights would reach the hidden paths.
    std::set<std::string> expected;
    for (const char* rel : {"src", "keep/z", "keep/deep/y", "hdir/g"})
        expected.insert(fmt::format("{}/{} 0x77bf [rule rw {}/{}]", w, rel, w, rel));
    EXPECT_EQ(under_w, expected);
}

TEST(HardenedRules, PathnameSocketsMayBeReachedWhereWritingIs) {
    HardenedTree tree;
    tree.make({"w/secret/", "w/sub/", "rw/", "ro/"});
    Policy policy = tree.policy();
    std::string w = tree / "w";
    policy.extra_protect_paths = {w + "/secret"};
    policy.extra_rw_paths = {tree / "rw"};
    policy.extra_ro_paths = {tree / "ro"};
    std::vector<std::string> rows;
    auto collect = [&](const RuleRow& row, int) -> Result<> {
        rows.push_back(fmt::format("{} {:#x}", row.path, row.access));
        return {};
    };
    ASSERT_TRUE(hardened_rules(
        policy, [](std::string_view) {}, collect, kResolveUnix));
    const std::string rw_unix = fmt::format("{:#x}", FS_RW | kResolveUnix);
    EXPECT_TRUE(has_row({rows}, w + " 0xd"));
    EXPECT_TRUE(has_row({rows}, w + "/sub " + rw_unix));
    EXPECT_TRUE(has_row({rows}, "/tmp " + rw_unix));
    EXPECT_TRUE(has_row({rows}, tree / "rw" + " " + rw_unix));
    EXPECT_TRUE(has_row({rows}, tree / "ro" + " 0xd"));
    for (const auto& row : rows) EXPECT_FALSE(row.starts_with(w + "/secret ")) << row;
}

TEST(HardenedRules, ReadWriteGrantsNeverShadowAProtectedPath) {
    HardenedTree tree;
    tree.make({"w/secret", "w/sub/", "src/"});
    Policy policy = tree.policy();
    std::string w = tree / "w";
    policy.extra_protect_paths = {w + "/secret", "/tmp/tj-unit-not-there/p"};
    policy.extra_rw_paths = {w, "/", w + "/sub", "/grant", "/nonexistent-tj"};
    policy.grant_sources = {{"/grant", tree / "src"}};
    Plan p = plan(policy);
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.notices,
              "tarrow-jail: hardened: skipping rw grant on /tmp (would shadow a protect_path)\n" +
                  fmt::format("tarrow-jail: hardened: skipping rw grant on {} (would shadow a "
                              "protect_path)\n",
                              w) +
                  "tarrow-jail: hardened: skipping rw grant on / (would shadow a protect_path)\n");
    EXPECT_TRUE(has_row(p, fmt::format("{0}/sub 0x77bf [rule rw {0}/sub]", w)));
    EXPECT_TRUE(has_row(p, fmt::format("{0} 0x77bf [rule rw {0}]", tree / "src")));
    EXPECT_TRUE(has_row(p, "/nonexistent-tj 0x77bf [rule rw /nonexistent-tj]"));
    EXPECT_FALSE(has_row(p, "/tmp 0x77bf [rule rw /tmp]"));
}

TEST(HardenedRules, ProtectedPathElsewhereLeavesTheWorkingDirectoryWhole) {
    HardenedTree tree;
    tree.make({"w/", "home/.ssh/"});
    Policy policy = tree.policy();
    policy.extra_protect_paths = {tree / "home/.ssh"};
    policy.extra_rw_paths = {tree / "home"};
    Plan p = plan(policy);
    std::string w = tree / "w";
    EXPECT_EQ(p.rows.front(), fmt::format("{} 0x77bf [rule rw cwd {}]", w, w));
    EXPECT_EQ(p.notices, fmt::format("tarrow-jail: hardened: skipping rw grant on {} (would "
                                     "shadow a protect_path)\n",
                                     tree / "home"));
}

TEST(HardenedRules, DeviceChecks) {
    HardenedTree tree;
    tree.make({"w/", "plain"});
    struct Case {
        std::string device;
        std::string error;
    };
    const Case cases[] = {
        {"/dev/tj-missing",
         "extra_device path /dev/tj-missing is not present on the host: No such file or "
         "directory (os error 2)"},
        {tree / "plain",
         fmt::format("extra_device path {} is not a character or block device", tree / "plain")},
        {"/dev", "extra_device path /dev is not a character or block device"},
        {"/dev/null", ""},
    };
    for (const auto& c : cases) {
        Policy policy = tree.policy();
        policy.extra_device_paths = {c.device};
        Plan p = plan(policy);
        EXPECT_EQ(p.error, c.error) << c.device;
        if (c.error.empty()) {
            EXPECT_TRUE(has_row(p, fmt::format("{0} 0xf [rule dev {0}]", c.device)));
        }
    }
}

TEST(HardenedRules, UnlistableDirectoryIsReportedAndLeftReadOnly) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a directory another user cannot list";
    HardenedTree tree;
    tree.make({"w/locked/secret/", "w/locked/other/", "w/free/"});
    ASSERT_EQ(chmod((tree / "w/locked").c_str(), 0700), 0);
    Policy policy = tree.policy();
    policy.extra_protect_paths = {tree / "w/locked/secret"};
    std::string report = in_child([&] {
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0)
            return std::string("cannot become uid 65534");
        Plan p = plan(policy);
        std::string w = tree / "w";
        std::string out;
        std::string expected = fmt::format(
            "tarrow-jail: hardened: no rw grants under {}/locked (read_dir: Permission denied "
            "(os error 13))\n",
            w);
        if (p.notices != expected) out += "notices: " + p.notices;
        if (!has_row(p, fmt::format("{0}/free 0x77bf [rule rw {0}/free]", w))) out += "no free\n";
        for (const auto& row : p.rows)
            if (row.find("/locked/") != std::string::npos) out += "granted " + row + "\n";
        return out;
    });
    EXPECT_EQ(report, "");
}

TEST(HardenedRules, RestrictKeepsProtectedPathsAndDevicesReadOnly) {
    if (sys_abi_version() < 1) GTEST_SKIP() << "needs Landlock";
    HardenedTree tree;
    tree.make({"w/secret/f", "w/sub/f", "w/top", "ro/f", "rw/"});
    Policy policy = tree.policy();
    std::string w = tree / "w";
    policy.extra_protect_paths = {w + "/secret"};
    policy.extra_ro_paths = {tree / "ro"};
    policy.extra_rw_paths = {tree / "rw"};
    std::string report = in_child([&] {
        Ruleset ruleset = Ruleset::probe();
        if (!ruleset.handle_access(kHandledFs) || !ruleset.create()) return std::string("begin");
        auto outcome = restrict_hardened(ruleset, policy, [](std::string_view) {});
        if (!outcome) return outcome.error().text;
        std::string out;
        auto expect = [&](const std::string& what, int expected, int got) {
            if (expected != got)
                out += fmt::format("{}: expected {} got {}\n", what, expected, got);
        };
        expect("create in cwd", EACCES, test_open(w + "/new", O_WRONLY | O_CREAT));
        expect("write cwd file", 0, test_open(w + "/top", O_WRONLY));
        expect("create in sibling", 0, test_open(w + "/sub/new", O_WRONLY | O_CREAT));
        expect("read protected", 0, test_open(w + "/secret/f", O_RDONLY));
        expect("write protected", EACCES, test_open(w + "/secret/f", O_WRONLY));
        expect("create in protected", EACCES, test_open(w + "/secret/n", O_WRONLY | O_CREAT));
        expect("read ro grant", 0, test_open(tree / "ro/f", O_RDONLY));
        expect("write ro grant", EACCES, test_open(tree / "ro/f", O_WRONLY));
        expect("create in rw grant", 0, test_open(tree / "rw/n", O_WRONLY | O_CREAT));
        expect("create in /tmp", 0, test_open("/tmp/.tj-unit-probe", O_WRONLY | O_CREAT));
        unlink("/tmp/.tj-unit-probe");
        expect("write /etc", EACCES, test_open("/etc/tj-unit-probe", O_WRONLY | O_CREAT));
        expect("read /etc/passwd", 0, test_open("/etc/passwd", O_RDONLY));
        expect("read /dev/urandom", 0, test_open("/dev/urandom", O_RDONLY));
        expect("write /dev/urandom", EACCES, test_open("/dev/urandom", O_WRONLY));
        expect("write /dev/random", EACCES, test_open("/dev/random", O_WRONLY));
        expect("read+write /dev/null", 0, test_open("/dev/null", O_RDWR));
        expect("read+write /dev/full", 0, test_open("/dev/full", O_RDWR));
        expect("list /dev", EACCES, test_open("/dev", O_RDONLY | O_DIRECTORY));
        expect("read outside", EACCES, test_open("/var/log", O_RDONLY | O_DIRECTORY));
        return out;
    });
    EXPECT_EQ(report, "");
}

TEST(HardenedRules, RefusesWhenNothingWasEnforced) {
    HardenedTree tree;
    tree.make({"w/"});
    Policy policy = tree.policy();
    std::string report = in_child([&] {
        Ruleset ruleset(0);  // as on a kernel without Landlock
        if (!ruleset.handle_access(kHandledFs) || !ruleset.create()) return std::string("begin");
        auto outcome = restrict_hardened(ruleset, policy, [](std::string_view) {});
        if (outcome) return std::string("ran unconfined");
        if (prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) != 1) return std::string("no no_new_privs");
        return outcome.error().text;
    });
    EXPECT_EQ(report,
              "hardened isolation requires Landlock, but the kernel enforced no ruleset (Landlock "
              "unavailable); refusing to run unconfined");
}

}  // namespace
}  // namespace tj
