// Reads one JSON text into a list of tokens, each with the position at which
// the reader had consumed it, so that a schema can report its errors where
// they occur: a string or key up to its closing quotation mark, a number or
// literal up to its last character, a container's end up to its bracket, a
// container's start up to the character before its bracket.
#pragma once

#include <cstdint>
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

struct TokenList {
    std::vector<Token> tokens;
    // Syntax error after the last token, if any: its message and position.
    std::string error;
    size_t error_pos = 0;
};

// Tokenizes `text`; containers nested deeper than 128 levels are an error.
TokenList tokenize(std::string_view text);

// " at line {} column {}" for a count of consumed bytes.
std::string position_suffix(std::string_view text, size_t consumed);

}  // namespace tj::json
