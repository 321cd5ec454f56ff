// UTF-8: checking text, and turning captured bytes into text.
#pragma once

#include <string>
#include <string_view>

namespace tj {

// `bytes` as valid UTF-8: each maximal invalid subsequence becomes one U+FFFD.
// Valid input is returned as is, without a copy.
std::string utf8_lossy(std::string bytes);

bool valid_utf8(std::string_view text);
// True when `text` is valid UTF-8 holding nothing but Unicode white space.
bool is_blank(std::string_view text);

}  // namespace tj
