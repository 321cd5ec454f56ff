// Buffered line reading from a descriptor. Standard input has one reader for
// the whole process: the policy line and the serve loop's request lines come
// from the same buffer, so nothing read ahead is ever lost.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "error.hpp"

namespace tj {

// The longest line handed out, its newline not counted: no honest policy or
// request comes near it, and it bounds what one line can make the process hold.
inline constexpr size_t kMaxLineBytes = size_t{64} << 20;

class LineReader {
  public:
    explicit LineReader(int fd) : fd_(fd) {}

    // The next line with its newline (without one at end of input), or
    // nullopt at end of input. EINTR is retried; other read errors fail, and
    // so does a line longer than kMaxLineBytes. Each byte is searched for the
    // newline once, so a line costs time linear in its length.
    Result<std::optional<std::string>> read_line();

    // Bytes read from the descriptor but not yet handed out.
    std::string_view buffered() const { return std::string_view(buf_).substr(pos_); }
    void drop_buffered() {
        buf_.clear();
        pos_ = 0;
        scanned_ = 0;
    }
    int fd() const { return fd_; }

  private:
    static constexpr size_t kChunk = 8192;
    std::string take(size_t end);
    Result<> fill();

    int fd_;
    std::string buf_;
    size_t pos_ = 0;      // start of the next line in buf_
    size_t scanned_ = 0;  // buf_ before this holds no newline after pos_
    bool eof_ = false;
};

LineReader& stdin_reader();

// Writes all of `data`, retrying on EINTR and short writes.
Result<> write_all(int fd, std::string_view data);

}  // namespace tj
