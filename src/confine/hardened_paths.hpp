// The path choices of hardened isolation, as pure functions over path texts:
// the protected set, source substitution, the rw and ro lists, and what the
// protected walk does with one directory entry. No file system access here.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "policy.hpp"

namespace tj::hardened {

// Paths that no writable rule may cover, compared component by component.
class ProtectedSet {
  public:
    ProtectedSet() = default;
    // `members`: the canonical forms of the protected paths (as written where
    // they could not be canonicalized).
    explicit ProtectedSet(const std::vector<std::string>& members);

    bool empty() const { return members_.empty(); }
    // `path` is a member.
    bool contains(std::string_view path) const;
    // `path` lies under a member (or is one).
    bool covers(std::string_view path) const;
    // A member lies under `path` (or is it).
    bool any_under(std::string_view path) const;
    const std::unordered_set<std::string>& members() const { return members_; }

  private:
    std::unordered_set<std::string> members_;  // normal forms
};

// Hidden paths are held the same way.
using PathSet = ProtectedSet;

// The entry, or the source of the first grant_sources pair whose grant path
// equals it: hardened runs on the host tree, so a grant reaches its source.
const std::string& substitute_source(const std::string& entry, const StringPairs& grant_sources);

// "/tmp", then the read-write grants (source-substituted).
std::vector<std::string> rw_list(const Policy& policy);
// The system directories, the read-only grants (source-substituted), the tool paths.
std::vector<std::string> ro_list(const Policy& policy);

// Whether the working directory is granted read-only and walked rather than
// granted read-write as a whole: only when a protected path lies inside it, or
// it lies inside a protected path.
bool cwd_needs_walk(const ProtectedSet& protected_set, std::string_view cwd);

enum class WalkChoice {
    Skip,     // protected, or inside a protected path: silently no rule
    Outside,  // resolves outside the walk's root: notice, no rule
    Descend,  // a directory holding a protected path: walk it instead
    Grant,    // read-write rule on the entry
};

// What the protected walk does with entry `entry`, whose canonical form is
// `canonical` (the entry itself when that failed).
WalkChoice classify_walk_entry(std::string_view entry, std::string_view canonical,
                               bool canonical_is_directory, const ProtectedSet& protected_set,
                               std::string_view root);

}  // namespace tj::hardened
