#include "policy_intake.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <unistd.h>

#include <algorithm>

#include <fmt/core.h>

#include "line_reader.hpp"
#include "path_util.hpp"
#include "unique_fd.hpp"
#include "utf8.hpp"

namespace tj {
namespace {

bool contains_path(const std::vector<std::string>& list, const std::string& path) {
    return std::any_of(list.begin(), list.end(),
                       [&](const std::string& p) { return path_equal(p, path); });
}

Result<> check_list(std::string_view name, const std::vector<std::string>& list) {
    for (const auto& entry : list)
        if (!entry.starts_with('/'))
            return fail(fmt::format("{} entry \"{}\" is not an absolute path", name, entry));
    return {};
}

Result<> check_pairs(std::string_view name, const StringPairs& pairs) {
    for (const auto& [grant, source] : pairs) TJ_TRY(check_list(name, {grant, source}));
    return {};
}

}  // namespace

Result<> check_absolute_paths(const Policy& policy) {
    TJ_TRY(check_list("extra_ro_paths", policy.extra_ro_paths));
    TJ_TRY(check_list("extra_rw_paths", policy.extra_rw_paths));
    TJ_TRY(check_pairs("grant_sources", policy.grant_sources));
    TJ_TRY(check_list("extra_device_paths", policy.extra_device_paths));
    TJ_TRY(check_list("tool_paths", policy.tool_paths));
    TJ_TRY(check_list("hide_paths", policy.hide_paths));
    return check_list("extra_protect_paths", policy.extra_protect_paths);
}

Result<> enter_workspace(const std::string& canonical_cwd) {
    auto workspace =
        open_resolved(AT_FDCWD, canonical_cwd, O_PATH | O_DIRECTORY, RESOLVE_NO_SYMLINKS);
    if (!workspace) return fail_system(workspace.error().err);
    if (fchdir(workspace->get()) != 0) return fail_system();
    return {};
}

Result<std::string> read_policy_line(std::optional<int> policy_fd) {
    std::optional<std::string> line;
    if (policy_fd) {
        UniqueFd owned(*policy_fd);
        LineReader reader(*policy_fd);
        line = TJ_TRY(reader.read_line());
    } else {
        line = TJ_TRY(stdin_reader().read_line());
    }
    if (!line || !valid_utf8(*line) || is_blank(*line)) return fail("blank or not UTF-8");
    return *line;
}

void widen_hide_paths(Policy& policy) {
    const std::vector<std::string> before = policy.hide_paths;
    for (const auto& hide : before) {
        auto canonical = canonicalize(hide);
        if (canonical && !contains_path(before, *canonical))
            policy.hide_paths.push_back(*canonical);
    }
    const std::vector<std::string> widened = policy.hide_paths;
    std::vector<std::string> translated;
    for (const auto& hide : widened) {
        for (const auto& [grant, source] : policy.grant_sources) {
            if (!path_under(hide, source)) continue;
            std::string path = path_join(grant, path_remainder(hide, source));
            if (!contains_path(widened, path)) translated.push_back(path);
        }
    }
    policy.hide_paths.insert(policy.hide_paths.end(), translated.begin(), translated.end());
}

}  // namespace tj
