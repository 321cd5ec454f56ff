#include "jail/ns_sys.hpp"

#include <sched.h>
#include <unistd.h>

namespace tj {

Result<> sys_unshare(int flags) {
    if (::unshare(flags) != 0) return fail_errno();
    return {};
}

Result<> sys_setns(int fd, int nstype) {
    if (::setns(fd, nstype) != 0) return fail_errno();
    return {};
}

Result<> sys_sethostname(std::string_view name) {
    if (::sethostname(name.data(), name.size()) != 0) return fail_errno();
    return {};
}

}  // namespace tj
