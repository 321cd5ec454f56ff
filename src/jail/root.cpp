#include "jail/root.hpp"

#include "jail/grants.hpp"
#include "jail/mount_points.hpp"
#include "jail/protect.hpp"
#include "jail/root_steps.hpp"

namespace tj {

Result<> assemble_jail_root(const Policy& policy, const JailRootDir& root_dir) {
    const std::string& root = root_dir.path;
    const std::string jail_cwd = jail_path(root, policy.cwd);
    // 1. The root tmpfs.
    TJ_TRY(mount_root_tmpfs(root_dir));
    // 2. Its top-level directories.
    TJ_TRY(make_root_dirs(root));
    // 3. System directories, read-only.
    TJ_TRY(bind_system_dirs(root));
    // 4. A fresh /tmp.
    TJ_TRY(mount_fresh_tmp(root));
    // 5. Tool paths, read-only.
    TJ_TRY(bind_tool_paths(policy, root));
    // 6. Device nodes and /dev/shm.
    TJ_TRY(populate_dev(policy, root));
    // 7. Grants outside the working directory.
    TJ_TRY(bind_grant_pass(policy, root, false));
    // 8. The working directory, writable.
    TJ_TRY(bind_working_dir(root, policy.cwd));
    // 9. Grants inside it, on top of it.
    TJ_TRY(bind_grant_pass(policy, root, true));
    // 10. Protected paths, then hidden paths.
    TJ_TRY(protect_paths_pass(policy, root, jail_cwd));
    TJ_TRY(mask_hidden_paths(policy, root));
    // 11. Into the new root; a fresh /proc; the host's tree detached.
    return enter_root(root, policy.cwd);
}

}  // namespace tj
