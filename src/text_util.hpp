// Text checks shared by the policy line and the serve loop's request lines.
#pragma once

#include <string_view>

namespace tj {

bool valid_utf8(std::string_view text);
// True when `text` (valid UTF-8) holds nothing but Unicode white space.
bool is_blank(std::string_view text);

}  // namespace tj
