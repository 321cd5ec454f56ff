// Protected paths: parts of the writable working directory bound read-only
// over themselves.
#include "jail/protect.hpp"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/core.h>

#include "jail/attach.hpp"
#include "jail/mount_points.hpp"
#include "line_reader.hpp"
#include "path_util.hpp"
#include "status_record.hpp"

namespace tj {
namespace {

// The mount point of a protected path, normally already there through the
// working directory's bind. A link in any component fails with ELOOP.
Result<UniqueFd> protect_mount_point(int root_fd, const HostObject& source,
                                     const std::string& rel) {
    auto existing = open_beneath(root_fd, rel);
    if (existing || existing.error().err != ENOENT) return existing;
    return S_ISDIR(source.st.st_mode) ? make_dirs_beneath(root_fd, rel)
                                      : make_file_beneath(root_fd, rel);
}

// The jail-side mount point must be the very object that was resolved on the
// host: otherwise the read-only copy would land on whatever a command moved
// there in between, and the object itself stay writable under another name.
Result<> same_object(int fd, const struct stat& expected) {
    struct stat st;
    if (fstat(fd, &st) != 0) return fail_errno();
    if (st.st_dev != expected.st_dev || st.st_ino != expected.st_ino) return fail_errno(EAGAIN);
    return {};
}

std::unexpected<Error> refuse_link(const std::string& from, const std::string& to) {
    return fail(fmt::format("protect bind {} -> {}: {}", from, to, errno_text(ELOOP)), ELOOP);
}

Result<std::optional<std::string>> protect_one(const Policy& policy, const HostPaths& paths,
                                               const JailRoot& root, const std::string& path) {
    auto source = paths.open(path);
    if (!source) {
        if (source.error().err == ELOOP) return refuse_link(path, jail_path(root.path, path));
        return std::optional<std::string>();
    }
    const std::string& c = source->canonical;
    if (!path_under(c, policy.cwd)) {
        note_skipped("extra_protect_paths", path, "outside cwd");
        (void)write_all(STDERR_FILENO,
                        fmt::format("tarrow-jail: skipping protect_path {} (canonical {} not under "
                                    "cwd {})\n",
                                    path, c, policy.cwd));
        return std::optional<std::string>();
    }
    const std::string d = jail_path(root.path, c);
    const std::string bind_label = fmt::format("protect bind {} -> {}", c, d);
    auto target = protect_mount_point(root.fd.get(), *source, beneath_path(c));
    if (!target) {
        if (target.error().err == ELOOP) return refuse_link(c, d);
        return std::unexpected(std::move(target.error()));
    }
    TJ_TRY_AS(bind_label, same_object(target->get(), source->st));
    UniqueFd tree = TJ_TRY_AS(bind_label, clone_tree_at(source->fd.get(), true));
    TJ_TRY_AS("protect remount-ro " + d,
              set_mount_attrs(tree.get(), MOUNT_ATTR_RDONLY | MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV,
                              true));
    TJ_TRY_AS(bind_label, attach_mount(tree.get(), target->get()));
    return std::optional<std::string>(c);
}

}  // namespace

Result<std::vector<std::string>> protect_paths_pass(const Policy& policy, const HostPaths& paths,
                                                    const JailRoot& root) {
    std::vector<std::string> protected_paths;
    for (const auto& path : policy.extra_protect_paths) {
        auto done = TJ_TRY(protect_one(policy, paths, root, path));
        if (done) protected_paths.push_back(std::move(*done));
    }
    return protected_paths;
}

}  // namespace tj
