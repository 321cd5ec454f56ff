// Hidden paths: directories covered by an empty read-only tmpfs, anything else
// by one empty read-only file; grants inside a hidden path are bound again on
// top of the mask.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "jail/attach.hpp"
#include "jail/beneath.hpp"
#include "jail/grants.hpp"
#include "jail/mount_points.hpp"
#include "jail/protect.hpp"
#include "path_util.hpp"

namespace tj {
namespace {

constexpr const char* kHiddenFile = ".tarrow-hidden-file";
constexpr MountAttrs kMaskAttrs = MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV | MOUNT_ATTR_NOEXEC;

struct MaskState {
    int root_fd;
    const std::string& root;
    UniqueFd hidden_file;
    std::vector<std::pair<std::string, UniqueFd>> masked_dirs;  // jail-side path, its tmpfs
};

Result<> mask_directory(MaskState& s, const std::string& rel, const std::string& d) {
    std::string label = "mask " + d;
    UniqueFd tmpfs = TJ_TRY_AS(label, new_tmpfs(kMaskAttrs, "0755"));
    UniqueFd target = TJ_TRY_AS(label, open_beneath(s.root_fd, rel));
    TJ_TRY_AS(label, attach_mount(tmpfs.get(), target.get()));
    s.masked_dirs.emplace_back(d, std::move(tmpfs));
    return {};
}

// The entry itself is masked, a link as the link, never its target.
Result<> mask_entry(MaskState& s, const std::string& rel, const std::string& d) {
    if (!s.hidden_file) {
        s.hidden_file.reset(
            openat(s.root_fd, kHiddenFile, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (!s.hidden_file) return fail_system();
    }
    std::string label = "mask " + d;
    UniqueFd tree = TJ_TRY_AS(label, clone_tree_at(s.hidden_file.get()));
    TJ_TRY_AS("mask remount-ro " + d,
              set_mount_attrs(tree.get(), kMaskAttrs | MOUNT_ATTR_RDONLY, false));
    std::string parent = beneath_path(parent_dir("/" + rel));
    UniqueFd dir = TJ_TRY_AS(label, open_beneath(s.root_fd, parent));
    std::string name(path_components(rel).back());
    UniqueFd target(openat(dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!target) return fail(label + ": " + errno_text(errno), errno);
    TJ_TRY_AS(label, attach_mount(tree.get(), target.get()));
    return {};
}

Result<> mask_one(MaskState& s, const std::string& hide) {
    std::string rel = beneath_path(hide);
    std::string d = jail_path(s.root, hide);
    auto st = lstat_beneath(s.root_fd, rel);
    if (!st && st.error().err == ENOENT) return {};
    // A link on the way to a hidden path leaves nothing that could be masked
    // reliably; refusing to start is the safe side.
    if (!st) return std::unexpected(std::move(st.error()).wrap("mask " + d));
    if (S_ISDIR(st->st_mode)) return mask_directory(s, rel, d);
    return mask_entry(s, rel, d);
}

// Grants lying strictly inside a hidden path are bound again over the mask,
// write grants first; each at most once.
Result<> rebind_hidden_grants(const Policy& policy, int root_fd) {
    for (bool read_only : {false, true}) {
        const auto& list = read_only ? policy.extra_ro_paths : policy.extra_rw_paths;
        for (const auto& grant : list) {
            bool inside = false;
            for (const auto& hide : policy.hide_paths)
                if (path_under(grant, hide) && !path_equal(grant, hide)) inside = true;
            if (!inside) continue;
            std::string source = grant_source_for(grant, policy).value_or(grant);
            struct stat st;
            if (stat(source.c_str(), &st) != 0) continue;
            TJ_TRY(bind_grant(grant, source, root_fd, read_only));
        }
    }
    return {};
}

}  // namespace

Result<> mask_hidden_paths(const Policy& policy, const std::string& root) {
    UniqueFd root_fd = TJ_TRY(open_jail_root(root));
    MaskState s{root_fd.get(), root, UniqueFd(), {}};
    for (const auto& hide : policy.hide_paths) TJ_TRY(mask_one(s, hide));
    if (s.hidden_file && unlinkat(root_fd.get(), kHiddenFile, 0) != 0) return fail_system();
    if (!policy.hide_paths.empty()) TJ_TRY(rebind_hidden_grants(policy, root_fd.get()));
    for (const auto& [d, tmpfs] : s.masked_dirs)
        TJ_TRY_AS("mask remount-ro " + d, set_mount_attrs(tmpfs.get(), MOUNT_ATTR_RDONLY, false));
    return {};
}

}  // namespace tj
