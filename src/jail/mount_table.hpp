// The mount table of the calling process ("/proc/self/mountinfo"): decoding
// and the choice of submounts a bind remount must also reach.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace tj {

// Undoes the kernel's "\ooo" escapes (blank, tab, newline, backslash in mount
// points); anything else, a lone or short backslash included, stays as is.
std::string unescape_mount_field(std::string_view field);

// The mount point (fifth field) of one mountinfo line, unescaped; nothing for a
// line with fewer than four blanks.
std::optional<std::string> mount_point_of_line(std::string_view line);

// Mount points of a whole mountinfo text, in table order, duplicates kept.
std::vector<std::string> parse_mount_points(std::string_view text);

// The mount points strictly below `target` that are not covered by a later
// entry at the same path or at one of their ancestors, in table order.
std::vector<std::string> select_submounts(const std::vector<std::string>& table,
                                          std::string_view target);

// Mount points of the calling process, as bytes. Errors: the system error text
// of the open or read.
Result<std::vector<std::string>> read_mount_points();

}  // namespace tj
