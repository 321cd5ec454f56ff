#include "line_reader.hpp"

#include <unistd.h>

namespace tj {

Result<std::optional<std::string>> LineReader::read_line() {
    for (;;) {
        size_t nl = buf_.find('\n', pos_);
        if (nl != std::string::npos || (eof_ && pos_ < buf_.size())) {
            size_t end = nl == std::string::npos ? buf_.size() : nl + 1;
            std::string line = buf_.substr(pos_, end - pos_);
            pos_ = end;
            return line;
        }
        if (eof_) return std::nullopt;
        if (pos_ > 0) {
            buf_.erase(0, pos_);
            pos_ = 0;
        }
        size_t old = buf_.size();
        buf_.resize(old + kChunk);
        ssize_t n = ::read(fd_, buf_.data() + old, kChunk);
        int err = errno;
        buf_.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
        if (n == 0) eof_ = true;
        if (n < 0 && err != EINTR) return fail_system(err);
    }
}

LineReader& stdin_reader() {
    static LineReader reader(STDIN_FILENO);
    return reader;
}

Result<> write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail_system();
        data.remove_prefix(static_cast<size_t>(n));
    }
    return {};
}

}  // namespace tj
