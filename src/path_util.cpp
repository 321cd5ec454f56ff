#include "path_util.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>

#include <climits>
#include <cstdlib>

#include <memory>

namespace tj {

std::vector<std::string_view> path_components(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t i = 0;
    if (!path.empty() && path[0] == '/') {
        parts.push_back(path.substr(0, 1));
        i = 1;
    }
    while (i < path.size()) {
        size_t end = path.find('/', i);
        if (end == std::string_view::npos) end = path.size();
        std::string_view part = path.substr(i, end - i);
        if (!part.empty() && !(part == "." && !parts.empty())) parts.push_back(part);
        i = end + 1;
    }
    return parts;
}

bool path_equal(std::string_view a, std::string_view b) {
    return path_components(a) == path_components(b);
}

bool path_under(std::string_view path, std::string_view base) {
    auto p = path_components(path);
    auto b = path_components(base);
    if (b.size() > p.size()) return false;
    for (size_t i = 0; i < b.size(); ++i)
        if (p[i] != b[i]) return false;
    return true;
}

std::string path_remainder(std::string_view path, std::string_view base) {
    auto p = path_components(path);
    size_t skip = path_components(base).size();
    std::string out;
    for (size_t i = skip; i < p.size(); ++i) {
        if (!out.empty()) out += '/';
        out += p[i];
    }
    return out;
}

std::string path_join(std::string_view base, std::string_view rest) {
    std::string out(base);
    if (rest.empty()) return out;
    if (out.empty() || out.back() != '/') out += '/';
    out += rest;
    return out;
}

Result<UniqueFd> open_resolved(int dirfd, const std::string& path, int flags, uint64_t resolve) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags) | O_CLOEXEC;
    how.resolve = resolve;
    int fd;
    do {
        fd = static_cast<int>(syscall(SYS_openat2, dirfd, path.c_str(), &how, sizeof how));
    } while (fd < 0 && errno == EAGAIN);
    if (fd < 0) return fail_errno();
    return UniqueFd(fd);
}

Result<std::string> canonicalize(const std::string& path) {
    std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
    if (!resolved) return fail_system();
    return std::string(resolved.get());
}

std::string real_place(const std::string& path) {
    auto parts = path_components(path);
    for (size_t keep = parts.size(); keep > 0; --keep) {
        std::string prefix;
        for (size_t i = 0; i < keep; ++i)
            prefix = i == 0 ? std::string(parts[0]) : path_join(prefix, parts[i]);
        auto canonical = canonicalize(prefix);
        if (!canonical) continue;
        std::string out = std::move(*canonical);
        for (size_t i = keep; i < parts.size(); ++i) out = path_join(out, parts[i]);
        return out;
    }
    return path;
}

}  // namespace tj
