// Path comparison by components, and canonicalization.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <cstdint>

#include "error.hpp"
#include "unique_fd.hpp"

namespace tj {

// Components of a path: repeated and trailing separators do not matter, "."
// components after the first are dropped, ".." is kept as written. An absolute
// path's first component is "/".
std::vector<std::string_view> path_components(std::string_view path);

bool path_equal(std::string_view a, std::string_view b);
// True when `base`'s components are a prefix of `path`'s, equality included.
bool path_under(std::string_view path, std::string_view base);
// The components of `path` after those of `base`, joined by "/" ("" when equal).
// Only meaningful when path_under(path, base).
std::string path_remainder(std::string_view path, std::string_view base);
// `base` joined with a relative remainder; `base` itself when the remainder is empty.
std::string path_join(std::string_view base, std::string_view rest);

// openat2(2) of `path` relative to `dirfd` with `flags` (close-on-exec added)
// and `resolve` (RESOLVE_* bits); a lookup the kernel asks to retry is
// retried. glibc has no wrapper for it. Errors carry the errno.
Result<UniqueFd> open_resolved(int dirfd, const std::string& path, int flags, uint64_t resolve);

// Absolute, links resolved, every component must exist. Errors carry the
// system error text.
Result<std::string> canonicalize(const std::string& path);

// Where `path` is, or would be once created: its longest existing prefix
// canonicalized, with the rest of its components appended as written. A link
// or ".." in the existing part cannot make two spellings of one place differ.
// `path` itself when not even its first component resolves.
std::string real_place(const std::string& path);

}  // namespace tj
