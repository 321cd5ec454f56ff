#include "confine/landlock_rules.hpp"

#include <fmt/core.h>

namespace tj {

using namespace landlock;

namespace {

// System directories every command needs to find and run its programs; a
// missing one (often /lib64) simply gets no rule.
constexpr const char* kSystemDirs[] = {"/usr", "/bin", "/sbin", "/lib", "/lib64", "/etc", "/dev"};
constexpr const char* kWritableDevices[] = {"null", "zero", "full"};

void append_rows(std::vector<RuleRow>& rows, const std::vector<std::string>& paths, AccessFs access,
                 std::string_view label) {
    for (const auto& path : paths)
        rows.push_back({path, access, fmt::format("{} {}", label, path)});
}

}  // namespace

Result<Ruleset> begin_ruleset(Scopes scopes, AccessFs optional) {
    Ruleset ruleset = Ruleset::probe();
    const AccessFs offered = ruleset.offers(optional) ? optional : 0;
    TJ_TRY_AS("handle_access", ruleset.handle_access(kHandledFs | offered));
    ruleset.handle_scopes(scopes);
    TJ_TRY_AS("create ruleset", ruleset.create());
    return ruleset;
}

Result<> add_rule_rows(Ruleset& ruleset, std::span<const RuleRow> rows) {
    for (const auto& row : rows) TJ_TRY_AS(row.label, ruleset.add_path_rule(row.path, row.access));
    return {};
}

Result<EnforcementOutcome> finish_ruleset(Ruleset& ruleset) {
    return TJ_TRY_AS("restrict_self", ruleset.restrict_self());
}

std::vector<RuleRow> strict_rule_rows(const Policy& policy) {
    std::vector<RuleRow> rows = {
        {policy.cwd, FS_RW, "rule cwd"},
        {"/tmp", FS_RW, "rule /tmp"},
        {"/dev/shm", FS_RW, "rule /dev/shm"},
        {"/proc", FS_PROC, "rule /proc"},
    };
    for (const char* dir : kSystemDirs) rows.push_back({dir, FS_RX, fmt::format("rule {}", dir)});
    for (const auto& tool : policy.tool_paths) rows.push_back({tool, FS_RX, "rule tool"});
    for (const char* name : kWritableDevices) {
        std::string dev = fmt::format("/dev/{}", name);
        rows.push_back({dev, FS_WRITE, "rule " + dev});
    }
    append_rows(rows, policy.extra_device_paths, FS_DEV, "rule dev");
    append_rows(rows, policy.extra_ro_paths, FS_RX, "rule ro");
    append_rows(rows, policy.extra_rw_paths, FS_RW, "rule rw");
    return rows;
}

Result<EnforcementOutcome> restrict_strict(const Policy& policy) {
    // With the host's network the jail shares the host's abstract unix socket
    // namespace; its other networks have their own (a session's jails keep
    // reaching each other). Signals leave no PID namespace anyway.
    const Scopes scopes = policy.network == "host" ? kScopeAbstractUnixSocket : 0;
    Ruleset ruleset = TJ_TRY(begin_ruleset(scopes));
    TJ_TRY(add_rule_rows(ruleset, strict_rule_rows(policy)));
    // The strict jail proceeds whatever the kernel enforced: its namespaces and
    // private root confine the command even without Landlock.
    return finish_ruleset(ruleset);
}

}  // namespace tj
