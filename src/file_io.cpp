#include "file_io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "unique_fd.hpp"

namespace tj {

Result<std::string> read_file(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return fail_system();
    std::string text;
    size_t used = 0;
    for (;;) {
        // procfs files report size 0, so grow by chunks instead of trusting fstat.
        if (text.size() - used < 4096) text.resize(used + 16384);
        ssize_t n = ::read(fd.get(), text.data() + used, text.size() - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail_system();
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    text.resize(used);
    return text;
}

Result<> write_file(const std::string& path, std::string_view text) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd) return fail_system();
    // A short write to a control file is a failure: the kernel takes each
    // write as one whole request.
    ssize_t n = ::write(fd.get(), text.data(), text.size());
    if (n < 0) return fail_system();
    if (static_cast<size_t>(n) != text.size()) return fail_system(EIO);
    return {};
}

}  // namespace tj
