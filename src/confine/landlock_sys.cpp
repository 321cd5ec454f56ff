#include "confine/landlock_sys.hpp"

#include <sys/syscall.h>
#include <unistd.h>

// Landlock's numbers are the same on every architecture (the unified table),
// so older C libraries' headers can be filled in safely.
#ifndef __NR_landlock_create_ruleset
#define __NR_landlock_create_ruleset 444
#endif
#ifndef __NR_landlock_add_rule
#define __NR_landlock_add_rule 445
#endif
#ifndef __NR_landlock_restrict_self
#define __NR_landlock_restrict_self 446
#endif

namespace tj::landlock {
namespace {

constexpr uint32_t kCreateRulesetVersion = 1U << 0;  // LANDLOCK_CREATE_RULESET_VERSION
constexpr int kRulePathBeneath = 1;                  // LANDLOCK_RULE_PATH_BENEATH

// struct landlock_path_beneath_attr: packed in the kernel's UAPI, so the
// descriptor directly follows the 64-bit access mask (12 bytes).
struct __attribute__((packed)) PathBeneathAttr {
    uint64_t allowed_access;
    int32_t parent_fd;
};
static_assert(sizeof(PathBeneathAttr) == 12);

}  // namespace

int sys_abi_version() {
    return static_cast<int>(
        syscall(__NR_landlock_create_ruleset, nullptr, 0, kCreateRulesetVersion));
}

int sys_create_ruleset(const RulesetAttr& attr) {
    // The kernel makes rule set descriptors close-on-exec itself.
    return static_cast<int>(syscall(__NR_landlock_create_ruleset, &attr, sizeof attr, 0));
}

int sys_add_path_beneath_rule(int ruleset_fd, uint64_t allowed_access, int parent_fd) {
    PathBeneathAttr attr{allowed_access, parent_fd};
    return static_cast<int>(
        syscall(__NR_landlock_add_rule, ruleset_fd, kRulePathBeneath, &attr, 0));
}

int sys_restrict_self(int ruleset_fd) {
    return static_cast<int>(syscall(__NR_landlock_restrict_self, ruleset_fd, 0));
}

}  // namespace tj::landlock
