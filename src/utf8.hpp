// UTF-8: checking text, and turning captured bytes into text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "text_sink.hpp"

namespace tj {

// `bytes` as valid UTF-8: each maximal invalid subsequence becomes one U+FFFD.
// Valid input is returned as is, without a copy.
std::string utf8_lossy(std::string bytes);

// utf8_lossy for bytes that arrive in pieces: the pieces fed, then finish(),
// give exactly utf8_lossy of their concatenation; a sequence split between
// pieces is held back until it is complete or proven invalid.
class Utf8Repair {
  public:
    void feed(std::string_view bytes, TextSink& out);
    void finish(TextSink& out);

  private:
    size_t take_pending(std::string_view bytes, TextSink& out);

    char pending_[4] = {};
    size_t pending_size_ = 0;
};

bool valid_utf8(std::string_view text);
// True when `text` is valid UTF-8 holding nothing but Unicode white space.
bool is_blank(std::string_view text);

}  // namespace tj
