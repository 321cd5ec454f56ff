#include "reply.hpp"

#include <unistd.h>

#include <algorithm>
#include <vector>

#include <boost/json/serializer.hpp>

#include "line_reader.hpp"

namespace tj {
namespace {

// A captured run's reply carries up to 8 MiB of output per stream, which JSON
// escapes can make six times longer; it is serialized and written in pieces of
// this size instead of being built whole (small replies are still one write).
constexpr size_t kPiece = 65536;

template <typename Sink>
void emit(boost::json::serializer& serializer, Sink& sink) {
    char buf[kPiece];
    while (!serializer.done()) sink(serializer.read(buf, sizeof buf));
}

// The fields in ascending byte order of their keys.
std::vector<const ReplyField*> by_key(std::span<const ReplyField> fields) {
    std::vector<const ReplyField*> sorted;
    for (const auto& f : fields) sorted.push_back(&f);
    std::sort(sorted.begin(), sorted.end(),
              [](const ReplyField* a, const ReplyField* b) { return a->first < b->first; });
    return sorted;
}

// Calls sink(std::string_view) with consecutive pieces of the reply line.
template <typename Sink>
void serialize_reply(std::span<const ReplyField> fields, Sink& sink) {
    std::vector<const ReplyField*> sorted = by_key(fields);
    boost::json::serializer serializer;
    sink("{");
    for (const auto* f : sorted) {
        if (f != sorted.front()) sink(",");
        serializer.reset(boost::json::string_view(f->first.data(), f->first.size()));
        emit(serializer, sink);
        sink(":");
        serializer.reset(&f->second);
        emit(serializer, sink);
    }
    sink("}\n");
}

class PieceWriter {
  public:
    explicit PieceWriter(int fd) : fd_(fd) { buf_.reserve(kPiece); }
    void operator()(std::string_view piece) {
        if (buf_.size() + piece.size() > kPiece) flush();
        if (piece.size() >= kPiece) {
            write(piece);
        } else {
            buf_ += piece;
        }
    }
    Result<> finish() {
        flush();
        return std::move(result_);
    }

  private:
    void flush() {
        write(buf_);
        buf_.clear();
    }
    void write(std::string_view data) {
        if (result_ && !data.empty()) result_ = write_all(fd_, data);
    }

    int fd_;
    std::string buf_;
    Result<> result_;
};

}  // namespace

boost::json::object sorted_object(std::initializer_list<ReplyField> fields) {
    boost::json::object object;
    for (const auto* f : by_key(std::span<const ReplyField>(fields.begin(), fields.size())))
        object.emplace(boost::json::string_view(f->first.data(), f->first.size()), f->second);
    return object;
}

std::string reply_text(std::initializer_list<ReplyField> fields) {
    return reply_text(std::span<const ReplyField>(fields.begin(), fields.size()));
}

std::string reply_text(std::span<const ReplyField> fields) {
    std::string text;
    auto append = [&](std::string_view piece) { text += piece; };
    serialize_reply(fields, append);
    return text;
}

Result<> write_reply(std::initializer_list<ReplyField> fields) {
    return write_reply(std::span<const ReplyField>(fields.begin(), fields.size()));
}

Result<> write_reply(std::span<const ReplyField> fields) {
    PieceWriter writer(STDOUT_FILENO);
    serialize_reply(fields, writer);
    return writer.finish();
}

}  // namespace tj
