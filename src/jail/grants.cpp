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

std::string grant_label(const std::string& grant, const std::string& source, bool read_only) {
    std::string suffix = source == grant ? "" : fmt::format(" (bound from {})", source);
    return fmt::format("{} grant {}{}", read_only ? "read" : "write", grant, suffix);
}

// The mount point of a grant: what stands there, or a new directory or empty
// file shaped like the source. Nothing (and no error) for a link a read grant
// meets; the link reason for a write grant.
Result<std::optional<UniqueFd>> grant_mount_point(const struct stat& source, int root_fd,
                                                  const std::string& rel, bool read_only) {
    auto st = lstat_beneath(root_fd, rel);
    bool link = (st && S_ISLNK(st->st_mode)) || (!st && st.error().err == ELOOP);
    std::optional<UniqueFd> existing;
    if (st && !link) {
        // A link may have been swapped in since the look.
        auto opened = open_beneath(root_fd, rel);
        if (opened)
            existing = std::move(*opened);
        else if (opened.error().err == ELOOP)
            link = true;
        else
            return std::unexpected(std::move(opened.error()).wrap("mount point"));
    }
    if (link) {
        if (read_only) return std::optional<UniqueFd>();
        return fail(std::string(kLinkReason));
    }
    if (existing) return existing;
    if (st.error().err != ENOENT)
        return std::unexpected(
            Error{st.error().err, system_error_text(st.error().err)}.wrap("mount point"));
    auto made =
        S_ISDIR(source.st_mode) ? make_dirs_beneath(root_fd, rel) : make_file_beneath(root_fd, rel);
    if (!made) return std::unexpected(std::move(made.error()).wrap("mount point"));
    return std::optional<UniqueFd>(std::move(*made));
}

Result<> bind_grant_checked(const std::string& grant, const HostObject& source, int root_fd,
                            bool read_only) {
    if (path_equal(grant, "/")) return fail(std::string(kRootReason));
    if (path_equal(grant, "/dev")) return fail(std::string(kDevReason));
    auto target = TJ_TRY(grant_mount_point(source.st, root_fd, beneath_path(grant), read_only));
    if (!target) return {};
    return bind_tree_at(source.fd.get(), target->get(), read_only);
}

Result<> bind_list(const Policy& policy, const HostPaths& paths, const JailRoot& root,
                   bool under_cwd, bool read_only) {
    const auto& list = read_only ? policy.extra_ro_paths : policy.extra_rw_paths;
    const std::string_view key = read_only ? "extra_ro_paths" : "extra_rw_paths";
    for (const auto& path : list) {
        if (path_under(path, policy.cwd) != under_cwd) continue;
        auto source = TJ_TRY(open_grant_source(policy, paths, path, read_only, key));
        if (!source) continue;
        if (is_under_system_dir(path)) {
            if (read_only) {
                note_skipped(key, path, "under a system directory");
                continue;
            }
            return fail(fmt::format("write grant {} sits under a read-only system mount", path));
        }
        TJ_TRY(bind_grant(path, grant_source_for(path, policy).value_or(path), *source, root,
                          read_only));
    }
    return {};
}

}  // namespace

Result<std::optional<HostObject>> open_grant_source(const Policy& policy, const HostPaths& paths,
                                                    const std::string& grant, bool read_only,
                                                    std::string_view record_key) {
    std::string source = grant_source_for(grant, policy).value_or(grant);
    auto opened = paths.open(source);
    if (opened) return std::optional<HostObject>(std::move(*opened));
    // A link inside a tree a command can write: a command chose where it leads.
    const bool link = opened.error().err == ELOOP;
    if (link && !read_only)
        return fail(grant_label(grant, source, read_only) + ": " + std::string(kLinkReason));
    if (!record_key.empty())
        note_skipped(record_key, grant, link ? "symbolic link in a writable tree" : "missing");
    return std::optional<HostObject>();
}

Result<> bind_grant(const std::string& grant, const std::string& source_path,
                    const HostObject& source, const JailRoot& root, bool read_only) {
    auto bound = bind_grant_checked(grant, source, root.fd.get(), read_only);
    if (bound) return {};
    return std::unexpected(
        std::move(bound.error()).wrap(grant_label(grant, source_path, read_only)));
}

Result<> bind_grant_pass(const Policy& policy, const HostPaths& paths, const JailRoot& root,
                         bool under_cwd) {
    TJ_TRY(bind_list(policy, paths, root, under_cwd, true));
    return bind_list(policy, paths, root, under_cwd, false);
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
