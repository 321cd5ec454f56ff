#include "jail/submounts.hpp"

#include <sys/statvfs.h>

#include "jail/mount_sys.hpp"
#include "jail/mount_table.hpp"
#include "path_util.hpp"

namespace tj {

unsigned long preserved_mount_flags(const std::string& path) {
    if (path.find('\0') != std::string::npos) return 0;
    struct statvfs st;
    if (::statvfs(path.c_str(), &st) != 0) return 0;
    return st.f_flag & kPreservedFlagMask;
}

Result<> remount_bind(const std::string& target, unsigned long flags) {
    return sys_mount("", target, "", MS_BIND | MS_REMOUNT | flags | preserved_mount_flags(target));
}

Result<> remount_submounts(const std::string& dir, unsigned long flags) {
    // The table shows resolved paths; a link anywhere in `dir` would hide every match.
    auto canonical = canonicalize(dir);
    const std::string& target = canonical ? *canonical : dir;
    auto table = TJ_TRY(read_mount_points());
    for (const auto& point : select_submounts(table, target)) {
        if (auto done = remount_bind(point, flags); !done) {
            std::string shown = path_under(point, dir) ? path_remainder(point, dir) : point;
            return std::unexpected(std::move(done.error()).wrap("remount of submount " + shown));
        }
    }
    return {};
}

Result<> bind_tree(const std::string& source, const std::string& target, unsigned long flags) {
    TJ_TRY(sys_mount(source, target, "", MS_BIND | MS_REC));
    TJ_TRY(remount_bind(target, flags));
    return remount_submounts(target, flags);
}

}  // namespace tj
