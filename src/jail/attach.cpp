#include "jail/attach.hpp"

#include <fcntl.h>
#include <sys/mount.h>

namespace tj {

Result<UniqueFd> clone_tree_at(int fd, bool recursive) {
    UniqueFd tree(open_tree(
        fd, "",
        OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_EMPTY_PATH | (recursive ? AT_RECURSIVE : 0)));
    if (!tree) return fail_errno();
    return tree;
}

Result<> set_mount_attrs(int mount_fd, MountAttrs attrs, bool recursive) {
    mount_attr attr{};
    attr.attr_set = attrs;
    unsigned flags = AT_EMPTY_PATH | (recursive ? AT_RECURSIVE : 0);
    if (mount_setattr(mount_fd, "", flags, &attr, sizeof attr) != 0) return fail_errno();
    return {};
}

Result<> attach_mount(int mount_fd, int target_fd) {
    if (move_mount(mount_fd, "", target_fd, "",
                   MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH) != 0)
        return fail_errno();
    return {};
}

Result<> bind_tree_at(int source_fd, int target_fd, bool read_only) {
    UniqueFd tree = TJ_TRY_AS("bind", clone_tree_at(source_fd, true));
    MountAttrs attrs = MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV | (read_only ? MOUNT_ATTR_RDONLY : 0);
    TJ_TRY_AS("remount", set_mount_attrs(tree.get(), attrs, true));
    TJ_TRY_AS("bind", attach_mount(tree.get(), target_fd));
    return {};
}

Result<UniqueFd> new_fs(const char* type, std::initializer_list<FsOption> options,
                        MountAttrs attrs) {
    UniqueFd fs(fsopen(type, FSOPEN_CLOEXEC));
    if (!fs) return fail_errno();
    for (const auto& option : options)
        if (fsconfig(fs.get(), FSCONFIG_SET_STRING, option.key, option.value, 0) != 0)
            return fail_errno();
    if (fsconfig(fs.get(), FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) != 0) return fail_errno();
    UniqueFd mnt(fsmount(fs.get(), FSMOUNT_CLOEXEC, static_cast<unsigned>(attrs)));
    if (!mnt) return fail_errno();
    return mnt;
}

}  // namespace tj
