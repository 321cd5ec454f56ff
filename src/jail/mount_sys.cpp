#include "jail/mount_sys.hpp"

#include <sys/syscall.h>
#include <unistd.h>

namespace tj {
namespace {

const char* or_null(const std::string& text) {
    return text.empty() ? nullptr : text.c_str();
}

}  // namespace

Result<> sys_mount(const std::string& source, const std::string& target, const std::string& type,
                   unsigned long flags, const std::string& data) {
    if (::mount(or_null(source), target.c_str(), or_null(type), flags, or_null(data)) != 0)
        return fail_errno();
    return {};
}

Result<> sys_umount_detach(const std::string& target) {
    if (::umount2(target.c_str(), MNT_DETACH) != 0) return fail_errno();
    return {};
}

Result<> sys_pivot_root(const std::string& new_root, const std::string& put_old) {
    if (::syscall(SYS_pivot_root, new_root.c_str(), put_old.c_str()) != 0) return fail_errno();
    return {};
}

}  // namespace tj
