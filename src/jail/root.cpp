#include "jail/root.hpp"

#include "jail/beneath.hpp"
#include "jail/grants.hpp"
#include "jail/host_paths.hpp"
#include "jail/pin.hpp"
#include "jail/protect.hpp"
#include "jail/root_dir.hpp"
#include "jail/root_steps.hpp"

namespace tj {
namespace {

// Everything the jail guarantees at a path of its own: the parents of these
// are pinned.
std::vector<std::string> guarded_paths(const Policy& policy, std::vector<std::string> protect) {
    for (const auto* list : {&policy.hide_paths, &policy.extra_ro_paths, &policy.extra_rw_paths})
        protect.insert(protect.end(), list->begin(), list->end());
    return protect;
}

}  // namespace

Result<> assemble_jail_root(const Policy& policy, const JailRootDir& root_dir) {
    // The working directory and the writable trees, resolved before anything is bound.
    const HostPaths paths = TJ_TRY(HostPaths::for_policy(policy));
    // 1. The root tmpfs, then the one object every step works in.
    const JailRoot root = TJ_TRY(mount_root_tmpfs(root_dir));
    // 2. Its top-level directories.
    TJ_TRY(make_root_dirs(root));
    // 3. System directories, read-only.
    TJ_TRY(bind_system_dirs(root));
    // 4. A fresh /tmp.
    TJ_TRY(mount_fresh_tmp(root));
    // 5. Tool paths, read-only.
    TJ_TRY(bind_tool_paths(policy, paths, root));
    // 6. Device nodes and /dev/shm.
    TJ_TRY(populate_dev(policy, paths, root));
    // 7. Grants outside the working directory.
    TJ_TRY(bind_grant_pass(policy, paths, root, false));
    // 8. The working directory, writable.
    TJ_TRY(bind_working_dir(paths, root, policy.cwd));
    // 9. Grants inside it, on top of it.
    TJ_TRY(bind_grant_pass(policy, paths, root, true));
    // 10. Protected paths, then hidden paths, then their parents pinned.
    auto protected_paths = TJ_TRY(protect_paths_pass(policy, paths, root));
    TJ_TRY(mask_hidden_paths(policy, paths, root));
    TJ_TRY(pin_parents(policy, root, guarded_paths(policy, std::move(protected_paths))));
    // 11. Into the new root; a fresh /proc; the host's tree detached.
    return enter_root(root, policy.cwd);
}

}  // namespace tj
