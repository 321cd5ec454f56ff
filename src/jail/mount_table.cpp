#include "jail/mount_table.hpp"

#include <algorithm>

#include "file_io.hpp"
#include "path_util.hpp"

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

std::vector<std::string> parse_mount_points(std::string_view text) {
    std::vector<std::string> points;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) nl = text.size();
        if (auto point = mount_point_of_line(text.substr(start, nl - start)))
            points.push_back(std::move(*point));
        start = nl + 1;
    }
    return points;
}

std::vector<std::string> select_submounts(const std::vector<std::string>& table,
                                          std::string_view target) {
    auto target_parts = path_components(target);
    std::vector<std::vector<std::string_view>> parts;
    parts.reserve(table.size());
    for (const auto& point : table) parts.push_back(path_components(point));
    auto is_prefix = [](const auto& base, const auto& path) {
        return base.size() <= path.size() && std::equal(base.begin(), base.end(), path.begin());
    };
    std::vector<std::string> chosen;
    for (size_t i = 0; i < table.size(); ++i) {
        if (parts[i].size() == target_parts.size() || !is_prefix(target_parts, parts[i])) continue;
        bool covered = false;
        for (size_t j = i + 1; j < table.size() && !covered; ++j)
            covered = is_prefix(parts[j], parts[i]);
        if (!covered) chosen.push_back(table[i]);
    }
    return chosen;
}

Result<std::vector<std::string>> read_mount_points() {
    // Mount points are byte strings: one host mount whose name is not UTF-8
    // must not stop every jail, so the table is taken as it is.
    std::string text = TJ_TRY(read_file("/proc/self/mountinfo"));
    return parse_mount_points(text);
}

}  // namespace tj
