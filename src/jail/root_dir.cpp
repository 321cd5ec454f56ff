#include "jail/root_dir.hpp"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <fmt/core.h>

#include "jail/attach.hpp"
#include "jail/layout.hpp"
#include "jail/mount_points.hpp"
#include "unique_fd.hpp"

namespace tj {
namespace {

// The cause is always the system error text: of the failed call, or of the
// error that stands for a refused property (a foreign owner is EPERM's).
std::unexpected<Error> unusable(const std::string& path, int err) {
    return fail(fmt::format("jail root {} is unusable: {} (remove it, or point TMPDIR elsewhere)",
                            path, system_error_text(err)),
                err);
}

// Opens the directory itself, never what a link there points to.
Result<std::pair<UniqueFd, struct stat>> open_exact(const std::string& path, int extra_flags) {
    UniqueFd fd(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC | extra_flags));
    if (!fd) return fail_system();
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return fail_system();
    return std::pair{std::move(fd), st};
}

}  // namespace

Result<JailRootDir> prepare_jail_root_dir(uid_t uid) {
    JailRootDir root{fmt::format("/tmp/tarrow-jail-root-{}", uid)};
    if (auto made = make_dirs(root.path); !made && made.error().err != EEXIST)
        return unusable(root.path, made.error().err);
    auto opened = open_exact(root.path, 0);
    if (!opened) return unusable(root.path, opened.error().err);
    const struct stat& st = opened->second;
    if (S_ISLNK(st.st_mode)) return unusable(root.path, ELOOP);
    if (!S_ISDIR(st.st_mode)) return unusable(root.path, ENOTDIR);
    if (st.st_uid != uid) return unusable(root.path, EPERM);
    root.dev = st.st_dev;
    root.ino = st.st_ino;
    return root;
}

Result<JailRoot> mount_root_tmpfs(const JailRootDir& root) {
    auto opened = open_exact(root.path, O_DIRECTORY);
    if (!opened) return unusable(root.path, opened.error().err);
    if (opened->second.st_dev != root.dev || opened->second.st_ino != root.ino)
        return unusable(root.path, EBUSY);  // replaced while the jail was being set up
    // Attached on the descriptor, which pins the checked inode.
    UniqueFd fs = TJ_TRY(new_fs("tmpfs", {{"source", root.path.c_str()}, {"size", kRootTmpfsSize}},
                                MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV));
    TJ_TRY(attach_mount(fs.get(), opened->first.get()));
    return JailRoot{root.path, std::move(fs)};
}

}  // namespace tj
