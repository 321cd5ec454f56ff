#include "confine/landlock_rules.hpp"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <fmt/core.h>

#include "confine/landlock_sys.hpp"
#include "confine_fixture.hpp"

namespace tj {
namespace {

using namespace landlock;
using test::FixtureTree;
using test::in_child;
using test::test_open;

std::string describe(const std::vector<RuleRow>& rows) {
    std::string out;
    for (const auto& row : rows)
        out += fmt::format("{} {:#x} [{}]\n", row.path, row.access, row.label);
    return out;
}

TEST(StrictRules, RowsInOrderWithTheirLabels) {
    Policy policy;
    policy.cwd = "/work/repo";
    policy.tool_paths = {"/opt/tool", "/opt/t2"};
    policy.extra_device_paths = {"/dev/fuse"};
    policy.extra_ro_paths = {"/data/ro"};
    policy.extra_rw_paths = {"/data/rw", "/cache"};
    EXPECT_EQ(describe(strict_rule_rows(policy)),
              "/work/repo 0x77bf [rule cwd]\n"
              "/tmp 0x77bf [rule /tmp]\n"
              "/dev/shm 0x77bf [rule /dev/shm]\n"
              "/proc 0xc [rule /proc]\n"
              "/usr 0xd [rule /usr]\n"
              "/bin 0xd [rule /bin]\n"
              "/sbin 0xd [rule /sbin]\n"
              "/lib 0xd [rule /lib]\n"
              "/lib64 0xd [rule /lib64]\n"
              "/etc 0xd [rule /etc]\n"
              "/dev 0xd [rule /dev]\n"
              "/opt/tool 0xd [rule tool]\n"
              "/opt/t2 0xd [rule tool]\n"
              "/dev/null 0x2 [rule /dev/null]\n"
              "/dev/zero 0x2 [rule /dev/zero]\n"
              "/dev/full 0x2 [rule /dev/full]\n"
              "/dev/fuse 0xf [rule dev /dev/fuse]\n"
              "/data/ro 0xd [rule ro /data/ro]\n"
              "/data/rw 0x77bf [rule rw /data/rw]\n"
              "/cache 0x77bf [rule rw /cache]\n");
}

TEST(StrictRules, AFailedRuleCarriesItsLabel) {
    // Handled but never created: no descriptor, so the kernel refuses the rule.
    Ruleset ruleset(6);
    ASSERT_TRUE(ruleset.handle_access(kHandledFs));
    const RuleRow rows[] = {{"/", FS_RX, "rule ro /"}};
    auto added = add_rule_rows(ruleset, rows);
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error().text,
              "rule ro /: failed to add a rule: Bad file descriptor (os error 9)");
}

TEST(StrictRules, RestrictStrictConfinesTheCallingProcess) {
    if (sys_abi_version() < 1) GTEST_SKIP() << "needs Landlock";
    // Outside /tmp, which the strict table makes writable as a whole.
    FixtureTree tree("/var/tmp");
    tree.make({"cwd/f", "ro/f", "rw/", "other/f"});
    Policy policy;
    policy.cwd = tree / "cwd";
    policy.extra_ro_paths = {tree / "ro", tree / "missing-ro"};
    policy.extra_rw_paths = {tree / "rw"};
    std::string report = in_child([&] {
        auto outcome = restrict_strict(policy);
        if (!outcome) return outcome.error().text;
        if (outcome->enforcement == Enforcement::Unenforced) return std::string("unenforced");
        std::string out;
        auto expect = [&](const std::string& what, int expected, int got) {
            if (expected != got)
                out += fmt::format("{}: expected {} got {}\n", what, expected, got);
        };
        expect("create in cwd", 0, test_open(tree / "cwd/new", O_WRONLY | O_CREAT));
        expect("create in rw", 0, test_open(tree / "rw/new", O_WRONLY | O_CREAT));
        expect("read ro", 0, test_open(tree / "ro/f", O_RDONLY));
        expect("write ro", EACCES, test_open(tree / "ro/f", O_WRONLY));
        expect("read other", EACCES, test_open(tree / "other/f", O_RDONLY));
        expect("read /etc/passwd", 0, test_open("/etc/passwd", O_RDONLY));
        expect("create in /etc", EACCES, test_open("/etc/tj-unit-probe", O_WRONLY | O_CREAT));
        expect("read /proc/self/status", 0, test_open("/proc/self/status", O_RDONLY));
        expect("write /dev/null", 0, test_open("/dev/null", O_WRONLY));
        return out;
    });
    EXPECT_EQ(report, "");
}

}  // namespace
}  // namespace tj
