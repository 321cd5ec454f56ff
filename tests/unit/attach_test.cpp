// Descriptor binds against the kernel, in a forked child with its own mount
// namespace: every mount of the copied tree locked down, the flags each one
// had kept, the source left as it was.
#include "jail/attach.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <fmt/core.h>
#include <gtest/gtest.h>

#include "confine_fixture.hpp"
#include "jail/mount_sys.hpp"

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

TEST(Attach, ReadOnlyBindReachesEverySubmountAndKeepsItsFlags) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
    FixtureTree tree{"/var/tmp"};
    tree.make({"src/a b/", "src/ne/", "src/plain/", "dst/"});
    std::string report = in_child([&]() -> std::string {
        if (::unshare(CLONE_NEWNS) != 0) return "unshare failed";
        if (!sys_mount("", "/", "", MS_REC | MS_PRIVATE)) return "private failed";
        if (!sys_mount("t", tree / "src/a b", "tmpfs", 0) ||
            !sys_mount("t", tree / "src/ne", "tmpfs", MS_NOEXEC))
            return "setup mounts failed";
        UniqueFd source(::open((tree / "src").c_str(), O_PATH | O_CLOEXEC));
        UniqueFd target(::open((tree / "dst").c_str(), O_PATH | O_CLOEXEC));
        auto bound = bind_tree_at(source.get(), target.get(), true);
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

}  // namespace
}  // namespace tj
