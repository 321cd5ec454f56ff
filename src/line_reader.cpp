#include "line_reader.hpp"

#include <unistd.h>

#include <algorithm>

#include <fmt/core.h>

namespace tj {

// Lines this long leave the buffer whole instead of being copied out of it.
constexpr size_t kMoveOutBytes = 1 << 16;

std::string LineReader::take(size_t end) {
    std::string line;
    if (end - pos_ < kMoveOutBytes) {
        line = buf_.substr(pos_, end - pos_);
        pos_ = end;
    } else {
        std::string rest = buf_.substr(end);
        buf_.resize(end);
        buf_.erase(0, pos_);
        line = std::move(buf_);
        buf_ = std::move(rest);
        pos_ = 0;
    }
    scanned_ = pos_;
    return line;
}

// Appends what one read yields, into the buffer's spare room when it has
// more than a chunk (the room is not cleared first, so growing stays linear).
Result<> LineReader::fill() {
    if (pos_ > 0) {
        buf_.erase(0, pos_);
        scanned_ -= pos_;
        pos_ = 0;
    }
    const size_t old = buf_.size();
    // Past the limit nothing more is needed to refuse the line.
    const size_t room = std::max(kChunk, std::min(buf_.capacity() - old, kMaxLineBytes - old));
    ssize_t n = 0;
    int err = 0;
    buf_.resize_and_overwrite(old + room, [&](char* data, size_t) {
        n = ::read(fd_, data + old, room);
        err = errno;
        return old + (n > 0 ? static_cast<size_t>(n) : 0);
    });
    if (n == 0) eof_ = true;
    if (n < 0 && err != EINTR) return fail_system(err);
    return {};
}

Result<std::optional<std::string>> LineReader::read_line() {
    for (;;) {
        size_t nl = buf_.find('\n', std::max(scanned_, pos_));
        scanned_ = nl == std::string::npos ? buf_.size() : nl;
        size_t length = (nl == std::string::npos ? buf_.size() : nl) - pos_;
        if (length > kMaxLineBytes)
            return fail(fmt::format("line longer than {} bytes", kMaxLineBytes));
        if (nl != std::string::npos) return take(nl + 1);
        if (eof_) {
            if (pos_ < buf_.size()) return take(buf_.size());
            return std::nullopt;
        }
        TJ_TRY(fill());
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
