// The three Landlock system calls, typed. glibc wraps none of them, so each goes
// through syscall(2); every call returns the kernel's result, -1 with errno set
// on failure. Policy (best effort, ABI handling) lives in landlock_ruleset.
#pragma once

#include <cstdint>

namespace tj::landlock {

// struct landlock_ruleset_attr as of ABI 6. Older kernels accept the larger
// record as long as the fields they do not know are zero.
struct RulesetAttr {
    uint64_t handled_access_fs = 0;
    uint64_t handled_access_net = 0;
    uint64_t scoped = 0;
};
static_assert(sizeof(RulesetAttr) == 24);

// The ABI version of the running kernel, or -1: EOPNOTSUPP when Landlock is
// built in but not enabled, ENOSYS (or another errno) when it is missing.
int sys_abi_version();

// A new rule set descriptor (close-on-exec), or -1.
int sys_create_ruleset(const RulesetAttr& attr);

// Allows `allowed_access` beneath the file or directory `parent_fd` refers to.
int sys_add_path_beneath_rule(int ruleset_fd, uint64_t allowed_access, int parent_fd);

// Enforces the rule set on the calling thread; needs no_new_privs (or
// CAP_SYS_ADMIN) and binds only this thread and its future children.
int sys_restrict_self(int ruleset_fd);

}  // namespace tj::landlock
