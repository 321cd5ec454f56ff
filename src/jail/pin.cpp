#include "jail/pin.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <optional>
#include <set>

#include "jail/attach.hpp"
#include "jail/mount_points.hpp"
#include "path_util.hpp"

namespace tj {
namespace {

// True when the object behind `fd` is the root of a mount already.
Result<bool> is_mount_root(int fd) {
    struct statx stx;
    if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &stx) != 0)
        return fail_errno();
    return (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
           (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

// Binds the directory at `path` over itself; false when there is none to pin.
Result<bool> pin_one(const JailRoot& root, const std::string& path) {
    auto dir = open_beneath(root.fd.get(), beneath_path(path));
    if (!dir) return false;
    struct stat st;
    if (fstat(dir->get(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    if (TJ_TRY(is_mount_root(dir->get()))) return true;
    UniqueFd tree = TJ_TRY(clone_tree_at(dir->get(), true));
    TJ_TRY(attach_mount(tree.get(), dir->get()));
    return true;
}

// The writable tree `target` lies strictly inside, outermost first.
std::optional<std::string> writable_tree_of(const Policy& policy, const std::string& target) {
    std::optional<std::string> tree;
    auto consider = [&](const std::string& root) {
        if (path_under(target, root) && !path_equal(target, root) &&
            (!tree || path_under(*tree, root)))
            tree = root;
    };
    consider(policy.cwd);
    for (const auto& grant : policy.extra_rw_paths) consider(grant);
    return tree;
}

}  // namespace

Result<> pin_parents(const Policy& policy, const JailRoot& root,
                     const std::vector<std::string>& targets) {
    std::set<std::string> pinned;
    for (const auto& target : targets) {
        auto tree = writable_tree_of(policy, target);
        if (!tree) continue;
        std::string path = *tree;
        const std::string rest = path_remainder(target, *tree);
        auto parts = path_components(rest);
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            path = path_join(path, parts[i]);
            if (parts[i] == "..") break;
            if (!pinned.insert(path).second) continue;
            auto done = pin_one(root, path);
            if (!done)
                return std::unexpected(
                    std::move(done.error()).wrap("pin " + jail_path(root.path, path)));
            if (!*done) break;
        }
    }
    return {};
}

}  // namespace tj
