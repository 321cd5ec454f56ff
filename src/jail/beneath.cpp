#include "jail/beneath.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <unistd.h>

#include "path_util.hpp"

namespace tj {
namespace {

constexpr uint64_t kResolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;

// openat2 is the one call that refuses links in every component at once.
int openat2_beneath(int dirfd, const std::string& rel, int flags) {
    auto fd = open_resolved(dirfd, rel, flags, kResolve);
    if (!fd) {
        errno = fd.error().err;
        return -1;
    }
    return fd->release();
}

std::pair<std::string, std::string> split_last(std::string_view rel) {
    auto parts = path_components(rel);
    if (parts.empty()) return {".", "."};
    std::string parent = ".";
    for (size_t i = 0; i + 1 < parts.size(); ++i) parent = path_join(parent, parts[i]);
    return {parent, std::string(parts.back())};
}

}  // namespace

std::string beneath_path(std::string_view host_path) {
    std::string rel = ".";
    for (auto part : path_components(host_path))
        if (part != "/") rel = path_join(rel, part);
    return rel;
}

Result<UniqueFd> open_beneath(int root_fd, std::string_view rel) {
    UniqueFd fd(openat2_beneath(root_fd, std::string(rel), O_PATH));
    if (!fd) return fail_errno();
    return fd;
}

Result<struct stat> lstat_beneath(int root_fd, std::string_view rel) {
    auto [parent, name] = split_last(rel);
    UniqueFd dir = TJ_TRY(open_beneath(root_fd, parent));
    struct stat st;
    if (fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return fail_errno();
    return st;
}

Result<UniqueFd> make_dirs_beneath(int root_fd, std::string_view rel) {
    UniqueFd dir(fcntl(root_fd, F_DUPFD_CLOEXEC, 3));
    if (!dir) return fail_system();
    for (auto part : path_components(rel)) {
        std::string name(part);
        if (name == "/" || name == ".") continue;
        if (mkdirat(dir.get(), name.c_str(), 0777) != 0 && errno != EEXIST) return fail_system();
        UniqueFd next(openat2_beneath(dir.get(), name, O_PATH | O_DIRECTORY));
        if (!next) return fail_system();
        dir = std::move(next);
    }
    return dir;
}

Result<UniqueFd> make_file_beneath(int root_fd, std::string_view rel) {
    auto [parent, name] = split_last(rel);
    UniqueFd dir = TJ_TRY(make_dirs_beneath(root_fd, parent));
    // O_EXCL: whatever already stands there (a device, a link) is never opened.
    UniqueFd made(openat(dir.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!made && errno != EEXIST) return fail_system();
    UniqueFd fd(openat2_beneath(dir.get(), name, O_PATH));
    if (!fd) return fail_system();
    return fd;
}

std::string fd_path(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace tj
