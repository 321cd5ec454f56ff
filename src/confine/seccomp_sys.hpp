// The two kernel calls that install a seccomp filter, typed. Each returns the
// kernel's result: 0, or -1 with errno set.
#pragma once

#include <linux/filter.h>

namespace tj::seccomp {

// prctl(PR_SET_NO_NEW_PRIVS, 1): without it (or CAP_SYS_ADMIN) the kernel
// refuses an unprivileged filter, and a set-user-ID program could otherwise
// run with the filter's refusals turned against it.
int sys_set_no_new_privs();

// seccomp(SECCOMP_SET_MODE_FILTER, 0, program). glibc has no wrapper. Flags 0:
// no TSYNC, so the filter binds the calling thread and what it starts later.
int sys_set_mode_filter(const sock_fprog& program);

}  // namespace tj::seccomp
