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
    const JailRoot& root;
    UniqueFd hidden_file;
    std::vector<std::pair<std::string, UniqueFd>> masked_dirs;  // jail-side path, its tmpfs
};

// What a hidden path names inside the jail, found without following any link:
// the object itself, or the first link on the way there, which is then what
// gets masked (never a target it points to). Nothing when a component is
// missing. `shown` is the object's jail-side path.
struct HiddenObject {
    UniqueFd fd;
    struct stat st {};
    std::string shown;
};

Result<std::optional<HiddenObject>> find_hidden(const JailRoot& root, const std::string& hide) {
    std::vector<HiddenObject> stack;  // the directories walked, for ".."
    HiddenObject at{UniqueFd(fcntl(root.fd.get(), F_DUPFD_CLOEXEC, 3)), {}, root.path};
    if (!at.fd || fstat(at.fd.get(), &at.st) != 0) return fail_errno();
    for (auto part : path_components(hide)) {
        std::string name(part);
        if (name == "/" || name == ".") continue;
        if (S_ISLNK(at.st.st_mode)) break;
        if (name == "..") {
            if (!stack.empty()) at = std::move(stack.back()), stack.pop_back();
            continue;
        }
        HiddenObject next{
            UniqueFd(openat(at.fd.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC)),
            {},
            path_join(at.shown, name)};
        if (!next.fd) {
            if (errno == ENOENT || errno == ENOTDIR) return std::optional<HiddenObject>();
            return fail_errno();
        }
        if (fstat(next.fd.get(), &next.st) != 0) return fail_errno();
        stack.push_back(std::move(at));
        at = std::move(next);
    }
    return std::optional<HiddenObject>(std::move(at));
}

Result<> mask_directory(MaskState& s, const HiddenObject& obj) {
    std::string label = "mask " + obj.shown;
    UniqueFd tmpfs = TJ_TRY_AS(label, new_fs("tmpfs", {{"mode", "0755"}}, kMaskAttrs));
    TJ_TRY_AS(label, attach_mount(tmpfs.get(), obj.fd.get()));
    s.masked_dirs.emplace_back(obj.shown, std::move(tmpfs));
    return {};
}

// The entry itself is masked, a link as the link, never its target.
Result<> mask_entry(MaskState& s, const HiddenObject& obj) {
    if (!s.hidden_file) {
        s.hidden_file.reset(openat(s.root.fd.get(), kHiddenFile,
                                   O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (!s.hidden_file) return fail_system();
    }
    std::string label = "mask " + obj.shown;
    UniqueFd tree = TJ_TRY_AS(label, clone_tree_at(s.hidden_file.get(), false));
    TJ_TRY_AS("mask remount-ro " + obj.shown,
              set_mount_attrs(tree.get(), kMaskAttrs | MOUNT_ATTR_RDONLY, false));
    TJ_TRY_AS(label, attach_mount(tree.get(), obj.fd.get()));
    return {};
}

Result<> mask_one(MaskState& s, const std::string& hide) {
    auto found = find_hidden(s.root, hide);
    if (!found)
        return std::unexpected(
            std::move(found.error()).wrap("mask " + jail_path(s.root.path, hide)));
    if (!*found) return {};
    if (S_ISDIR((*found)->st.st_mode)) return mask_directory(s, **found);
    return mask_entry(s, **found);
}

// Grants lying strictly inside a hidden path are bound again over the mask,
// write grants first; each at most once.
Result<> rebind_hidden_grants(const Policy& policy, const HostPaths& paths, const JailRoot& root) {
    for (bool read_only : {false, true}) {
        const auto& list = read_only ? policy.extra_ro_paths : policy.extra_rw_paths;
        for (const auto& grant : list) {
            bool inside = false;
            for (const auto& hide : policy.hide_paths)
                if (path_under(grant, hide) && !path_equal(grant, hide)) inside = true;
            if (!inside) continue;
            auto source = TJ_TRY(open_grant_source(policy, paths, grant, read_only, ""));
            if (!source) continue;
            TJ_TRY(bind_grant(grant, grant_source_for(grant, policy).value_or(grant), *source, root,
                              read_only));
        }
    }
    return {};
}

}  // namespace

Result<> mask_hidden_paths(const Policy& policy, const HostPaths& paths, const JailRoot& root) {
    MaskState s{root, UniqueFd(), {}};
    for (const auto& hide : policy.hide_paths) TJ_TRY(mask_one(s, hide));
    if (s.hidden_file && unlinkat(root.fd.get(), kHiddenFile, 0) != 0) return fail_system();
    if (!policy.hide_paths.empty()) TJ_TRY(rebind_hidden_grants(policy, paths, root));
    for (const auto& [d, tmpfs] : s.masked_dirs)
        TJ_TRY_AS("mask remount-ro " + d, set_mount_attrs(tmpfs.get(), MOUNT_ATTR_RDONLY, false));
    return {};
}

}  // namespace tj
