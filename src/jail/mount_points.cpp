#include "jail/mount_points.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "path_util.hpp"

namespace tj {

std::string jail_path(std::string_view root, std::string_view path) {
    size_t skip = path.find_first_not_of('/');
    return path_join(root, skip == std::string_view::npos ? "" : path.substr(skip));
}

std::string parent_dir(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || slash == 0) return "/";
    path = path.substr(0, slash);
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return std::string(path);
}

Result<> make_dirs(const std::string& path) {
    // Try the whole path first: in the fresh root tmpfs the parent nearly always exists.
    if (::mkdir(path.c_str(), 0777) == 0) return {};
    int err = errno;
    if (err == EEXIST) {
        struct stat st;
        if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
        return fail_system(EEXIST);
    }
    if (err != ENOENT) return fail_system(err);
    std::string parent = parent_dir(path);
    if (parent == path) return fail_system(err);
    TJ_TRY(make_dirs(parent));
    if (::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return {};
    return fail_system();
}

Result<> make_mount_file(const std::string& path) {
    // O_NONBLOCK: an existing FIFO at the mount point must not stall the jail.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) return fail_system();
    ::close(fd);
    return {};
}

}  // namespace tj
