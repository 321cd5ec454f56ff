#include "jail/grants.hpp"

#include <sys/mount.h>
#include <sys/stat.h>

#include <fmt/core.h>

#include "jail/attach.hpp"
#include "jail/beneath.hpp"
#include "jail/layout.hpp"
#include "path_util.hpp"
#include "status_record.hpp"

namespace tj {
namespace {

constexpr std::string_view kRootReason =
    "the root directory cannot be granted: bound over the jail's own root it would replace every "
    "mount the sandbox is made of. Grant the directories a command needs.";
constexpr std::string_view kDevReason =
    "/dev cannot be granted: bound over the jail's device nodes it opens none of them, and no "
    "command could start. Name a device in sandbox.extra_device_paths.";
constexpr std::string_view kLinkReason =
    "a symbolic link is already at its mount point, inside an earlier grant, and no mount goes "
    "through a link. Grant the link's target.";

bool is_directory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The mount point of a grant: what stands there, or a new directory or empty
// file shaped like the source. Nothing (and no error) for a link a read grant
// meets; the link reason for a write grant.
Result<std::optional<UniqueFd>> grant_mount_point(const std::string& source, int root_fd,
                                                  const std::string& rel, bool read_only) {
    auto st = lstat_beneath(root_fd, rel);
    bool link = (st && S_ISLNK(st->st_mode)) || (!st && st.error().err == ELOOP);
    if (link) {
        if (read_only) return std::optional<UniqueFd>();
        return fail(std::string(kLinkReason));
    }
    if (st) return std::optional<UniqueFd>(TJ_TRY_AS("mount point", open_beneath(root_fd, rel)));
    if (st.error().err != ENOENT)
        return std::unexpected(
            Error{st.error().err, system_error_text(st.error().err)}.wrap("mount point"));
    auto made =
        is_directory(source) ? make_dirs_beneath(root_fd, rel) : make_file_beneath(root_fd, rel);
    if (!made) return std::unexpected(std::move(made.error()).wrap("mount point"));
    return std::optional<UniqueFd>(std::move(*made));
}

Result<> bind_grant_checked(const std::string& grant, const std::string& source, int root_fd,
                            bool read_only) {
    if (path_equal(grant, "/")) return fail(std::string(kRootReason));
    if (path_equal(grant, "/dev")) return fail(std::string(kDevReason));
    auto target = TJ_TRY(grant_mount_point(source, root_fd, beneath_path(grant), read_only));
    if (!target) return {};
    return bind_tree_at(source, target->get(), read_only);
}

Result<> bind_list(const Policy& policy, int root_fd, bool under_cwd, bool read_only) {
    const auto& list = read_only ? policy.extra_ro_paths : policy.extra_rw_paths;
    const std::string_view key = read_only ? "extra_ro_paths" : "extra_rw_paths";
    for (const auto& path : list) {
        if (path_under(path, policy.cwd) != under_cwd) continue;
        std::string source = grant_source_for(path, policy).value_or(path);
        if (!exists(source)) {
            note_skipped(key, path, "missing");
            continue;
        }
        if (is_under_system_dir(path)) {
            if (read_only) {
                note_skipped(key, path, "under a system directory");
                continue;
            }
            return fail(fmt::format("write grant {} sits under a read-only system mount", path));
        }
        TJ_TRY(bind_grant(path, source, root_fd, read_only));
    }
    return {};
}

}  // namespace

Result<> bind_grant(const std::string& grant, const std::string& source, int root_fd,
                    bool read_only) {
    auto bound = bind_grant_checked(grant, source, root_fd, read_only);
    if (bound) return {};
    std::string suffix = source == grant ? "" : fmt::format(" (bound from {})", source);
    return std::unexpected(
        std::move(bound.error())
            .wrap(fmt::format("{} grant {}{}", read_only ? "read" : "write", grant, suffix)));
}

Result<> bind_grant_pass(const Policy& policy, const std::string& root, bool under_cwd) {
    UniqueFd root_fd = TJ_TRY(open_jail_root(root));
    TJ_TRY(bind_list(policy, root_fd.get(), under_cwd, true));
    return bind_list(policy, root_fd.get(), under_cwd, false);
}

std::optional<std::string> grant_source_for(const std::string& grant, const Policy& policy) {
    for (const auto& [g, source] : policy.grant_sources)
        if (path_equal(g, grant)) return source;
    return std::nullopt;
}

bool is_under_system_dir(const std::string& path) {
    for (auto dir : kSystemDirs)
        if (path_under(path, dir)) return true;
    return false;
}

}  // namespace tj
