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

}  // namespace

TokenList tokenize(std::string_view text) {
    TokenList list;
    boost::json::parse_options opt;
    opt.max_depth = 128;
    boost::json::basic_parser<Collector> parser(opt);
    Collector& h = parser.handler();
    h.input = text;
    h.out = &list.tokens;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = start;
        while (end < text.size() && !splits_after(text[end])) ++end;
        if (end < text.size()) ++end;
        h.chunk_end = end;
        error_code ec;
        bool more = end < text.size();
        size_t used = parser.write_some(more, text.data() + start, end - start, ec);
        if (ec) {
            list.error = syntax_message(ec);
            list.error_pos = start + used;
            return list;
        }
        if (parser.done()) {
            // Only white space may follow the value.
            size_t rest = text.find_first_not_of(" \t\n\r", start + used);
            if (rest != std::string_view::npos) {
                list.error = "trailing characters";
                list.error_pos = rest + 1;
            }
            return list;
        }
        if (!more) break;
        start = end;
    }
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
