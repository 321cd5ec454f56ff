#include "json/schema.hpp"

#include <cmath>
#include <limits>

#include <fmt/core.h>

namespace tj::json {

Result<Token*> Cursor::next() {
    if (peeked_) {
        current_ = std::move(peeked_);
        peeked_.reset();
    } else {
        current_ = stream_.pull();
    }
    if (!current_) return syntax_error();
    return &*current_;
}

Result<const Token*> Cursor::peek() {
    if (!peeked_) peeked_ = stream_.pull();
    if (!peeked_) return syntax_error();
    return &*peeked_;
}

std::unexpected<Error> Cursor::syntax_error() const {
    return fail(stream_.error() + position_suffix(text_, stream_.error_pos()));
}

std::unexpected<Error> Cursor::error_here(std::string text) const {
    size_t pos = 0;
    if (pinned_) {
        pos = *pinned_;
    } else if (current_) {
        pos = current_->pos;
    }
    return fail(std::move(text) + position_suffix(text_, pos));
}

Result<> Cursor::finish() {
    while (stream_.pull()) {
    }
    if (stream_.error().empty()) return {};
    return syntax_error();
}

Result<> Cursor::skip_value() {
    int depth = 0;
    do {
        const Token* t = TJ_TRY(next());
        if (t->kind == TokenKind::ObjectBegin || t->kind == TokenKind::ArrayBegin) ++depth;
        if (t->kind == TokenKind::ObjectEnd || t->kind == TokenKind::ArrayEnd) --depth;
    } while (depth > 0);
    return {};
}

namespace {

std::string debug_quote(std::string_view s) {
    std::string out = "\"";
    for (unsigned char ch : s) {
        switch (ch) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (ch < 0x20 || ch == 0x7f) {
                    out += fmt::format("\\u{{{:x}}}", ch);
                } else {
                    out += static_cast<char>(ch);
                }
        }
    }
    return out + "\"";
}

std::string float_text(double v) {
    if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 1e16)
        return fmt::format("{:.1f}", v);
    return fmt::format("{}", v);
}

std::unexpected<Error> invalid_type(const Cursor& c, const Token& t, std::string_view expected) {
    return c.error_here(fmt::format("invalid type: {}, expected {}", describe(t), expected));
}

std::unexpected<Error> invalid_value(const Cursor& c, const Token& t, std::string_view expected) {
    return c.error_here(fmt::format("invalid value: {}, expected {}", describe(t), expected));
}

bool is_end(const Token& t) {
    return t.kind == TokenKind::ArrayEnd;
}

// Reads a sequence, calling `element` for each element until its end.
template <typename F>
Result<> read_sequence(Cursor& c, F&& element) {
    const Token* open = TJ_TRY(c.next());
    if (open->kind != TokenKind::ArrayBegin) return invalid_type(c, *open, "a sequence");
    for (;;) {
        const Token* t = TJ_TRY(c.peek());
        if (is_end(*t)) {
            TJ_TRY(c.next());
            return {};
        }
        TJ_TRY(element());
    }
}

std::string expected_keys(std::span<const Field> fields) {
    if (fields.empty()) return "there are no fields";
    if (fields.size() == 1) return fmt::format("`{}`", fields[0].key);
    if (fields.size() == 2) return fmt::format("`{}` or `{}`", fields[0].key, fields[1].key);
    std::string out = "one of ";
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) out += ", ";
        out += fmt::format("`{}`", fields[i].key);
    }
    return out;
}

Result<> read_object_fields(Cursor& c, const RecordShape& shape) {
    std::vector<bool> seen(shape.fields.size(), false);
    for (;;) {
        const Token* t = TJ_TRY(c.next());
        if (t->kind == TokenKind::ObjectEnd) break;
        if (!shape.tag.empty() && t->text == shape.tag) {
            if (shape.tag_taken) return c.error_here(fmt::format("duplicate field `{}`", t->text));
            TJ_TRY(c.skip_value());
            continue;
        }
        size_t i = 0;
        while (i < shape.fields.size() && shape.fields[i].key != t->text) ++i;
        if (i == shape.fields.size()) {
            if (!shape.ignore_unknown)
                return c.error_here(fmt::format("unknown field `{}`, expected {}", t->text,
                                                expected_keys(shape.fields)));
            TJ_TRY(c.skip_value());
            continue;
        }
        if (seen[i]) return c.error_here(fmt::format("duplicate field `{}`", t->text));
        seen[i] = true;
        TJ_TRY(shape.fields[i].read(c));
    }
    for (size_t i = 0; i < shape.fields.size(); ++i)
        if (shape.fields[i].required && !seen[i])
            return c.error_here(fmt::format("missing field `{}`", shape.fields[i].key));
    return {};
}

Result<> read_array_fields(Cursor& c, const RecordShape& shape) {
    if (!shape.tag.empty() && !shape.tag_taken) TJ_TRY(c.skip_value());
    for (size_t i = 0; i < shape.fields.size(); ++i) {
        const Token* t = TJ_TRY(c.peek());
        if (is_end(*t)) {
            TJ_TRY(c.next());
            for (size_t j = i; j < shape.fields.size(); ++j)
                if (shape.fields[j].required)
                    return c.error_here(
                        fmt::format("invalid length {}, expected {}", i, shape.array_expecting));
            return {};
        }
        TJ_TRY(shape.fields[i].read(c));
    }
    const Token* t = TJ_TRY(c.next());
    if (!is_end(*t)) return c.error_here("trailing characters");
    return {};
}

}  // namespace

std::string describe(const Token& t) {
    switch (t.kind) {
        case TokenKind::ObjectBegin:
            return "map";
        case TokenKind::ArrayBegin:
            return "sequence";
        case TokenKind::String:
        case TokenKind::Key:
            return "string " + debug_quote(t.text);
        case TokenKind::Int64:
            return fmt::format("integer `{}`", t.i64);
        case TokenKind::Uint64:
            return fmt::format("integer `{}`", t.u64);
        case TokenKind::Double:
            return fmt::format("floating point `{}`", float_text(t.dbl));
        case TokenKind::Bool:
            return fmt::format("boolean `{}`", t.boolean);
        case TokenKind::Null:
            return "null";
        default:
            return "end of container";
    }
}

Result<std::string> read_string(Cursor& c) {
    Token* t = TJ_TRY(c.next());
    if (t->kind != TokenKind::String) return invalid_type(c, *t, "a string");
    return std::move(t->text);
}

Result<std::vector<std::string>> read_string_list(Cursor& c) {
    std::vector<std::string> out;
    TJ_TRY(read_sequence(c, [&]() -> Result<> {
        out.push_back(TJ_TRY(read_string(c)));
        return {};
    }));
    return out;
}

Result<std::vector<std::pair<std::string, std::string>>> read_pair_list(Cursor& c) {
    std::vector<std::pair<std::string, std::string>> out;
    TJ_TRY(read_sequence(c, [&]() -> Result<> {
        const Token* open = TJ_TRY(c.next());
        if (open->kind != TokenKind::ArrayBegin) return invalid_type(c, *open, "a tuple of size 2");
        std::string parts[2];
        size_t n = 0;
        for (;; ++n) {
            const Token* t = TJ_TRY(c.peek());
            if (is_end(*t)) break;
            if (n < 2) {
                parts[n] = TJ_TRY(read_string(c));
            } else {
                TJ_TRY(c.skip_value());
            }
        }
        TJ_TRY(c.next());
        if (n != 2)
            return c.error_here(fmt::format("invalid length {}, expected a tuple of size 2", n));
        out.emplace_back(std::move(parts[0]), std::move(parts[1]));
        return {};
    }));
    return out;
}

Result<double> read_f64(Cursor& c) {
    const Token* t = TJ_TRY(c.next());
    switch (t->kind) {
        case TokenKind::Int64:
            return static_cast<double>(t->i64);
        case TokenKind::Uint64:
            return static_cast<double>(t->u64);
        case TokenKind::Double:
            return t->dbl;
        default:
            return invalid_type(c, *t, "f64");
    }
}

Result<double> read_seconds(Cursor& c) {
    double v = TJ_TRY(read_f64(c));
    if (std::isnan(v))
        return c.error_here("invalid value: floating point `NaN`, expected a number of seconds");
    return v;
}

Result<uint64_t> read_u64(Cursor& c) {
    const Token* t = TJ_TRY(c.next());
    switch (t->kind) {
        case TokenKind::Uint64:
            return t->u64;
        case TokenKind::Int64:
            if (t->i64 < 0) return invalid_value(c, *t, "u64");
            return static_cast<uint64_t>(t->i64);
        default:
            return invalid_type(c, *t, "u64");
    }
}

Result<int32_t> read_i32(Cursor& c) {
    const Token* t = TJ_TRY(c.next());
    switch (t->kind) {
        case TokenKind::Int64:
            if (t->i64 < std::numeric_limits<int32_t>::min() ||
                t->i64 > std::numeric_limits<int32_t>::max())
                return invalid_value(c, *t, "i32");
            return static_cast<int32_t>(t->i64);
        case TokenKind::Uint64:
            return invalid_value(c, *t, "i32");
        default:
            return invalid_type(c, *t, "i32");
    }
}

Result<> read_record_body(Cursor& c, const Token& first, const RecordShape& shape) {
    if (first.kind == TokenKind::ObjectBegin) return read_object_fields(c, shape);
    if (first.kind == TokenKind::ArrayBegin) return read_array_fields(c, shape);
    return invalid_type(c, first, shape.expecting);
}

Result<> read_record(Cursor& c, const RecordShape& shape) {
    const Token* first = TJ_TRY(c.next());
    return read_record_body(c, *first, shape);
}

Result<> decode_text(std::string_view text, const RecordShape& shape) {
    Cursor c(text);
    TJ_TRY(read_record(c, shape));
    return c.finish();
}

}  // namespace tj::json
