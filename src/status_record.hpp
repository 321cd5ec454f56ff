// The enforcement record of --status-fd: what confinement actually put in
// place, filled in by the confinement steps of one isolation path and written
// once as a compact JSON line before the command or the readiness line; then,
// on the same descriptor, a fatal error's message or a foreground command's end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "confine/landlock_ruleset.hpp"
#include "error.hpp"

namespace tj {

// A policy entry that confinement left out, and why ("missing", "under a
// system directory", "a link", "outside cwd", ...).
struct SkippedEntry {
    std::string key;   // the policy key, e.g. "extra_rw_paths"
    std::string path;  // the entry as written in the policy
    std::string reason;
};

struct StatusRecord {
    std::string isolation;
    std::string cwd;
    std::string network;                  // "none", "host", "session"
    std::vector<std::string> namespaces;  // entered: "user", "mount", ...
    std::optional<EnforcementOutcome> landlock;
    std::optional<std::string> seccomp_arch;
    uint64_t rlimit_data_bytes = 0;  // 0: no limit
    std::optional<uint64_t> cgroup_memory_bytes;
    std::optional<uint64_t> cgroup_pids;
    std::vector<SkippedEntry> skipped;
};

// The record line's text, newline included; keys in ascending byte order.
std::string status_record_text(const StatusRecord& record);

// The process's record channel: absent without --status-fd.
void open_status_channel(std::optional<int> fd);

// The record the isolation path fills in; one per process.
StatusRecord& status_record();

// Adds a skipped entry to the record.
void note_skipped(std::string_view key, std::string_view path, std::string_view reason);

// Writes the record line once; later calls do nothing. Without a channel,
// nothing is written.
Result<> write_status_record();

// {"event":"fatal","message":...}; failures to write are ignored.
void write_status_fatal(std::string_view message);

// {"event":"end",...} with "exit_code" or "signal" from a wait status.
void write_status_end(int wait_status);

}  // namespace tj
