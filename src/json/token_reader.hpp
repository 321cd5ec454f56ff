// Reads one JSON text as a sequence of tokens, each with the position at which
// the reader had consumed it, so that a schema can report its errors where
// they occur: a string or key up to its closing quotation mark, a number or
// literal up to its last character, a container's end up to its bracket, a
// container's start up to the character before its bracket.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tj::json {

enum class TokenKind {
    ObjectBegin,
    ObjectEnd,
    ArrayBegin,
    ArrayEnd,
    Key,
    String,
    Int64,
    Uint64,
    Double,
    Bool,
    Null,
};

struct Token {
    TokenKind kind;
    size_t pos;        // bytes consumed when the token was complete
    std::string text;  // Key, String
    int64_t i64 = 0;
    uint64_t u64 = 0;
    double dbl = 0;
    bool boolean = false;
};

// The tokens of one JSON text, read on demand: only the tokens not yet pulled
// from the current chunk are held, so reading a text costs memory for its
// strings, not per token. Containers nested deeper than 128 levels are an error.
class TokenStream {
  public:
    explicit TokenStream(std::string_view text);
    ~TokenStream();
    TokenStream(const TokenStream&) = delete;
    TokenStream& operator=(const TokenStream&) = delete;

    // The next token; nothing once the reader has stopped, at the end of the
    // value or at a syntax error (then error() is not empty).
    std::optional<Token> pull();
    // Syntax error after the last token, if any: its message and position.
    const std::string& error() const { return error_; }
    size_t error_pos() const { return error_pos_; }

  private:
    struct Reader;
    void feed();

    std::unique_ptr<Reader> reader_;
    std::string error_;
    size_t error_pos_ = 0;
};

struct TokenList {
    std::vector<Token> tokens;
    std::string error;
    size_t error_pos = 0;
};

// Every token of `text` at once (for tests and tools; parsers use TokenStream).
TokenList tokenize(std::string_view text);

// " at line {} column {}" for a count of consumed bytes.
std::string position_suffix(std::string_view text, size_t consumed);

}  // namespace tj::json
