// Typed decoding of a token stream: the schema walks the tokens in input order,
// so every error is found, and positioned, where the input departs from it.
// Messages follow one convention: "invalid type: {found}, expected {what}",
// "invalid value: ...", "unknown field `{}`, expected one of ...",
// "duplicate field `{}`", "missing field `{}`", "invalid length {}, expected {}".
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "json/token_reader.hpp"

namespace tj::json {

// Pulls tokens from a stream over the text; holds the token last taken and
// the one peeked at, nothing more.
class Cursor {
  public:
    explicit Cursor(std::string_view text) : text_(text), stream_(text) {}

    // The next token; past the last one, the reader's syntax error. The token
    // stays valid until the next call of next() (after peek(), peek() returns
    // the same token).
    Result<Token*> next();
    Result<const Token*> peek();
    // Fails with `text` positioned at the last token taken (or the override).
    std::unexpected<Error> error_here(std::string text) const;
    // Positions every later schema error at `pos` (for values read in a
    // second pass, whose errors stand at the end of the whole value).
    void pin_position(size_t pos) { pinned_ = pos; }
    // After the top-level value: only a syntax error may remain.
    Result<> finish();
    // Skips one whole value.
    Result<> skip_value();

  private:
    std::unexpected<Error> syntax_error() const;

    std::string_view text_;
    TokenStream stream_;
    std::optional<Token> current_, peeked_;
    std::optional<size_t> pinned_;
};

// "string \"x\"", "integer `5`", "floating point `1.5`", "boolean `true`",
// "null", "sequence", "map".
std::string describe(const Token& token);

Result<std::string> read_string(Cursor& c);
Result<std::vector<std::string>> read_string_list(Cursor& c);
Result<std::vector<std::pair<std::string, std::string>>> read_pair_list(Cursor& c);
Result<double> read_f64(Cursor& c);
// A number of seconds: any number but NaN (which an exponent like `0e400`
// can yield), refused as an invalid value.
Result<double> read_seconds(Cursor& c);
Result<uint64_t> read_u64(Cursor& c);
Result<int32_t> read_i32(Cursor& c);

// A field reader that stores what `read` decodes into `slot`.
template <typename T, typename R>
auto into(T& slot, R (*read)(Cursor&)) {
    return [&slot, read](Cursor& c) -> Result<> {
        slot = TJ_TRY(read(c));
        return {};
    };
}

// One field of a record: its key and how to decode its value into the record.
struct Field {
    std::string_view key;
    bool required;
    std::function<Result<>(Cursor&)> read;
};

struct RecordShape {
    std::string_view expecting;        // "struct Policy"
    std::string_view array_expecting;  // "struct Policy with 15 elements"
    std::span<const Field> fields;
    bool ignore_unknown = false;
    // The record's tag, read elsewhere. Read in an earlier pass, the member of
    // this key (object form) or the first element (array form) is skipped
    // unchecked; already taken from this cursor (tag_taken), another member of
    // its key is a duplicate.
    std::string_view tag;
    bool tag_taken = false;
};

// Reads an object (keys in any order, each once) or an array (fields in
// declaration order, trailing ones defaulted) whose first token is `first`.
Result<> read_record_body(Cursor& c, const Token& first, const RecordShape& shape);
// As above, taking the first token from the cursor.
Result<> read_record(Cursor& c, const RecordShape& shape);

// Decodes a whole text as one record; errors carry the position suffix.
Result<> decode_text(std::string_view text, const RecordShape& shape);

}  // namespace tj::json
