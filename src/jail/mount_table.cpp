#include "jail/mount_table.hpp"

namespace tj {
namespace {

bool is_octal(char c) {
    return c >= '0' && c <= '7';
}

}  // namespace

std::string unescape_mount_field(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && is_octal(field[i + 1]) &&
            is_octal(field[i + 2]) && is_octal(field[i + 3])) {
            int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            out += static_cast<char>(value & 0xFF);
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::optional<std::string> mount_point_of_line(std::string_view line) {
    size_t start = 0;
    for (int blanks = 0; blanks < 4; ++blanks) {
        size_t blank = line.find(' ', start);
        if (blank == std::string_view::npos) return std::nullopt;
        start = blank + 1;
    }
    size_t end = line.find(' ', start);
    if (end == std::string_view::npos) end = line.size();
    return unescape_mount_field(line.substr(start, end - start));
}

}  // namespace tj
