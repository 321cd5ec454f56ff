// Bind remounts against the kernel, each in a forked child with its own mount
// namespace: flags carried over, submounts reached, refusals reported.
#include "jail/submounts.hpp"

#include <sched.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <fmt/core.h>
#include <gtest/gtest.h>

#include "confine_fixture.hpp"
#include "jail/mount_sys.hpp"
#include "session/id_map.hpp"

namespace tj {
namespace {

using test::FixtureTree;
using test::in_child;

// "r" for read-only, "x" for no-exec, as statvfs reports the mount at `path`.
std::string flags_at(const std::string& path) {
    struct statvfs st;
    if (::statvfs(path.c_str(), &st) != 0) return "statvfs failed";
    return std::string(st.f_flag & ST_RDONLY ? "r" : "-") + (st.f_flag & ST_NOEXEC ? "x" : "-");
}

// A private mount namespace for the child, so nothing reaches the host's.
std::string private_mounts() {
    if (::unshare(CLONE_NEWNS) != 0) return "unshare failed";
    if (!sys_mount("", "/", "", MS_REC | MS_PRIVATE)) return "private failed";
    return "";
}

class Submounts : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
        tree.make({"src/a b/", "src/ne/", "src/plain/", "dst/"});
    }
    FixtureTree tree{"/var/tmp"};
};

TEST_F(Submounts, ReadOnlyBindReachesEverySubmountAndKeepsItsFlags) {
    std::string report = in_child([&]() -> std::string {
        if (auto e = private_mounts(); !e.empty()) return e;
        if (!sys_mount("t", tree / "src/a b", "tmpfs", 0) ||
            !sys_mount("t", tree / "src/ne", "tmpfs", MS_NOEXEC))
            return "setup mounts failed";
        auto bound = bind_tree(tree / "src", tree / "dst", kRemountReadOnly);
        if (!bound) return bound.error().text;
        return fmt::format("{} {} {} {} | {} {}", flags_at(tree / "dst"),
                           flags_at(tree / "dst/a b"), flags_at(tree / "dst/ne"),
                           flags_at(tree / "dst/plain"), flags_at(tree / "src/a b"),
                           flags_at(tree / "src/ne"));
    });
    // The copies are read-only, no-exec stays where it was and only there; the
    // source mounts are untouched.
    EXPECT_EQ(report, "r- r- rx r- | -- -x");
}

TEST_F(Submounts, NothingBelowIsNothingToDo) {
    std::string report = in_child([&]() -> std::string {
        if (auto e = private_mounts(); !e.empty()) return e;
        auto done = remount_submounts(tree / "src/plain", kRemountReadOnly);
        return done ? flags_at(tree / "src/plain") : done.error().text;
    });
    EXPECT_EQ(report, "--");
}

TEST_F(Submounts, ARefusedSubmountIsNamedRelativeToTheTarget) {
    std::string report = in_child([&]() -> std::string {
        if (auto e = private_mounts(); !e.empty()) return e;
        if (!sys_mount("t", tree / "src/a b", "tmpfs", MS_RDONLY)) return "setup mount failed";
        // In a user namespace the copied read-only mount is locked read-only.
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return "unshare user failed";
        deny_setgroups();
        if (!write_id_map("/proc/self/uid_map", 0) || !write_id_map("/proc/self/gid_map", 0))
            return "id maps failed";
        auto done = remount_submounts(tree / "src", kRemountWritable);
        return done ? "remounted" : done.error().text;
    });
    EXPECT_EQ(report, "remount of submount a b: EPERM: Operation not permitted");
}

}  // namespace
}  // namespace tj
