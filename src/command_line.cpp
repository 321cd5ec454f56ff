#include "command_line.hpp"

#include <algorithm>
#include <charconv>

namespace tj {
namespace {

// An optional single sign, then ASCII digits only, within the signed 32-bit range.
std::optional<int> parse_i32(const std::string& text) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
        negative = digits[0] == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    long long value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<int>(value);
}

}  // namespace

Result<std::optional<int>> parse_fd_option(const std::vector<std::string>& args,
                                           const std::string& name) {
    auto it = std::find(args.begin(), args.end(), name);
    if (it == args.end()) return std::optional<int>();
    std::optional<int> fd;
    if (it + 1 != args.end()) fd = parse_i32(*(it + 1));
    if (!fd || *fd <= 2) return fail(name + " needs a file descriptor number above 2");
    return fd;
}

Result<LaunchOptions> parse_launch_options(const std::vector<std::string>& args) {
    LaunchOptions o;
    o.userns_fd = TJ_TRY(parse_fd_option(args, "--userns-fd"));
    o.netns_fd = TJ_TRY(parse_fd_option(args, "--netns-fd"));
    o.policy_fd = TJ_TRY(parse_fd_option(args, "--policy-fd"));
    o.interrupt_fd = TJ_TRY(parse_fd_option(args, "--interrupt-fd"));
    o.status_fd = TJ_TRY(parse_fd_option(args, "--status-fd"));
    return o;
}

}  // namespace tj
