#include "json/token_reader.hpp"

#include <algorithm>

#include <fmt/core.h>
#include <boost/json/basic_parser_impl.hpp>

namespace tj::json {
namespace {

using boost::json::error_code;
using boost::json::string_view;

// Receives Boost.JSON's parse events. The input is fed in chunks that end
// right after each structural, quotation or white-space character, so a token
// always completes within the chunk it ends in, and its position follows from
// the chunk's end.
struct Collector {
    static constexpr std::size_t max_object_size = std::size_t(-1);
    static constexpr std::size_t max_array_size = std::size_t(-1);
    static constexpr std::size_t max_key_size = std::size_t(-1);
    static constexpr std::size_t max_string_size = std::size_t(-1);

    std::string_view input;
    size_t chunk_end = 0;
    std::vector<Token>* out = nullptr;
    std::string pending;

    bool delimiter_ends_chunk() const {
        char c = input[chunk_end - 1];
        return c == ',' || c == ']' || c == '}' || c == ' ' || c == '\t' || c == '\n' ||
               c == '\r' || c == ':';
    }
    // Numbers and literals end before a delimiter that closed the chunk.
    size_t scalar_end() const {
        return chunk_end > 0 && delimiter_ends_chunk() ? chunk_end - 1 : chunk_end;
    }
    bool push(TokenKind kind, size_t pos) {
        out->push_back(Token{kind, pos, {}});
        return true;
    }
    Token& push_scalar(TokenKind kind) {
        out->push_back(Token{kind, scalar_end(), {}});
        return out->back();
    }

    bool on_document_begin(error_code&) { return true; }
    bool on_document_end(error_code&) { return true; }
    bool on_object_begin(error_code&) { return push(TokenKind::ObjectBegin, chunk_end - 1); }
    bool on_object_end(std::size_t, error_code&) { return push(TokenKind::ObjectEnd, chunk_end); }
    bool on_array_begin(error_code&) { return push(TokenKind::ArrayBegin, chunk_end - 1); }
    bool on_array_end(std::size_t, error_code&) { return push(TokenKind::ArrayEnd, chunk_end); }
    bool on_key_part(string_view s, std::size_t, error_code&) {
        pending.append(s.data(), s.size());
        return true;
    }
    bool on_key(string_view s, std::size_t, error_code&) { return text(TokenKind::Key, s); }
    bool on_string_part(string_view s, std::size_t n, error_code& ec) {
        return on_key_part(s, n, ec);
    }
    bool on_string(string_view s, std::size_t, error_code&) { return text(TokenKind::String, s); }
    bool on_number_part(string_view, error_code&) { return true; }
    bool on_int64(std::int64_t v, string_view, error_code&) {
        push_scalar(TokenKind::Int64).i64 = v;
        return true;
    }
    bool on_uint64(std::uint64_t v, string_view, error_code&) {
        push_scalar(TokenKind::Uint64).u64 = v;
        return true;
    }
    bool on_double(double v, string_view, error_code&) {
        push_scalar(TokenKind::Double).dbl = v;
        return true;
    }
    bool on_bool(bool v, error_code&) {
        push_scalar(TokenKind::Bool).boolean = v;
        return true;
    }
    bool on_null(error_code&) {
        push_scalar(TokenKind::Null);
        return true;
    }
    bool on_comment_part(string_view, error_code&) { return true; }
    bool on_comment(string_view, error_code&) { return true; }

    bool text(TokenKind kind, string_view last) {
        pending.append(last.data(), last.size());
        out->push_back(Token{kind, chunk_end, std::move(pending)});
        pending.clear();
        return true;
    }
};

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool splits_after(char c) {
    switch (c) {
        case '{':
        case '}':
        case '[':
        case ']':
        case ':':
        case ',':
        case '"':
        case ' ':
        case '\t':
        case '\n':
        case '\r':
            return true;
        default:
            return false;
    }
}

std::string syntax_message(const error_code& ec) {
    namespace e = boost::json;
    if (ec == e::error::extra_data) return "trailing characters";
    if (ec == e::error::incomplete) return "EOF while parsing a value";
    if (ec == e::error::too_deep) return "recursion limit exceeded";
    if (ec == e::error::exponent_overflow) return "number out of range";
    if (ec == e::error::illegal_leading_surrogate || ec == e::error::illegal_trailing_surrogate)
        return "lone surrogate in hex escape";
    if (ec == e::error::expected_hex_digit || ec == e::error::expected_utf16_escape)
        return "invalid escape";
    if (ec == e::error::syntax) return "syntax error";
    return ec.message();
}

// A chunk ends right after a structural, quotation or blank character; a run
// of blanks is one chunk of its own (it never completes a token: the blank
// that ends a number or literal belongs to the chunk before).
size_t chunk_end(std::string_view text, size_t start) {
    size_t end = start;
    if (end < text.size() && is_blank(text[end])) {
        while (end < text.size() && is_blank(text[end])) ++end;
        return end;
    }
    while (end < text.size() && !splits_after(text[end])) ++end;
    return end < text.size() ? end + 1 : end;
}

}  // namespace

struct TokenStream::Reader {
    explicit Reader(const boost::json::parse_options& opt) : parser(opt) {}
    boost::json::basic_parser<Collector> parser;
    std::vector<Token> queue;  // a chunk completes a few tokens at most
    size_t next = 0;           // the first token of queue not yet pulled
    std::string_view text;
    size_t start = 0;
    bool stopped = false;
};

TokenStream::TokenStream(std::string_view text) {
    boost::json::parse_options opt;
    opt.max_depth = 128;
    reader_ = std::make_unique<Reader>(opt);
    reader_->text = text;
    Collector& h = reader_->parser.handler();
    h.input = text;
    h.out = &reader_->queue;
}

TokenStream::~TokenStream() = default;

// Feeds the next chunk to the parser, which queues the tokens it completes.
void TokenStream::feed() {
    Reader& r = *reader_;
    std::string_view text = r.text;
    size_t end = chunk_end(text, r.start);
    r.parser.handler().chunk_end = end;
    error_code ec;
    bool more = end < text.size();
    size_t used = r.parser.write_some(more, text.data() + r.start, end - r.start, ec);
    if (ec) {
        error_ = syntax_message(ec);
        error_pos_ = r.start + used;
        r.stopped = true;
    } else if (r.parser.done()) {
        // Only white space may follow the value.
        size_t rest = text.find_first_not_of(" \t\n\r", r.start + used);
        if (rest != std::string_view::npos) {
            error_ = "trailing characters";
            error_pos_ = rest + 1;
        }
        r.stopped = true;
    } else if (!more) {
        r.stopped = true;
    }
    r.start = end;
}

std::optional<Token> TokenStream::pull() {
    Reader& r = *reader_;
    if (r.next == r.queue.size()) {
        r.queue.clear();
        r.next = 0;
        while (r.queue.empty() && !r.stopped) feed();
        if (r.queue.empty()) return std::nullopt;
    }
    return std::move(r.queue[r.next++]);
}

TokenList tokenize(std::string_view text) {
    TokenList list;
    TokenStream stream(text);
    while (std::optional<Token> t = stream.pull()) list.tokens.push_back(std::move(*t));
    list.error = stream.error();
    list.error_pos = stream.error_pos();
    return list;
}

std::string position_suffix(std::string_view text, size_t consumed) {
    if (consumed > text.size()) consumed = text.size();
    size_t line = 1, line_start = 0;
    for (size_t i = 0; i < consumed; ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    // Columns count from 1, also for a position before a line's first byte.
    return fmt::format(" at line {} column {}", line, std::max<size_t>(consumed - line_start, 1));
}

}  // namespace tj::json
