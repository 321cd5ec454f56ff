// Mount points inside the jail root: where a host path appears, and the empty
// directories and files that mounts are made on.
#pragma once

#include <string>
#include <string_view>

#include "error.hpp"

namespace tj {

// The jail-side path of host path `path`: `root` joined with `path` after its
// leading "/" characters (a relative path is joined unchanged; "/" gives `root`).
std::string jail_path(std::string_view root, std::string_view path);

// The directory part of `path` ("/" when it has none).
std::string parent_dir(std::string_view path);

// Creates `path` and its missing parents (mode 0777 less the umask); an
// existing directory, or a link to one, is fine. Errors: system error text.
Result<> make_dirs(const std::string& path);

// An empty regular file to bind a single file on: created if missing (mode 0666
// less the umask), never truncated. Errors: system error text.
Result<> make_mount_file(const std::string& path);

}  // namespace tj
