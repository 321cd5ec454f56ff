#include "confine/landlock_ruleset.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <algorithm>

#include <fmt/core.h>

#include "confine/landlock_sys.hpp"

namespace tj::landlock {
namespace {

std::unexpected<Error> fail_with_system(std::string_view what, int err) {
    return fail(fmt::format("{}: {}", what, system_error_text(err)), err);
}

// The kernel's names of the scopes, for the enforcement record.
std::vector<std::string> scope_names(Scopes scopes) {
    std::vector<std::string> names;
    if ((scopes & kScopeAbstractUnixSocket) != 0) names.emplace_back("abstract_unix_socket");
    if ((scopes & kScopeSignal) != 0) names.emplace_back("signal");
    return names;
}

bool has_kernel_object(SupportLevel level) {
    return level == SupportLevel::Complete || level == SupportLevel::Reduced;
}

}  // namespace

int effective_abi(int probe_result) {
    return std::clamp(probe_result, 0, kMaxKnownAbi);
}

HandledAccess handle_fs_access(AccessFs requested, int abi) {
    AccessFs effective = requested & offered_fs_rights(abi);
    if (effective == 0) return {SupportLevel::Absent, 0};
    if (effective == requested) return {SupportLevel::Complete, effective};
    return {SupportLevel::Reduced, effective};
}

RuleAccess rule_access(AccessFs access, bool is_directory, int abi) {
    AccessFs allowed = is_directory ? access : access & kFileRights;
    allowed &= offered_fs_rights(abi);
    return {allowed, allowed != access};
}

SupportLevel after_rule(SupportLevel level, bool narrowed) {
    return narrowed && level == SupportLevel::Complete ? SupportLevel::Reduced : level;
}

bool no_new_privs_failure_is_fatal(SupportLevel level, int get_result) {
    // Without a rule set to enforce, a kernel too old to know the flag at all
    // (the query fails as well) may run on without it.
    return has_kernel_object(level) || get_result == 0 || get_result == 1;
}

Enforcement enforcement_for(SupportLevel level) {
    switch (level) {
        case SupportLevel::Complete:
            return Enforcement::Enforced;
        case SupportLevel::Reduced:
            return Enforcement::PartlyEnforced;
        default:
            return Enforcement::Unenforced;
    }
}

Ruleset Ruleset::probe() {
    return Ruleset(sys_abi_version());
}

Result<> Ruleset::handle_access(AccessFs access) {
    requested_ |= access;
    HandledAccess handled = handle_fs_access(requested_, kernel_abi_);
    level_ = handled.level;
    handled_ = handled.effective;
    return {};
}

Result<> Ruleset::create() {
    no_new_privs_ = true;
    if (level_ == SupportLevel::Unset)
        return fail_with_system("failed to create a ruleset", EINVAL);
    if (level_ == SupportLevel::Absent) {
        level_ = SupportLevel::Inert;
        return {};
    }
    int fd = sys_create_ruleset(RulesetAttr{.handled_access_fs = handled_, .scoped = scoped_});
    if (fd < 0) return fail_with_system("failed to create a ruleset", errno);
    fd_.reset(fd);
    return {};
}

Result<> Ruleset::add_path_rule(const std::string& path, AccessFs access) {
    UniqueFd parent(::open(path.c_str(), O_PATH | O_CLOEXEC));
    if (!parent) return {};
    return add_rule_on(parent.get(), access);
}

Result<> Ruleset::add_rule_on(int parent_fd, AccessFs access) {
    if ((access & ~requested_) != 0)
        return fail(
            fmt::format("access-rights not handled by the ruleset: {:#x}", access & ~requested_));
    struct stat st;
    if (::fstat(parent_fd, &st) != 0)
        return fail_with_system("failed to check file descriptor type", errno);
    RuleAccess rule = rule_access(access, S_ISDIR(st.st_mode), kernel_abi_);
    level_ = after_rule(level_, rule.narrowed);
    if (rule.allowed == 0 || !has_kernel_object(level_)) return {};
    if (sys_add_path_beneath_rule(fd_.get(), rule.allowed, parent_fd) != 0)
        return fail_with_system("failed to add a rule", errno);
    return {};
}

Result<bool> Ruleset::set_no_new_privs() const {
    if (!no_new_privs_) return false;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0) return true;
    int err = errno;
    if (no_new_privs_failure_is_fatal(level_, ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0)))
        return fail_with_system("failed to set no_new_privs", err);
    return false;
}

Result<EnforcementOutcome> Ruleset::restrict_self() {
    bool no_new_privs = TJ_TRY(set_no_new_privs());
    if (has_kernel_object(level_) && sys_restrict_self(fd_.get()) != 0) {
        int err = errno;
        fd_.reset();
        return fail_with_system("failed to restrict the calling thread", err);
    }
    fd_.reset();
    EnforcementOutcome outcome{.enforcement = enforcement_for(level_),
                               .no_new_privs = no_new_privs,
                               .kernel_abi = kernel_abi_};
    if (has_kernel_object(level_)) {
        outcome.handled = handled_;
        outcome.scopes = scope_names(scoped_);
    }
    return outcome;
}

}  // namespace tj::landlock
