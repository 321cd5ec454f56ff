// Turning captured bytes into text.
#pragma once

#include <string>

namespace tj {

// `bytes` as valid UTF-8: each maximal invalid subsequence becomes one U+FFFD.
// Valid input is returned as is, without a copy.
std::string utf8_lossy(std::string bytes);

}  // namespace tj
