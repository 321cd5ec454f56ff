#include "exec/child_steps.hpp"

#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tj {
namespace {

constexpr int kLastCapability = 63;

// glibc has no capset wrapper; the raw call takes the v3 header and two data words.
int capset_empty() {
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    return syscall(SYS_capset, &header, data) == 0 ? 0 : errno;
}

}  // namespace

int set_death_signal(int sig) {
    return prctl(PR_SET_PDEATHSIG, sig, 0, 0, 0) == 0 ? 0 : errno;
}

int drop_all_capabilities() {
    for (int cap = 0; cap <= kLastCapability; ++cap) {
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) == 0) continue;
        // EINVAL: past the kernel's last capability; EPERM: no CAP_SETPCAP,
        // so the bounding set stays as it is and only the sets below empty.
        if (errno == EINVAL || errno == EPERM) break;
        return errno;
    }
    return capset_empty();
}

int limit_data_segment(uint64_t bytes) {
    rlimit limit;
    if (getrlimit(RLIMIT_DATA, &limit) != 0) return errno;
    rlim_t value = std::min<rlim_t>(bytes, limit.rlim_max);
    limit.rlim_cur = value;
    limit.rlim_max = value;
    return setrlimit(RLIMIT_DATA, &limit) == 0 ? 0 : errno;
}

int give_terminal(int fd, pid_t pgrp) {
    struct sigaction ignore = {}, previous = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGTTOU, &ignore, &previous);
    int err = tcsetpgrp(fd, pgrp) == 0 ? 0 : errno;
    sigaction(SIGTTOU, &previous, nullptr);
    return err;
}

}  // namespace tj
