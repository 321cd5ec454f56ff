// Lines of a mount table ("/proc/self/mountinfo"), decoded.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tj {

// Undoes the kernel's "\ooo" escapes (blank, tab, newline, backslash in mount
// points); anything else, a lone or short backslash included, stays as is.
std::string unescape_mount_field(std::string_view field);

// The mount point (fifth field) of one mountinfo line, unescaped; nothing for a
// line with fewer than four blanks.
std::optional<std::string> mount_point_of_line(std::string_view line);

}  // namespace tj
