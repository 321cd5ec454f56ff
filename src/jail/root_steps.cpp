#include "jail/root_steps.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include <fmt/core.h>

#include "jail/attach.hpp"
#include "jail/beneath.hpp"
#include "jail/layout.hpp"
#include "jail/mount_points.hpp"
#include "jail/mount_sys.hpp"
#include "line_reader.hpp"
#include "path_util.hpp"
#include "unique_fd.hpp"

namespace tj {
namespace {

constexpr MountAttrs kFreshAttrs = MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV;

Result<> chdir_to(const std::string& path) {
    if (::chdir(path.c_str()) != 0) return fail_errno();
    return {};
}

// A directory for a directory, an empty file for anything else, made beneath
// the root: an earlier tool path may show a tree where links stand.
Result<UniqueFd> make_mount_point_like(const JailRoot& root, const std::string& path,
                                       const struct stat& source) {
    std::string rel = beneath_path(path);
    return S_ISDIR(source.st_mode) ? make_dirs_beneath(root.fd.get(), rel)
                                   : make_file_beneath(root.fd.get(), rel);
}

// A new file system attached at `rel` beneath the root.
Result<> attach_fresh(const JailRoot& root, std::string_view rel, const char* type,
                      std::initializer_list<FsOption> options, MountAttrs attrs) {
    UniqueFd target = TJ_TRY(make_dirs_beneath(root.fd.get(), rel));
    UniqueFd fs = TJ_TRY(new_fs(type, options, attrs));
    return attach_mount(fs.get(), target.get());
}

// The link's text when the host's `dir` is a link whose target, read as
// written, is the real place of a system directory the jail binds as a
// directory (merged /usr: "/bin" -> "usr/bin"). The same link in the jail
// root then shows the command what a bind would, without a mount.
std::optional<std::string> link_into_system_dir(const std::string& dir) {
    char text[PATH_MAX];
    ssize_t n = ::readlink(dir.c_str(), text, sizeof text);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof text) return std::nullopt;
    std::string target(text, static_cast<size_t>(n));
    std::string named = target.starts_with('/') ? target : path_join(parent_dir(dir), target);
    auto real = canonicalize(dir);
    if (!real || !path_equal(*real, named)) return std::nullopt;  // "..", or links on the way
    for (std::string_view system : kSystemDirs) {
        struct stat st;
        std::string base(system);
        if (path_under(*real, base) && ::lstat(base.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return target;
    }
    return std::nullopt;
}

Result<> make_link_beneath(const JailRoot& root, const std::string& path,
                           const std::string& target) {
    std::string name(path_components(path).back());
    UniqueFd dir = TJ_TRY(make_dirs_beneath(root.fd.get(), beneath_path(parent_dir(path))));
    if (::symlinkat(target.c_str(), dir.get(), name.c_str()) != 0) return fail_system();
    return {};
}

// The host's system directories lie outside every tree a command can write,
// so their links are followed.
Result<> bind_system_dir(const JailRoot& root, const std::string& dir) {
    UniqueFd source(::open(dir.c_str(), O_PATH | O_CLOEXEC));
    if (!source) return {};  // not on this host
    UniqueFd target = TJ_TRY(make_dirs_beneath(root.fd.get(), beneath_path(dir)));
    auto bound = bind_tree_at(source.get(), target.get(), true);
    if (!bound) return fail_errno(bound.error().err);
    return {};
}

// Prepared whole while detached, so a tool path is either attached read-only
// or not at all: no writable view of it ever exists.
Result<> bind_tool_path(const HostPaths& paths, const std::string& tool, const JailRoot& root) {
    auto source = paths.open(tool);
    if (!source) return {};
    auto target = make_mount_point_like(root, tool, source->st);
    if (!target) return {};
    (void)bind_tree_at(source->fd.get(), target->get(), true);
    return {};
}

// A single node, cloned with the flags its host mount has.
Result<> bind_node(int source_fd, const JailRoot& root, const std::string& path) {
    UniqueFd target = TJ_TRY(make_file_beneath(root.fd.get(), beneath_path(path)));
    UniqueFd node = TJ_TRY(clone_tree_at(source_fd, false));
    return attach_mount(node.get(), target.get());
}

Result<> bind_default_device(const JailRoot& root, std::string_view node) {
    std::string path = fmt::format("/dev/{}", node);
    UniqueFd source(::open(path.c_str(), O_PATH | O_CLOEXEC));
    if (!source) return {};  // not on this host
    return bind_node(source.get(), root, path);
}

Result<> bind_extra_device(const HostPaths& paths, const std::string& device,
                           const JailRoot& root) {
    // Checked and bound through one descriptor: no link swapped in after the
    // check can turn the bind into something else.
    auto source = paths.open(device, false);
    if (!source) {
        int err = source.error().err;
        return fail(fmt::format("extra_device path {} is not present on the host: {}", device,
                                system_error_text(err)),
                    err);
    }
    if (!S_ISCHR(source->st.st_mode) && !S_ISBLK(source->st.st_mode))
        return fail(fmt::format("extra_device path {} is not a character or block device", device));
    return bind_node(source->fd.get(), root, device);
}

// The jail's own /proc, on the descriptor of its mount point in the new root.
Result<> mount_fresh_proc(const JailRoot& root) {
    UniqueFd target = TJ_TRY(open_beneath(root.fd.get(), "proc"));
    UniqueFd fs = TJ_TRY(new_fs("proc", {{"source", "proc"}},
                                MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV | MOUNT_ATTR_NOEXEC));
    return attach_mount(fs.get(), target.get());
}

void warn_proc_unmounted(const Error& error) {
    (void)write_all(STDERR_FILENO,
                    fmt::format("[tarrow-jail] warning: fresh /proc mount failed ({}); /proc will "
                                "be empty inside the jail, so binaries that find their libraries "
                                "relative to themselves ($ORIGIN) will not start\n",
                                error.text));
}

}  // namespace

Result<> make_root_dirs(const JailRoot& root) {
    for (std::string_view dir : kRootDirs)
        if (::mkdirat(root.fd.get(), std::string(dir).c_str(), 0777) != 0) return fail_system();
    return {};
}

Result<> bind_system_dirs(const JailRoot& root) {
    for (std::string_view name : kSystemDirs) {
        std::string dir(name);
        if (auto link = link_into_system_dir(dir))
            TJ_TRY(make_link_beneath(root, dir, *link));
        else
            TJ_TRY(bind_system_dir(root, dir));
    }
    return {};
}

Result<> mount_fresh_tmp(const JailRoot& root) {
    TJ_TRY(attach_fresh(root, "tmp", "tmpfs", {{"size", kTmpTmpfsSize}}, kFreshAttrs));
    TJ_TRY(make_dirs_beneath(root.fd.get(), kHomeInTmp));
    return {};
}

Result<> bind_tool_paths(const Policy& policy, const HostPaths& paths, const JailRoot& root) {
    for (const auto& tool : policy.tool_paths) TJ_TRY(bind_tool_path(paths, tool, root));
    return {};
}

Result<> populate_dev(const Policy& policy, const HostPaths& paths, const JailRoot& root) {
    // A tool path may have covered it.
    TJ_TRY(make_dirs_beneath(root.fd.get(), "proc"));
    for (std::string_view node : kDefaultDeviceNodes) TJ_TRY(bind_default_device(root, node));
    for (const auto& device : policy.extra_device_paths)
        TJ_TRY(bind_extra_device(paths, device, root));
    return attach_fresh(root, "dev/shm", "tmpfs",
                        {{"source", "tmpfs"}, {"mode", "1777"}, {"size", kTmpTmpfsSize}},
                        kFreshAttrs);
}

// The mount point may lie inside a grant bound just before, on a host tree
// where links can stand: it is made and mounted on beneath the root, never
// through a link.
Result<> bind_working_dir(const HostPaths& paths, const JailRoot& root, const std::string& cwd) {
    UniqueFd target = TJ_TRY(make_dirs_beneath(root.fd.get(), beneath_path(cwd)));
    auto bound = bind_tree_at(paths.workspace_fd(), target.get(), false);
    if (!bound) return fail_errno(bound.error().err);
    return {};
}

Result<> enter_root(const JailRoot& root, const std::string& cwd) {
    const std::string old_root = old_root_path();
    TJ_TRY(make_dirs_beneath(root.fd.get(), kOldRoot));
    // Into the root through its descriptor: no path lookup picks what is entered.
    if (::fchdir(root.fd.get()) != 0) return fail_errno();
    TJ_TRY(sys_pivot_root(".", std::string(kOldRoot)));
    TJ_TRY(chdir_to("/"));
    // Before the old root goes: the kernel lets a user namespace mount proc only
    // while a fully visible proc mount is still in reach.
    if (auto proc = mount_fresh_proc(root); !proc) warn_proc_unmounted(proc.error());
    TJ_TRY(sys_umount_detach(old_root));
    (void)::rmdir(old_root.c_str());
    return chdir_to(cwd);
}

}  // namespace tj
