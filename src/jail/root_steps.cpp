#include "jail/root_steps.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/core.h>

#include "jail/attach.hpp"
#include "jail/beneath.hpp"
#include "jail/layout.hpp"
#include "jail/mount_points.hpp"
#include "jail/mount_sys.hpp"
#include "jail/submounts.hpp"
#include "line_reader.hpp"
#include "unique_fd.hpp"

namespace tj {
namespace {

constexpr unsigned long kTmpfsFlags = MS_NOSUID | MS_NODEV;

bool exists(const std::string& path, struct stat* st = nullptr) {
    struct stat ignored;
    return ::stat(path.c_str(), st != nullptr ? st : &ignored) == 0;
}

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
    UniqueFd target = TJ_TRY(make_file_beneath(root.fd.get(), beneath_path(device)));
    UniqueFd node = TJ_TRY(clone_tree_at(source->fd.get(), false));
    return attach_mount(node.get(), target.get());
}

void warn_proc_unmounted(const Error& error) {
    (void)write_all(STDERR_FILENO,
                    fmt::format("[tarrow-jail] warning: fresh /proc mount failed ({}); /proc will "
                                "be empty inside the jail, so binaries that find their libraries "
                                "relative to themselves ($ORIGIN) will not start\n",
                                error.text));
}

}  // namespace

Result<> make_root_dirs(const std::string& root) {
    for (std::string_view dir : kRootDirs) TJ_TRY(make_dirs(jail_path(root, dir)));
    return {};
}

Result<> bind_system_dirs(const std::string& root) {
    for (std::string_view dir : kSystemDirs) {
        std::string source(dir);
        if (!exists(source)) continue;
        std::string target = jail_path(root, source);
        TJ_TRY(make_dirs(target));
        TJ_TRY(bind_tree(source, target, kRemountReadOnly));
    }
    return {};
}

Result<> mount_fresh_tmp(const std::string& root) {
    TJ_TRY(sys_mount("", jail_path(root, "tmp"), "tmpfs", kTmpfsFlags, std::string(kTmpTmpfsData)));
    return make_dirs(jail_path(root, kHomeInTmp));
}

Result<> bind_tool_paths(const Policy& policy, const HostPaths& paths, const JailRoot& root) {
    for (const auto& tool : policy.tool_paths) TJ_TRY(bind_tool_path(paths, tool, root));
    return {};
}

Result<> populate_dev(const Policy& policy, const HostPaths& paths, const JailRoot& jail_root) {
    const std::string& root = jail_root.path;
    // A tool path may have covered it.
    TJ_TRY(make_dirs(jail_path(root, "proc")));
    for (std::string_view node : kDefaultDeviceNodes) {
        std::string source = fmt::format("/dev/{}", node);
        if (!exists(source)) continue;
        std::string target = jail_path(root, source);
        TJ_TRY(make_mount_file(target));
        TJ_TRY(sys_mount(source, target, "", MS_BIND));
    }
    for (const auto& device : policy.extra_device_paths)
        TJ_TRY(bind_extra_device(paths, device, jail_root));
    std::string shm = jail_path(root, "dev/shm");
    TJ_TRY(make_dirs(shm));
    return sys_mount("tmpfs", shm, "tmpfs", kTmpfsFlags, std::string(kShmTmpfsData));
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

Result<> enter_root(const std::string& root, const std::string& cwd) {
    const std::string old_root = fmt::format("/{}", kOldRoot);
    TJ_TRY(make_dirs(jail_path(root, kOldRoot)));
    TJ_TRY(sys_pivot_root(root, jail_path(root, kOldRoot)));
    TJ_TRY(chdir_to("/"));
    // Before the old root goes: the kernel lets a user namespace mount proc only
    // while a fully visible proc mount is still in reach.
    if (auto proc = sys_mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC); !proc)
        warn_proc_unmounted(proc.error());
    TJ_TRY(sys_umount_detach(old_root));
    (void)::rmdir(old_root.c_str());
    return chdir_to(cwd);
}

}  // namespace tj
