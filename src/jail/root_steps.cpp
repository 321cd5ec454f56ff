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

// A directory for a directory, an empty file for anything else.
Result<> make_mount_point_like(const std::string& target, const struct stat& source) {
    if (S_ISDIR(source.st_mode)) return make_dirs(target);
    TJ_TRY(make_dirs(parent_dir(target)));
    return make_mount_file(target);
}

Result<> bind_tool_path(const std::string& tool, const std::string& root) {
    struct stat st;
    if (!exists(tool, &st)) return {};
    std::string target = jail_path(root, tool);
    if (!make_mount_point_like(target, st)) return {};
    if (!sys_mount(tool, target, "", MS_BIND | MS_REC)) return {};
    auto locked = remount_bind(target, kRemountReadOnly);
    if (locked) locked = remount_submounts(target, kRemountReadOnly);
    // A tool path that could not be made read-only must not stay as a writable view.
    if (!locked) return sys_umount_detach(target);
    return {};
}

Result<> bind_extra_device(const std::string& device, const std::string& root) {
    // Checked and bound through one descriptor: no link swapped in after the
    // check can turn the bind into something else.
    UniqueFd fd(::open(device.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        int err = errno;
        return fail(fmt::format("extra_device path {} is not present on the host: {}", device,
                                system_error_text(err)),
                    err);
    }
    if (!S_ISCHR(st.st_mode) && !S_ISBLK(st.st_mode))
        return fail(fmt::format("extra_device path {} is not a character or block device", device));
    std::string target = jail_path(root, device);
    TJ_TRY(make_dirs(parent_dir(target)));
    TJ_TRY(make_mount_file(target));
    return sys_mount(fmt::format("/proc/self/fd/{}", fd.get()), target, "", MS_BIND);
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

Result<> bind_tool_paths(const Policy& policy, const std::string& root) {
    for (const auto& tool : policy.tool_paths) TJ_TRY(bind_tool_path(tool, root));
    return {};
}

Result<> populate_dev(const Policy& policy, const std::string& root) {
    // A tool path may have covered it.
    TJ_TRY(make_dirs(jail_path(root, "proc")));
    for (std::string_view node : kDefaultDeviceNodes) {
        std::string source = fmt::format("/dev/{}", node);
        if (!exists(source)) continue;
        std::string target = jail_path(root, source);
        TJ_TRY(make_mount_file(target));
        TJ_TRY(sys_mount(source, target, "", MS_BIND));
    }
    for (const auto& device : policy.extra_device_paths) TJ_TRY(bind_extra_device(device, root));
    std::string shm = jail_path(root, "dev/shm");
    TJ_TRY(make_dirs(shm));
    return sys_mount("tmpfs", shm, "tmpfs", kTmpfsFlags, std::string(kShmTmpfsData));
}

// The mount point may lie inside a grant bound just before, on a host tree
// where links can stand: it is made and mounted on beneath the root, never
// through a link.
Result<> bind_working_dir(const std::string& root, const std::string& cwd) {
    UniqueFd root_fd = TJ_TRY(open_jail_root(root));
    UniqueFd target = TJ_TRY(make_dirs_beneath(root_fd.get(), beneath_path(cwd)));
    auto bound = bind_tree_at(cwd, target.get(), false);
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
