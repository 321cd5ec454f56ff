#include "confine/seccomp_sys.hpp"

#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tj::seccomp {

int sys_set_no_new_privs() {
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
}

int sys_set_mode_filter(const sock_fprog& program) {
    return static_cast<int>(syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program));
}

}  // namespace tj::seccomp
