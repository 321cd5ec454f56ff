// Protected paths: parts of the writable working directory bound read-only
// over themselves.
#include "jail/protect.hpp"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/core.h>

#include "jail/attach.hpp"
#include "jail/beneath.hpp"
#include "jail/mount_points.hpp"
#include "line_reader.hpp"
#include "path_util.hpp"
#include "status_record.hpp"

namespace tj {
namespace {

// The mount point of a protected path, normally already there through the
// working directory's bind. A link in any component fails with ELOOP.
Result<UniqueFd> protect_mount_point(int root_fd, const std::string& canonical,
                                     const std::string& rel) {
    auto existing = open_beneath(root_fd, rel);
    if (existing || existing.error().err != ENOENT) return existing;
    struct stat st;
    bool dir = stat(canonical.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    return dir ? make_dirs_beneath(root_fd, rel) : make_file_beneath(root_fd, rel);
}

Result<> protect_one(const Policy& policy, int root_fd, const std::string& root,
                     const std::string& path) {
    auto canonical = canonicalize(path);
    if (!canonical) return {};
    const std::string& c = *canonical;
    if (!path_under(c, policy.cwd)) {
        note_skipped("extra_protect_paths", path, "outside cwd");
        (void)write_all(STDERR_FILENO,
                        fmt::format("tarrow-jail: skipping protect_path {} (canonical {} not under "
                                    "cwd {})\n",
                                    path, c, policy.cwd));
        return {};
    }
    const std::string d = jail_path(root, c);
    const std::string bind_label = fmt::format("protect bind {} -> {}", c, d);
    auto target = protect_mount_point(root_fd, c, beneath_path(c));
    if (!target) {
        if (target.error().err == ELOOP) return fail(bind_label + ": " + errno_text(ELOOP), ELOOP);
        return std::unexpected(std::move(target.error()));
    }
    UniqueFd tree = TJ_TRY_AS(bind_label, clone_tree(c));
    TJ_TRY_AS("protect remount-ro " + d,
              set_mount_attrs(tree.get(), MOUNT_ATTR_RDONLY | MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV,
                              true));
    TJ_TRY_AS(bind_label, attach_mount(tree.get(), target->get()));
    return {};
}

}  // namespace

Result<> protect_paths_pass(const Policy& policy, const std::string& root, const std::string&) {
    UniqueFd root_fd = TJ_TRY(open_jail_root(root));
    for (const auto& path : policy.extra_protect_paths)
        TJ_TRY(protect_one(policy, root_fd.get(), root, path));
    return {};
}

}  // namespace tj
