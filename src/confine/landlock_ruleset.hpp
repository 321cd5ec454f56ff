// A best-effort Landlock rule set: asks for the fixed handled set, shrinks it
// to what the running kernel supports, and degrades to a no-op where the
// kernel has no Landlock. Probe, handle, create, add rules, restrict: once.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "confine/landlock_access.hpp"
#include "error.hpp"
#include "unique_fd.hpp"

namespace tj {

enum class Enforcement { Enforced, PartlyEnforced, Unenforced };

// What restriction put in force, for the caller to check and to report.
struct EnforcementOutcome {
    Enforcement enforcement = Enforcement::Unenforced;
    bool no_new_privs = false;
    int kernel_abi = 0;               // the kernel's Landlock ABI, 0 without Landlock
    landlock::AccessFs handled = 0;   // file-system rights the rule set handles
    std::vector<std::string> scopes;  // scoped IPC restrictions in force
};

namespace landlock {

// unset: nothing requested; complete: every requested right is supported;
// reduced: some are; absent: none are, or no Landlock; inert: no kernel object,
// rules and restriction are no-ops.
enum class SupportLevel { Unset, Complete, Reduced, Absent, Inert };

// --- The pure best-effort rules, apart from the calls that apply them. ---

// The effective ABI from the version probe's result (negative: no Landlock).
int effective_abi(int probe_result);

struct HandledAccess {
    SupportLevel level;
    AccessFs effective;
};
// What remains of a requested handled set on a kernel of `abi`.
// `abi` may be the kernel's own version: rights above kMaxKnownAbi count only
// where offered_fs_rights names them.
HandledAccess handle_fs_access(AccessFs requested, int abi);

struct RuleAccess {
    AccessFs allowed;  // 0: add no rule
    bool narrowed;     // something was dropped
};
// A rule's access after dropping directory-only rights for a non-directory
// and the rights the kernel lacks.
RuleAccess rule_access(AccessFs access, bool is_directory, int abi);

// A narrowed rule makes a complete rule set reduced; other states stay.
SupportLevel after_rule(SupportLevel level, bool narrowed);

// Whether a failed PR_SET_NO_NEW_PRIVS must stop the restriction, given the
// state and PR_GET_NO_NEW_PRIVS's answer (-1 when the query failed too).
bool no_new_privs_failure_is_fatal(SupportLevel level, int get_result);

Enforcement enforcement_for(SupportLevel level);

// --- The rule set itself. ---

class Ruleset {
  public:
    // Probes the running kernel's ABI.
    static Ruleset probe();
    // Behaves as on a kernel of the given ABI (0: no Landlock); a lower ABI than
    // the kernel's is what an older kernel would get, which tests rely on.
    explicit Ruleset(int abi) : abi_(effective_abi(abi)), kernel_abi_(std::max(abi, 0)) {}

    // Records the request and intersects it with the kernel's rights. A drop is
    // never an error.
    Result<> handle_access(AccessFs access);
    // Records the scopes, keeping those the kernel supports (none below ABI 6).
    void handle_scopes(Scopes scopes) { scoped_ = scopes & supported_scopes(kernel_abi_); }
    // Whether the running kernel supports every right of `access`.
    bool offers(AccessFs access) const { return (access & ~offered_fs_rights(kernel_abi_)) == 0; }
    // Creates the kernel object ("failed to create a ruleset: {}"), or goes
    // inert when nothing is supported.
    Result<> create();
    // Allows `access` beneath `path`. A path that cannot be opened gets no rule
    // and no error.
    Result<> add_path_rule(const std::string& path, AccessFs access);
    // Allows `access` beneath the file open at `fd` (O_PATH will do).
    Result<> add_fd_rule(int fd, AccessFs access) { return add_rule_on(fd, access); }
    // Sets no_new_privs and enforces the rule set on the calling thread.
    Result<EnforcementOutcome> restrict_self();

    SupportLevel level() const { return level_; }
    int abi() const { return abi_; }
    int kernel_abi() const { return kernel_abi_; }
    Scopes scoped() const { return scoped_; }
    AccessFs requested() const { return requested_; }
    AccessFs handled() const { return handled_; }

  private:
    Result<> add_rule_on(int parent_fd, AccessFs access);
    Result<bool> set_no_new_privs() const;

    int abi_;         // for the base rights: at most kMaxKnownAbi
    int kernel_abi_;  // as probed, newer than the rights the base tables know
    Scopes scoped_ = 0;
    SupportLevel level_ = SupportLevel::Unset;
    AccessFs requested_ = 0;
    AccessFs handled_ = 0;
    UniqueFd fd_;
    bool no_new_privs_ = false;
};

}  // namespace landlock
}  // namespace tj
