// Jail-side paths resolved beneath the jail root without following any
// symbolic link. Mount points are reached through earlier binds (the writable
// working directory among them), where a command of an earlier jail, or a
// host process, may have left links; resolving such a path by its text would
// follow a link out to the host and create or mount there. Every object
// returned here is the object that was checked.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "error.hpp"
#include "unique_fd.hpp"

namespace tj {

// The jail root: its path on the host and the root tmpfs mounted there, held
// open so that every lookup and every mount of the assembly starts from it.
struct JailRoot {
    std::string path;
    UniqueFd fd;
};

// The path of `host_path` relative to the jail root ("." for "/").
std::string beneath_path(std::string_view host_path);

// An O_PATH descriptor of `rel` (relative to `root_fd`). A symbolic link in
// any component fails with ELOOP, a missing one with ENOENT (errno errors).
Result<UniqueFd> open_beneath(int root_fd, std::string_view rel);

// What stands at `rel` without following a final link: fails with ELOOP when
// an earlier component is a link, ENOENT when anything is missing.
Result<struct stat> lstat_beneath(int root_fd, std::string_view rel);

// Creates `rel` and its missing parents as directories (mode 0777 less the
// umask) and returns it. A link in any component fails with ELOOP.
Result<UniqueFd> make_dirs_beneath(int root_fd, std::string_view rel);

// Creates the parents of `rel`, then `rel` as an empty regular file if nothing
// is there (mode 0666 less the umask, never truncated), and returns it.
Result<UniqueFd> make_file_beneath(int root_fd, std::string_view rel);

// "/proc/self/fd/{fd}": the name under which the object behind `fd` is
// passed to calls that take a path.
std::string fd_path(int fd);

}  // namespace tj
