// Output capture of one run: the first and last few MiB of both streams, in
// two fixed buffers that reads fill in place, and the reply text made from
// them on the way out.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "text_sink.hpp"

namespace tj {

inline constexpr size_t kChunkReadSize = 65536;
// A read joins head while head holds at most this many bytes before it.
inline constexpr uint64_t kHeadLastOffset = 4194303;
// tail keeps the last this many bytes that came after head.
inline constexpr uint64_t kTailBudget = 4194304;

enum Stream : int { kStdout = 0, kStderr = 1, kBothStreams = 2 };

// Which stream each byte of a buffer came from, one bit per byte (set for
// standard error). The bits are allocated zeroed on the first standard error
// byte, so a run that writes one stream only never touches them.
class StreamMap {
  public:
    explicit StreamMap(size_t size) : size_(size) {}
    void set(size_t pos, size_t n, int stream);
    // How many of the n bytes from pos came from standard error.
    uint64_t count_stderr(size_t pos, size_t n) const;
    int stream_at(size_t pos) const;
    // The end of the run of one stream's bytes that starts at pos, at most `end`.
    size_t run_end(size_t pos, size_t end) const;

  private:
    struct Free {
        void operator()(uint64_t* p) const { std::free(p); }
    };
    size_t size_;
    std::unique_ptr<uint64_t, Free> bits_;
};

class OutputCapture {
  public:
    OutputCapture();

    // Where the next read of at most kChunkReadSize bytes goes: head while it
    // has not passed its last offset, else the tail ring (two pieces where it
    // wraps). Bytes the read overwrites in the ring are the oldest ones.
    struct Space {
        iovec pieces[2];
        int count;
    };
    Space space();
    // Files the n bytes just read into space() as `stream`'s, dropping the
    // oldest tail bytes past the budget.
    void commit(int stream, size_t n);
    // A read of `bytes` (at most kChunkReadSize), copied in.
    void retain(int stream, std::string_view bytes);
    // Forgets every retained byte and count (their text went to the log file).
    void clear_retained();

    uint64_t head_bytes() const { return head_bytes_; }
    uint64_t tail_bytes() const { return tail_size_; }
    uint64_t omitted(int stream) const {
        return (stream != kStderr ? omitted_stdout_ : 0) +
               (stream != kStdout ? omitted_stderr_ : 0);
    }

    // Passes the bytes of `which` (kStdout, kStderr, or kBothStreams in
    // arrival order) to `out` as they lie: head, then tail in order.
    void for_each_piece(int which, bool tail, TextSink& out) const;

  private:
    char* buffer(std::unique_ptr<char[]>& owned, size_t size);

    std::unique_ptr<char[]> head_;
    std::unique_ptr<char[]> tail_;
    StreamMap head_streams_;
    StreamMap tail_streams_;
    uint64_t head_bytes_ = 0;
    size_t tail_begin_ = 0;
    size_t tail_size_ = 0;
    uint64_t omitted_stdout_ = 0;
    uint64_t omitted_stderr_ = 0;
};

// Stream `which`: head, the omission marker when tail bytes were dropped,
// tail; invalid UTF-8 replaced by U+FFFD, a sequence split anywhere on the
// way kept whole. Written to `out` in pieces.
void emit_output(const OutputCapture& capture, int which, TextSink& out);
std::string render_output(const OutputCapture& capture, int which);

}  // namespace tj
