#include "confine/hardened_paths.hpp"

#include "path_util.hpp"

namespace tj::hardened {
namespace {

// One spelling per path, so that /a//b/ and /a/b hash alike.
std::string normal_form(std::string_view path) {
    std::string out;
    for (std::string_view part : path_components(path)) {
        if (!out.empty() && out != "/") out += '/';
        out += part;
    }
    return out;
}

constexpr const char* kSystemDirs[] = {"/usr", "/bin", "/sbin", "/lib", "/lib64", "/etc"};

}  // namespace

ProtectedSet::ProtectedSet(const std::vector<std::string>& members) {
    for (const auto& member : members) members_.insert(normal_form(member));
}

bool ProtectedSet::contains(std::string_view path) const {
    return members_.contains(normal_form(path));
}

bool ProtectedSet::covers(std::string_view path) const {
    for (const auto& member : members_)
        if (path_under(path, member)) return true;
    return false;
}

bool ProtectedSet::any_under(std::string_view path) const {
    for (const auto& member : members_)
        if (path_under(member, path)) return true;
    return false;
}

const std::string& substitute_source(const std::string& entry, const StringPairs& grant_sources) {
    for (const auto& [grant, source] : grant_sources)
        if (path_equal(entry, grant)) return source;
    return entry;
}

std::vector<std::string> rw_list(const Policy& policy) {
    std::vector<std::string> list = {"/tmp"};
    for (const auto& entry : policy.extra_rw_paths)
        list.push_back(substitute_source(entry, policy.grant_sources));
    return list;
}

std::vector<std::string> ro_list(const Policy& policy) {
    std::vector<std::string> list(std::begin(kSystemDirs), std::end(kSystemDirs));
    for (const auto& entry : policy.extra_ro_paths)
        list.push_back(substitute_source(entry, policy.grant_sources));
    list.insert(list.end(), policy.tool_paths.begin(), policy.tool_paths.end());
    return list;
}

bool cwd_needs_walk(const ProtectedSet& protected_set, std::string_view cwd) {
    return protected_set.any_under(cwd) || protected_set.covers(cwd);
}

WalkChoice classify_walk_entry(std::string_view entry, std::string_view canonical,
                               bool canonical_is_directory, const ProtectedSet& protected_set,
                               std::string_view root) {
    if (protected_set.contains(entry) || protected_set.covers(canonical)) return WalkChoice::Skip;
    if (!path_under(canonical, root)) return WalkChoice::Outside;
    if (canonical_is_directory && protected_set.any_under(canonical)) return WalkChoice::Descend;
    return WalkChoice::Grant;
}

}  // namespace tj::hardened
