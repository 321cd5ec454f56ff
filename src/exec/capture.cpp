#include "exec/capture.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include <fmt/core.h>

#include "utf8.hpp"

namespace tj {
namespace {

constexpr size_t kHeadCapacity = kHeadLastOffset + kChunkReadSize;
constexpr size_t kWordBits = 64;

uint64_t low_bits(size_t n) {
    return n >= kWordBits ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
}

// The physical pieces of n ring bytes from pos: up to the end, then from the start.
struct RingPieces {
    size_t first_pos, first_size, second_size;
};
RingPieces ring_pieces(size_t pos, size_t n) {
    size_t first = std::min(n, static_cast<size_t>(kTailBudget) - pos);
    return {pos, first, n - first};
}

// Feeds the pieces it is given through UTF-8 repair into `out`.
class RepairSink final : public TextSink {
  public:
    explicit RepairSink(TextSink& out) : out_(out) {}
    void operator()(std::string_view piece) override { repair_.feed(piece, out_); }
    void finish() { repair_.finish(out_); }

  private:
    TextSink& out_;
    Utf8Repair repair_;
};

}  // namespace

void StreamMap::set(size_t pos, size_t n, int stream) {
    if (!bits_) {
        if (stream != kStderr || n == 0) return;
        size_t words = (size_ + kWordBits - 1) / kWordBits;
        bits_.reset(static_cast<uint64_t*>(std::calloc(words, sizeof(uint64_t))));
        if (!bits_) throw std::bad_alloc();
    }
    uint64_t* bits = bits_.get();
    for (size_t end = pos + n; pos < end;) {
        size_t offset = pos % kWordBits;
        size_t take = std::min(kWordBits - offset, end - pos);
        uint64_t mask = low_bits(take) << offset;
        uint64_t& word = bits[pos / kWordBits];
        word = stream == kStderr ? word | mask : word & ~mask;
        pos += take;
    }
}

uint64_t StreamMap::count_stderr(size_t pos, size_t n) const {
    if (!bits_) return 0;
    uint64_t count = 0;
    for (size_t end = pos + n; pos < end;) {
        size_t offset = pos % kWordBits;
        size_t take = std::min(kWordBits - offset, end - pos);
        count += std::popcount((bits_.get()[pos / kWordBits] >> offset) & low_bits(take));
        pos += take;
    }
    return count;
}

int StreamMap::stream_at(size_t pos) const {
    if (!bits_) return kStdout;
    return (bits_.get()[pos / kWordBits] >> (pos % kWordBits)) & 1 ? kStderr : kStdout;
}

size_t StreamMap::run_end(size_t pos, size_t end) const {
    if (!bits_) return end;
    const uint64_t same = stream_at(pos) == kStderr ? ~uint64_t{0} : 0;
    for (size_t i = pos; i < end;) {
        size_t offset = i % kWordBits;
        uint64_t differs = (bits_.get()[i / kWordBits] ^ same) >> offset;
        if (differs != 0) return std::min(end, i + static_cast<size_t>(std::countr_zero(differs)));
        i += kWordBits - offset;
    }
    return end;
}

OutputCapture::OutputCapture() : head_streams_(kHeadCapacity), tail_streams_(kTailBudget) {}

// Allocated on first use and never written here: a page is resident only
// once output reaches it.
char* OutputCapture::buffer(std::unique_ptr<char[]>& owned, size_t size) {
    if (!owned) owned.reset(new char[size]);
    return owned.get();
}

OutputCapture::Space OutputCapture::space() {
    if (head_bytes_ <= kHeadLastOffset) {
        char* head = buffer(head_, kHeadCapacity);
        return {{{head + head_bytes_, kChunkReadSize}, {}}, 1};
    }
    char* tail = buffer(tail_, kTailBudget);
    RingPieces at = ring_pieces((tail_begin_ + tail_size_) % kTailBudget, kChunkReadSize);
    Space space = {{{tail + at.first_pos, at.first_size}, {tail, at.second_size}}, 1};
    if (at.second_size != 0) space.count = 2;
    return space;
}

void OutputCapture::commit(int stream, size_t n) {
    if (head_bytes_ <= kHeadLastOffset) {
        head_streams_.set(head_bytes_, n, stream);
        head_bytes_ += n;
        return;
    }
    // The read has already overwritten the oldest bytes past the budget;
    // their stream bits still tell whose they were.
    size_t dropped = tail_size_ + n > kTailBudget ? tail_size_ + n - kTailBudget : 0;
    if (dropped != 0) {
        RingPieces old = ring_pieces(tail_begin_, dropped);
        uint64_t err = tail_streams_.count_stderr(old.first_pos, old.first_size) +
                       tail_streams_.count_stderr(0, old.second_size);
        omitted_stderr_ += err;
        omitted_stdout_ += dropped - err;
    }
    RingPieces at = ring_pieces((tail_begin_ + tail_size_) % kTailBudget, n);
    tail_streams_.set(at.first_pos, at.first_size, stream);
    tail_streams_.set(0, at.second_size, stream);
    tail_begin_ = (tail_begin_ + dropped) % kTailBudget;
    tail_size_ += n - dropped;
}

void OutputCapture::retain(int stream, std::string_view bytes) {
    bytes = bytes.substr(0, kChunkReadSize);
    Space room = space();
    size_t first = std::min(bytes.size(), room.pieces[0].iov_len);
    std::memcpy(room.pieces[0].iov_base, bytes.data(), first);
    if (bytes.size() > first)
        std::memcpy(room.pieces[1].iov_base, bytes.data() + first, bytes.size() - first);
    commit(stream, bytes.size());
}

void OutputCapture::clear_retained() {
    *this = OutputCapture();
}

void OutputCapture::for_each_piece(int which, bool tail, TextSink& out) const {
    const StreamMap& streams = tail ? tail_streams_ : head_streams_;
    const char* data = tail ? tail_.get() : head_.get();
    auto segment = [&](size_t pos, size_t end) {
        if (which == kBothStreams) {
            if (pos < end) out(std::string_view(data + pos, end - pos));
            return;
        }
        while (pos < end) {
            size_t run = streams.run_end(pos, end);
            if (streams.stream_at(pos) == which) out(std::string_view(data + pos, run - pos));
            pos = run;
        }
    };
    if (!tail) return segment(0, head_bytes_);
    RingPieces at = ring_pieces(tail_begin_, tail_size_);
    segment(at.first_pos, at.first_pos + at.first_size);
    segment(0, at.second_size);
}

void emit_output(const OutputCapture& capture, int which, TextSink& out) {
    RepairSink repaired(out);
    capture.for_each_piece(which, false, repaired);
    if (uint64_t omitted = capture.omitted(which); omitted != 0) {
        repaired(fmt::format(
            "\n[tarrow-jail] output over the retained cap; {} bytes omitted here\n", omitted));
    }
    capture.for_each_piece(which, true, repaired);
    repaired.finish();
}

std::string render_output(const OutputCapture& capture, int which) {
    StringSink text;
    emit_output(capture, which, text);
    return std::move(text.text);
}

}  // namespace tj
