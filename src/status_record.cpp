#include "status_record.hpp"

#include <sys/wait.h>

#include <array>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/string.hpp>

#include "line_reader.hpp"
#include "reply.hpp"

namespace tj {
namespace {

struct Channel {
    std::optional<int> fd;
    bool written = false;
    StatusRecord record;
};

Channel& channel() {
    static Channel instance;
    return instance;
}

// The kernel's names of the file-system rights, by bit.
constexpr std::array<std::string_view, 17> kFsRightNames = {
    "execute",   "write_file", "read_file", "read_dir",  "remove_dir",  "remove_file",
    "make_char", "make_dir",   "make_reg",  "make_sock", "make_fifo",   "make_block",
    "make_sym",  "refer",      "truncate",  "ioctl_dev", "resolve_unix"};

boost::json::string json_string(std::string_view text) {
    return boost::json::string(text.data(), text.size());
}

boost::json::array fs_right_names(landlock::AccessFs rights) {
    boost::json::array names;
    for (size_t bit = 0; bit < kFsRightNames.size(); ++bit)
        if ((rights >> bit) & 1) names.emplace_back(kFsRightNames[bit]);
    return names;
}

std::string_view outcome_name(Enforcement enforcement) {
    switch (enforcement) {
        case Enforcement::Enforced:
            return "enforced";
        case Enforcement::PartlyEnforced:
            return "partly_enforced";
        case Enforcement::Unenforced:
            break;
    }
    return "unenforced";
}

boost::json::value landlock_value(const std::optional<EnforcementOutcome>& outcome) {
    if (!outcome) return nullptr;
    boost::json::array scopes;
    for (const auto& scope : outcome->scopes) scopes.emplace_back(scope);
    return sorted_object({{"abi", outcome->kernel_abi},
                          {"handled_access_fs", fs_right_names(outcome->handled)},
                          {"outcome", json_string(outcome_name(outcome->enforcement))},
                          {"scopes", std::move(scopes)}});
}

boost::json::value optional_number(std::optional<uint64_t> value) {
    if (!value) return nullptr;
    return *value;
}

boost::json::array string_array(const std::vector<std::string>& items) {
    boost::json::array out;
    for (const auto& item : items) out.emplace_back(item);
    return out;
}

boost::json::array skipped_array(const std::vector<SkippedEntry>& skipped) {
    boost::json::array out;
    for (const auto& s : skipped)
        out.emplace_back(sorted_object({{"key", json_string(s.key)},
                                        {"path", json_string(s.path)},
                                        {"reason", json_string(s.reason)}}));
    return out;
}

void write_line(std::initializer_list<ReplyField> fields) {
    if (channel().fd) (void)write_all(*channel().fd, reply_text(fields));
}

}  // namespace

std::string status_record_text(const StatusRecord& r) {
    boost::json::value seccomp = nullptr;
    if (r.seccomp_arch) seccomp = sorted_object({{"arch", json_string(*r.seccomp_arch)}});
    boost::json::value data = nullptr;
    if (r.rlimit_data_bytes != 0) data = r.rlimit_data_bytes;
    return reply_text(
        {{"cwd", json_string(r.cwd)},
         {"event", "confined"},
         {"isolation", json_string(r.isolation)},
         {"landlock", landlock_value(r.landlock)},
         {"limits", sorted_object({{"cgroup_memory_bytes", optional_number(r.cgroup_memory_bytes)},
                                   {"cgroup_pids", optional_number(r.cgroup_pids)},
                                   {"rlimit_data_bytes", std::move(data)}})},
         {"namespaces", string_array(r.namespaces)},
         {"network", json_string(r.network)},
         {"seccomp", std::move(seccomp)},
         {"skipped", skipped_array(r.skipped)}});
}

void open_status_channel(std::optional<int> fd) {
    channel().fd = fd;
}

StatusRecord& status_record() {
    return channel().record;
}

void note_skipped(std::string_view key, std::string_view path, std::string_view reason) {
    channel().record.skipped.push_back({std::string(key), std::string(path), std::string(reason)});
}

Result<> write_status_record() {
    Channel& c = channel();
    if (!c.fd || c.written) return {};
    c.written = true;
    return write_all(*c.fd, status_record_text(c.record));
}

void write_status_fatal(std::string_view message) {
    write_line({{"event", "fatal"}, {"message", json_string(message)}});
}

void write_status_end(int wait_status) {
    if (WIFEXITED(wait_status))
        write_line({{"event", "end"}, {"exit_code", WEXITSTATUS(wait_status)}});
    else if (WIFSIGNALED(wait_status))
        write_line({{"event", "end"}, {"signal", WTERMSIG(wait_status)}});
}

}  // namespace tj
