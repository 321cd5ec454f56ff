#include "reply_log.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <boost/json.hpp>

namespace tj::e2e {
namespace {

// Lines above this are left out: the output-size tests write tens of MiB.
constexpr size_t kMaxLoggedLine = 1 << 20;

bool exec_mode(std::string_view policy) {
    boost::system::error_code ec;
    boost::json::value v = boost::json::parse(policy.substr(0, policy.find('\n')), ec);
    if (ec) return false;
    const boost::json::value* mode = nullptr;
    if (v.is_object()) mode = v.as_object().if_contains("mode");
    if (v.is_array() && v.as_array().size() > 14) mode = &v.as_array()[14];
    return mode && mode->is_string() && mode->as_string() == "exec";
}

// One O_APPEND write per line, so that parallel test processes never interleave.
void append(std::string_view tag, std::string_view line) {
    if (line.size() > kMaxLoggedLine) return;
    static const int fd = ::open(TARROW_REPLY_LOG, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::string entry;
    entry.reserve(tag.size() + line.size() + 2);
    entry.append(tag).append(" ").append(line).append("\n");
    (void)!::write(fd, entry.data(), entry.size());
}

void append_lines(std::string_view tag, std::string_view text) {
    for (size_t nl; (nl = text.find('\n')) != std::string_view::npos; text.remove_prefix(nl + 1))
        append(tag, text.substr(0, nl));
}

}  // namespace

void log_reply_lines(std::string_view policy, std::string_view out) {
    // No policy text: it came some other way, and so may have asked for "exec".
    if (!policy.empty() && !exec_mode(policy)) append_lines("reply", out);
}

void log_reply_line(std::string_view line) {
    append("reply", line);
}

void log_record_lines(std::string_view text) {
    append_lines("record", text);
}

}  // namespace tj::e2e
