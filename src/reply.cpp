#include "reply.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include <boost/json/serializer.hpp>

#include "line_reader.hpp"

namespace tj {
namespace {

// A captured run's reply carries up to 8 MiB of output per stream, which JSON
// escapes can make six times longer; it is serialized and written in pieces of
// this size instead of being built whole (small replies are still one write).
constexpr size_t kPiece = 65536;

void emit(boost::json::serializer& serializer, TextSink& sink) {
    char buf[kPiece];
    while (!serializer.done()) sink(serializer.read(buf, sizeof buf));
}

// One member: a value, or a string produced while it is written.
struct Member {
    std::string_view key;
    const boost::json::value* value;
    const StreamedText* text;
};

// The members in ascending byte order of their keys.
std::vector<Member> by_key(std::span<const ReplyField> fields,
                           std::span<const StreamedText> texts = {}) {
    std::vector<Member> sorted;
    for (const auto& f : fields) sorted.push_back({f.first, &f.second, nullptr});
    for (const auto& t : texts) sorted.push_back({t.key, nullptr, &t});
    std::sort(sorted.begin(), sorted.end(),
              [](const Member& a, const Member& b) { return a.key < b.key; });
    return sorted;
}

// Writes text as the inside of a JSON string, escaped as the serializer
// escapes: the two-letter forms for \b \t \n \f \r " and \, \u00XX with
// lower-case digits for the other control characters, every other byte as it
// is. Escapes and short runs gather in a buffer, so that text made mostly of
// control characters costs no call per byte.
class JsonEscaper final : public TextSink {
  public:
    explicit JsonEscaper(TextSink& out) : out_(out) {}
    void operator()(std::string_view text) override {
        size_t run = 0;
        for (size_t i = 0; i < text.size(); ++i) {
            auto c = static_cast<unsigned char>(text[i]);
            if (c >= 0x20 && c != '"' && c != '\\') continue;
            put(text.substr(run, i - run));
            put(escape(c));
            run = i + 1;
        }
        put(text.substr(run));
    }
    void finish() {
        out_(std::string_view(buf_, size_));
        size_ = 0;
    }

  private:
    static constexpr size_t kBuffer = 4096;

    void put(std::string_view piece) {
        if (size_ + piece.size() > kBuffer) finish();
        if (piece.size() >= kBuffer) return out_(piece);
        std::memcpy(buf_ + size_, piece.data(), piece.size());
        size_ += piece.size();
    }

    static std::string_view escape(unsigned char c) {
        switch (c) {
            case '"':
                return "\\\"";
            case '\\':
                return "\\\\";
            case '\b':
                return "\\b";
            case '\t':
                return "\\t";
            case '\n':
                return "\\n";
            case '\f':
                return "\\f";
            case '\r':
                return "\\r";
            default:
                break;
        }
        static constexpr auto kUnicode = [] {
            std::array<std::array<char, 6>, 0x20> table{};
            constexpr char kHex[] = "0123456789abcdef";
            for (size_t i = 0; i < table.size(); ++i)
                table[i] = {'\\', 'u', '0', '0', kHex[i >> 4], kHex[i & 15]};
            return table;
        }();
        return std::string_view(kUnicode[c].data(), 6);
    }

    TextSink& out_;
    char buf_[kBuffer];
    size_t size_ = 0;
};

// Calls sink with consecutive pieces of the reply line.
void serialize_reply(std::span<const ReplyField> fields, std::span<const StreamedText> texts,
                     TextSink& sink) {
    std::vector<Member> sorted = by_key(fields, texts);
    boost::json::serializer serializer;
    sink("{");
    for (const Member& m : sorted) {
        if (&m != &sorted.front()) sink(",");
        serializer.reset(boost::json::string_view(m.key.data(), m.key.size()));
        emit(serializer, sink);
        sink(":");
        if (m.value != nullptr) {
            serializer.reset(m.value);
            emit(serializer, sink);
            continue;
        }
        sink("\"");
        JsonEscaper escaped(sink);
        m.text->produce(escaped);
        escaped.finish();
        sink("\"");
    }
    sink("}\n");
}

class PieceWriter final : public TextSink {
  public:
    explicit PieceWriter(int fd) : fd_(fd) { buf_.reserve(kPiece); }
    void operator()(std::string_view piece) override {
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
    for (const Member& m : by_key(std::span<const ReplyField>(fields.begin(), fields.size())))
        object.emplace(boost::json::string_view(m.key.data(), m.key.size()), *m.value);
    return object;
}

std::string reply_text(std::initializer_list<ReplyField> fields) {
    return reply_text(std::span<const ReplyField>(fields.begin(), fields.size()));
}

std::string reply_text(std::span<const ReplyField> fields) {
    return reply_text(fields, {});
}

std::string reply_text(std::span<const ReplyField> fields, std::span<const StreamedText> texts) {
    StringSink text;
    serialize_reply(fields, texts, text);
    return std::move(text.text);
}

Result<> write_reply(std::initializer_list<ReplyField> fields) {
    return write_reply(std::span<const ReplyField>(fields.begin(), fields.size()));
}

Result<> write_reply(std::span<const ReplyField> fields) {
    return write_reply(fields, {});
}

Result<> write_reply(std::span<const ReplyField> fields, std::span<const StreamedText> texts) {
    PieceWriter writer(STDOUT_FILENO);
    serialize_reply(fields, texts, writer);
    return writer.finish();
}

Result<> write_text(int fd, const std::function<void(TextSink&)>& produce) {
    PieceWriter writer(fd);
    produce(writer);
    return writer.finish();
}

}  // namespace tj
