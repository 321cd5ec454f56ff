#include "confine/hardened_rules.hpp"

#include <sys/stat.h>

#include <fmt/core.h>

#include "confine/hardened_paths.hpp"
#include "confine/hardened_walk.hpp"
#include "path_util.hpp"
#include "status_record.hpp"

namespace tj {

using namespace landlock;
using hardened::PathSet;
using hardened::Root;
using hardened::RuleSink;

namespace {

constexpr const char* kReadableDevices[] = {"null", "zero", "urandom", "random", "full"};
constexpr const char* kWritableDevices[] = {"null", "zero", "full"};

// Protected and hidden paths by where they are, or would be once created: a
// link or ".." in their spelling must not let them slip past the rules.
PathSet real_places(const std::vector<std::string>& paths) {
    std::vector<std::string> members;
    for (const auto& path : paths) members.push_back(real_place(path));
    return PathSet(members);
}

// The inputs every rule root is carved with.
struct Carving {
    PathSet protected_set;
    PathSet hidden;
    hardened::Roles roles;
    hardened::Walker walker;

    Carving(const Policy& policy, const NoticeSink& notice, const RuleSink& sink)
        : protected_set(real_places(policy.extra_protect_paths)),
          hidden(real_places(policy.hide_paths)),
          roles(hidden, protected_set),
          walker(hidden, protected_set, roles, notice, sink) {}
};

// Read-write as a whole, or read-only and walked around the protected paths
// inside it (granted read-write beside them).
Result<> add_cwd(Carving& c, const std::string& cwd, AccessFs rw) {
    if (!hardened::cwd_needs_walk(c.protected_set, cwd))
        return c.walker.add_root({{cwd, rw, "rule rw cwd " + cwd}, rw, "rw", true});
    const AccessFs below = c.protected_set.covers(cwd) ? FS_RX : rw;
    return c.walker.add_root({{cwd, FS_RX, "rule r cwd " + cwd}, below, "rw", true});
}

Result<> check_device(const std::string& dev) {
    struct stat st;
    if (::stat(dev.c_str(), &st) != 0)
        return fail(fmt::format("extra_device path {} is not present on the host: {}", dev,
                                system_error_text(errno)),
                    errno);
    if (!S_ISCHR(st.st_mode) && !S_ISBLK(st.st_mode))
        return fail(fmt::format("extra_device path {} is not a character or block device", dev));
    return {};
}

Result<> add_devices(Carving& c, const std::vector<std::string>& devices) {
    for (const auto& dev : devices) {
        TJ_TRY(check_device(dev));
        TJ_TRY(c.walker.add_root({{dev, FS_DEV, "rule dev " + dev}, FS_DEV, "dev"}));
    }
    return {};
}

// "/tmp" first, then the grants; none may cover a protected path.
Result<> add_rw(Carving& c, const std::vector<std::string>& entries, AccessFs rw,
                const NoticeSink& notice) {
    for (size_t i = 0; i < entries.size(); ++i) {
        const std::string& entry = entries[i];
        if (c.protected_set.any_under(real_place(entry))) {
            note_skipped("extra_rw_paths", entry, "would shadow a protected path");
            notice(fmt::format(
                "tarrow-jail: hardened: skipping rw grant on {} (would shadow a protect_path)\n",
                entry));
            continue;
        }
        TJ_TRY(c.walker.add_root({{entry, rw, "rule rw " + entry}, rw, "rw", false, i > 0}));
    }
    return {};
}

// The system directories, the read-only grants, the tool paths: only the
// grants are granted again inside a hidden path.
Result<> add_ro(Carving& c, const Policy& policy) {
    const std::vector<std::string> entries = hardened::ro_list(policy);
    const size_t grants_end = entries.size() - policy.tool_paths.size();
    const size_t grants_begin = grants_end - policy.extra_ro_paths.size();
    for (size_t i = 0; i < entries.size(); ++i) {
        const std::string& entry = entries[i];
        const bool grant = i >= grants_begin && i < grants_end;
        TJ_TRY(c.walker.add_root({{entry, FS_RX, "rule ro " + entry}, FS_RX, "ro", false, grant}));
    }
    return {};
}

Result<> add_standard_devices(Carving& c) {
    for (const char* name : kReadableDevices) {
        std::string dev = fmt::format("/dev/{}", name);
        TJ_TRY(c.walker.add_root({{dev, FS_READ, "rule " + dev}, FS_READ, ""}));
    }
    for (const char* name : kWritableDevices) {
        std::string dev = fmt::format("/dev/{}", name);
        TJ_TRY(c.walker.add_root({{dev, FS_WRITE, "rule " + dev}, FS_WRITE, ""}));
    }
    return {};
}

}  // namespace

Result<> hardened_rules(const Policy& policy, const NoticeSink& notice, const RuleSink& sink,
                        AccessFs unix_sockets) {
    Carving c(policy, notice, sink);
    // Connecting to a pathname socket is allowed where writing is, no further.
    const AccessFs rw = FS_RW | unix_sockets;
    TJ_TRY(add_cwd(c, policy.cwd, rw));
    const std::vector<std::string> rw_entries = hardened::rw_list(policy);
    TJ_TRY(add_devices(c, policy.extra_device_paths));
    TJ_TRY(add_rw(c, rw_entries, rw, notice));
    TJ_TRY(add_ro(c, policy));
    return add_standard_devices(c);
}

Result<std::vector<RuleRow>> hardened_rule_rows(const Policy& policy, const NoticeSink& notice) {
    std::vector<RuleRow> rows;
    TJ_TRY(hardened_rules(policy, notice, [&](const RuleRow& row, int) -> Result<> {
        rows.push_back(row);
        return {};
    }));
    return rows;
}

Result<EnforcementOutcome> restrict_hardened(Ruleset& ruleset, const Policy& policy,
                                             const NoticeSink& notice) {
    auto add = [&](const RuleRow& row, int fd) -> Result<> {
        if (fd < 0) return {};
        TJ_TRY_AS(row.label, ruleset.add_fd_rule(fd, row.access));
        return {};
    };
    TJ_TRY(hardened_rules(policy, notice, add, ruleset.handled() & kResolveUnix));
    EnforcementOutcome outcome = TJ_TRY(finish_ruleset(ruleset));
    if (outcome.enforcement == Enforcement::Unenforced)
        return fail(
            "hardened isolation requires Landlock, but the kernel enforced no ruleset (Landlock "
            "unavailable); refusing to run unconfined");
    return outcome;
}

}  // namespace tj
