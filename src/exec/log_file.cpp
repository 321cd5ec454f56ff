#include "exec/log_file.hpp"

#include <fcntl.h>

#include <fmt/core.h>

namespace tj {
namespace {

// Names tried before giving up; each taken name costs one failed openat.
constexpr int kMaxSuffix = 10000;

std::string log_name(pid_t pid, int n) {
    if (n == 0) return fmt::format("converted-{}.log", pid);
    return fmt::format("converted-{}-{}.log", pid, n);
}

}  // namespace

Result<LogFile> create_log_file(const std::string& log_dir, pid_t pid) {
    UniqueFd dir(::open(log_dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return fail_system();
    for (int n = 0; n <= kMaxSuffix; ++n) {
        std::string name = log_name(pid, n);
        int fd = ::openat(dir.get(), name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) return LogFile{UniqueFd(fd), fmt::format("{}/{}", log_dir, name)};
        if (errno != EEXIST) return fail_system();
    }
    return fail_system(EEXIST);
}

}  // namespace tj
