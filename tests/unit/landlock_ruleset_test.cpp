#include "confine/landlock_ruleset.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fmt/core.h>

#include "confine/landlock_sys.hpp"
#include "confine_fixture.hpp"

namespace tj::landlock {
namespace {

using test::FixtureTree;
using test::in_child;
using test::test_open;

TEST(LandlockAccess, SupportedRightsByAbi) {
    const std::pair<int, AccessFs> cases[] = {
        {-1, 0},     {0, 0},      {1, 0x1fff}, {2, 0x3fff}, {3, 0x7fff},
        {4, 0x7fff}, {5, 0xffff}, {6, 0xffff}, {7, 0xffff}, {100, 0xffff},
    };
    for (auto [abi, rights] : cases) EXPECT_EQ(supported_fs_rights(abi), rights) << "ABI " << abi;
    EXPECT_EQ(FS_WRITE | FS_READ, 0x6u);
    EXPECT_EQ(FS_RW & (kMakeChar | kMakeBlock), 0u);
    EXPECT_EQ(kHandledFs & kIoctlDev, 0u);
}

TEST(LandlockBestEffort, EffectiveAbiAndHandledSet) {
    struct Case {
        int probe;
        int abi;
        SupportLevel level;
        AccessFs handled;
    };
    const Case cases[] = {
        {-1, 0, SupportLevel::Absent, 0},       {0, 0, SupportLevel::Absent, 0},
        {1, 1, SupportLevel::Reduced, 0x1fff},  {2, 2, SupportLevel::Reduced, 0x3fff},
        {3, 3, SupportLevel::Complete, 0x7fff}, {4, 4, SupportLevel::Complete, 0x7fff},
        {6, 6, SupportLevel::Complete, 0x7fff}, {9, 6, SupportLevel::Complete, 0x7fff},
    };
    for (const auto& c : cases) {
        int abi = effective_abi(c.probe);
        EXPECT_EQ(abi, c.abi) << "probe " << c.probe;
        HandledAccess handled = handle_fs_access(kHandledFs, abi);
        EXPECT_EQ(handled.level, c.level) << "ABI " << abi;
        EXPECT_EQ(handled.effective, c.handled) << "ABI " << abi;
    }
}

TEST(LandlockBestEffort, NewerFeaturesOnlyWhereTheKernelHasThem) {
    struct Case {
        int version;
        bool resolve_unix;
        Scopes scopes;
    };
    const Case cases[] = {
        {0, false, 0},
        {5, false, 0},
        {6, false, kScopeAbstractUnixSocket | kScopeSignal},
        {8, false, kScopeAbstractUnixSocket | kScopeSignal},
        {9, true, kScopeAbstractUnixSocket | kScopeSignal},
    };
    for (const auto& c : cases) {
        Ruleset ruleset(c.version);
        EXPECT_EQ(ruleset.offers(kResolveUnix), c.resolve_unix) << c.version;
        ruleset.handle_scopes(kScopeAbstractUnixSocket | kScopeSignal);
        EXPECT_EQ(ruleset.scoped(), c.scopes) << c.version;
        EXPECT_EQ(ruleset.abi(), std::min(c.version, kMaxKnownAbi)) << c.version;
    }
    // Asked for where offered, the right is handled in full and granted on
    // directories; an older kernel's rules never carry it.
    HandledAccess handled = handle_fs_access(kHandledFs | kResolveUnix, 9);
    EXPECT_EQ(handled.level, SupportLevel::Complete);
    EXPECT_EQ(handled.effective, kHandledFs | kResolveUnix);
    EXPECT_EQ(rule_access(FS_RW | kResolveUnix, true, 9).allowed, FS_RW | kResolveUnix);
    EXPECT_EQ(rule_access(FS_RW | kResolveUnix, true, 7).allowed, FS_RW);
}

TEST(LandlockBestEffort, RuleAccessDropsDirectoryRightsAndUnsupportedOnes) {
    struct Case {
        AccessFs access;
        bool directory;
        int abi;
        AccessFs allowed;
        bool narrowed;
    };
    const Case cases[] = {
        {FS_RX, true, 6, 0xd, false},    {FS_RX, false, 6, 0x5, true},
        {FS_RW, true, 6, 0x77bf, false}, {FS_RW, false, 6, 0x4007, true},
        {FS_RW, true, 3, 0x77bf, false}, {FS_RW, true, 2, 0x37bf, true},
        {FS_RW, true, 1, 0x17bf, true},  {FS_RW, false, 2, 0x7, true},
        {FS_DEV, false, 6, 0x7, true},   {FS_WRITE, false, 1, 0x2, false},
        {FS_READ, false, 6, 0x4, false}, {FS_PROC, true, 6, 0xc, false},
        {kTruncate, false, 2, 0, true},  {FS_RX, true, 0, 0, true},
    };
    for (const auto& c : cases) {
        RuleAccess rule = rule_access(c.access, c.directory, c.abi);
        EXPECT_EQ(rule.allowed, c.allowed)
            << fmt::format("{:#x} dir={} abi={}", c.access, c.directory, c.abi);
        EXPECT_EQ(rule.narrowed, c.narrowed) << fmt::format("{:#x}", c.access);
    }
}

TEST(LandlockBestEffort, StateTransitionsAndOutcome) {
    using enum SupportLevel;
    EXPECT_EQ(after_rule(Complete, true), Reduced);
    EXPECT_EQ(after_rule(Complete, false), Complete);
    EXPECT_EQ(after_rule(Reduced, false), Reduced);
    EXPECT_EQ(after_rule(Inert, true), Inert);
    EXPECT_EQ(enforcement_for(Complete), Enforcement::Enforced);
    EXPECT_EQ(enforcement_for(Reduced), Enforcement::PartlyEnforced);
    for (SupportLevel level : {Unset, Absent, Inert})
        EXPECT_EQ(enforcement_for(level), Enforcement::Unenforced);
}

TEST(LandlockBestEffort, NoNewPrivsFailureIsFatalUnlessNothingToEnforceAndNoAnswer) {
    using enum SupportLevel;
    struct Case {
        SupportLevel level;
        int get_result;
        bool fatal;
    };
    const Case cases[] = {
        {Complete, -1, true}, {Reduced, -1, true}, {Inert, 0, true},
        {Inert, 1, true},     {Inert, -1, false},  {Absent, -1, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(no_new_privs_failure_is_fatal(c.level, c.get_result), c.fatal)
            << static_cast<int>(c.level) << " " << c.get_result;
}

bool kernel_has_landlock(int min_abi) {
    return sys_abi_version() >= min_abi;
}

TEST(LandlockRuleset, ErrorsKeepTheirWording) {
    Ruleset unset(6);
    auto created = unset.create();
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().text, "failed to create a ruleset: Invalid argument (os error 22)");

    if (!kernel_has_landlock(1)) GTEST_SKIP() << "needs Landlock";
    // At the kernel's own ABI: before ABI 3 (truncate) the handled set is
    // already reduced.
    const int abi = sys_abi_version();
    const SupportLevel full = abi >= 3 ? SupportLevel::Complete : SupportLevel::Reduced;
    Ruleset ruleset(abi);
    ASSERT_TRUE(ruleset.handle_access(kHandledFs));
    ASSERT_TRUE(ruleset.create());
    auto unhandled = ruleset.add_path_rule("/", FS_RX | kIoctlDev);
    ASSERT_FALSE(unhandled);
    EXPECT_EQ(unhandled.error().text, "access-rights not handled by the ruleset: 0x8000");
    // A path that cannot be opened is no error and no rule.
    EXPECT_TRUE(ruleset.add_path_rule("/nonexistent/tj-unit", FS_RW));
    EXPECT_EQ(ruleset.level(), full);
    // A rule on a file narrows FS_RX to its file rights.
    EXPECT_TRUE(ruleset.add_path_rule("/proc/self/exe", FS_RX));
    EXPECT_EQ(ruleset.level(), SupportLevel::Reduced);
}

// One probe of the selftests kind: the errno an open (or another call) gives.
struct Probe {
    std::string what;
    int expected;
    int got;
};

std::string mismatches(const std::vector<Probe>& probes) {
    std::string out;
    for (const auto& p : probes)
        if (p.got != p.expected)
            out += fmt::format("{}: expected {} got {}\n", p.what, p.expected, p.got);
    return out;
}

int errno_of(int rc) {
    return rc == 0 ? 0 : errno;
}

// rw/ (FS_RW), rw2/ (FS_RW), ro/ (FS_RX), none/ (no rule), file (FS_RX on a file).
struct RuleTree {
    FixtureTree tree;
    RuleTree() { tree.make({"rw/f", "rw2/", "ro/f", "ro/sub/g", "none/f", "file"}); }

    std::string restrict_with(int abi, Enforcement expected_enforcement, bool file_rule) const {
        Ruleset ruleset(abi);
        if (!ruleset.handle_access(kHandledFs) || !ruleset.create()) return "create failed";
        for (const auto& [rel, access] : {std::pair{"rw", FS_RW}, {"rw2", FS_RW}, {"ro", FS_RX}})
            if (!ruleset.add_path_rule(tree / rel, access)) return "add failed";
        if (file_rule && !ruleset.add_path_rule(tree / "file", FS_RX)) return "add file failed";
        auto outcome = ruleset.restrict_self();
        if (!outcome) return outcome.error().text;
        if (outcome->enforcement != expected_enforcement) return "unexpected enforcement";
        if (!outcome->no_new_privs || prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) != 1)
            return "no_new_privs not set";
        return "";
    }
};

TEST(LandlockRuleset, EnforcesTheRulesOnTheRunningKernel) {
    if (!kernel_has_landlock(1)) GTEST_SKIP() << "needs Landlock";
    RuleTree t;
    const auto& tree = t.tree;
    // Truncation is a right from ABI 3 on; before, nothing can stop it. Moves
    // between directories (ABI 2 on) are refused outright by ABI 1.
    const int truncate_ro = kernel_has_landlock(3) ? EACCES : 0;
    const int refer = kernel_has_landlock(2) ? 0 : EXDEV;
    std::string report = in_child([&] {
        if (auto err = t.restrict_with(sys_abi_version(), Enforcement::PartlyEnforced, true);
            !err.empty())
            return err;
        return mismatches({
            {"read ro/f", 0, test_open(tree / "ro/f", O_RDONLY)},
            {"read ro/sub/g", 0, test_open(tree / "ro/sub/g", O_RDONLY)},
            {"write ro/f", EACCES, test_open(tree / "ro/f", O_WRONLY)},
            {"create in ro", EACCES, test_open(tree / "ro/new", O_WRONLY | O_CREAT)},
            {"truncate ro/f", truncate_ro, errno_of(truncate((tree / "ro/f").c_str(), 0))},
            {"read none/f", EACCES, test_open(tree / "none/f", O_RDONLY)},
            {"list none", EACCES, test_open(tree / "none", O_RDONLY | O_DIRECTORY)},
            {"read file", 0, test_open(tree / "file", O_RDONLY)},
            {"write file", EACCES, test_open(tree / "file", O_WRONLY)},
            {"create in rw", 0, test_open(tree / "rw/new", O_WRONLY | O_CREAT)},
            {"truncate rw/f", 0, errno_of(truncate((tree / "rw/f").c_str(), 0))},
            {"mkdir in rw", 0, errno_of(mkdir((tree / "rw/d").c_str(), 0755))},
            {"fifo in rw", 0, errno_of(mkfifo((tree / "rw/p").c_str(), 0644))},
            {"char device in rw", EACCES,
             errno_of(mknod((tree / "rw/c").c_str(), S_IFCHR | 0600, makedev(1, 3)))},
            {"rename rw to rw2", refer,
             errno_of(rename((tree / "rw/new").c_str(), (tree / "rw2/new").c_str()))},
            {"link rw2 to rw", refer,
             errno_of(link((tree / "rw2/new").c_str(), (tree / "rw/again").c_str()))},
            {"rename rw to ro", refer == 0 ? EACCES : EXDEV,
             errno_of(rename((tree / "rw/f").c_str(), (tree / "ro/f2").c_str()))},
        });
    });
    EXPECT_EQ(report, "");
}

TEST(LandlockRuleset, OldAbiIsPartlyEnforcedWithoutTheNewerRights) {
    if (!kernel_has_landlock(2)) GTEST_SKIP() << "needs Landlock ABI 2 or later";
    RuleTree t;
    const auto& tree = t.tree;
    for (int abi : {1, 2}) {
        if (!kernel_has_landlock(abi + 1)) continue;  // the kernel's own ABI: tested above
        std::string report = in_child([&] {
            if (auto err = t.restrict_with(abi, Enforcement::PartlyEnforced, false); !err.empty())
                return err;
            // Truncate is unknown before ABI 3: the rule set cannot stop it.
            return mismatches({
                {"read ro/f", 0, test_open(tree / "ro/f", O_RDONLY)},
                {"write ro/f", EACCES, test_open(tree / "ro/f", O_WRONLY)},
                {"truncate ro/f", 0, errno_of(truncate((tree / "ro/f").c_str(), 0))},
                {"read none/f", EACCES, test_open(tree / "none/f", O_RDONLY)},
                {"create in rw", 0, test_open(tree / "rw/new", O_WRONLY | O_CREAT)},
            });
        });
        EXPECT_EQ(report, "") << "ABI " << abi;
    }
}

TEST(LandlockRuleset, AbsentLandlockSetsNoNewPrivsAndEnforcesNothing) {
    RuleTree t;
    const auto& tree = t.tree;
    std::string report = in_child([&] {
        Ruleset ruleset(0);
        if (!ruleset.handle_access(kHandledFs)) return std::string("handle failed");
        if (ruleset.level() != SupportLevel::Absent) return std::string("not absent");
        if (auto err = t.restrict_with(0, Enforcement::Unenforced, true); !err.empty()) return err;
        return mismatches({
            {"read none/f", 0, test_open(tree / "none/f", O_RDONLY)},
            {"write ro/f", 0, test_open(tree / "ro/f", O_WRONLY)},
        });
    });
    EXPECT_EQ(report, "");
}

}  // namespace
}  // namespace tj::landlock
