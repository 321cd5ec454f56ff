#include "jail/host_paths.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <deque>

#include "jail/grants.hpp"
#include "jail/mount_points.hpp"
#include "path_util.hpp"

namespace tj {
namespace {

// The kernel's own bound on links in one lookup.
constexpr int kMaxLinks = 40;

Result<HostObject> open_object(int dir, const std::string& name) {
    HostObject obj;
    obj.fd.reset(openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!obj.fd) return fail_errno();
    if (fstat(obj.fd.get(), &obj.st) != 0) return fail_errno();
    return obj;
}

Result<HostObject> dup_object(int fd) {
    HostObject obj;
    obj.fd.reset(fcntl(fd, F_DUPFD_CLOEXEC, 3));
    if (!obj.fd || fstat(obj.fd.get(), &obj.st) != 0) return fail_errno();
    return obj;
}

// The host root, where every lookup starts and an absolute link restarts.
Result<HostObject> open_host_root() {
    HostObject root = TJ_TRY(open_object(AT_FDCWD, "/"));
    // Appended, not assigned from a literal: that assignment, inlined into the
    // lookup loop, trips a false -Wrestrict of g++ 12 in optimised builds.
    root.canonical.push_back('/');
    return root;
}

Result<std::string> link_text(int fd) {
    std::string text(4096, '\0');
    ssize_t n = readlinkat(fd, "", text.data(), text.size());
    if (n < 0) return fail_errno();
    text.resize(static_cast<size_t>(n));
    return text;
}

void push_front(std::deque<std::string>& todo, std::string_view path) {
    auto parts = path_components(path);
    for (auto it = parts.rbegin(); it != parts.rend(); ++it)
        if (*it != "/") todo.emplace_front(*it);
}

}  // namespace

Result<HostPaths> HostPaths::for_policy(const Policy& policy) {
    HostPaths paths;
    paths.workspace_.reset(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!paths.workspace_) return fail_system();
    paths.cwd_ = policy.cwd;
    paths.writable_.push_back(policy.cwd);
    for (const auto& grant : policy.extra_rw_paths) {
        std::string source = grant_source_for(grant, policy).value_or(grant);
        for (const auto& root : {grant, source}) {
            paths.writable_.push_back(root);
            // The canonical form too: it can only add trees, never remove one.
            if (auto canonical = canonicalize(root)) paths.writable_.push_back(*canonical);
        }
    }
    return paths;
}

bool HostPaths::writable(const std::string& path) const {
    return std::any_of(writable_.begin(), writable_.end(),
                       [&](const std::string& root) { return path_under(path, root); });
}

Result<HostObject> HostPaths::open(const std::string& path, bool follow_last) const {
    std::deque<std::string> todo;
    push_front(todo, path);
    HostObject at = TJ_TRY(open_host_root());
    int links = 0;
    while (!todo.empty()) {
        std::string name = std::move(todo.front());
        todo.pop_front();
        const bool guarded = writable(at.canonical);
        if (name == "..") {
            // A writable tree can be moved under the lookup; ".." would follow it.
            if (guarded) return fail_errno(ELOOP);
            HostObject up = TJ_TRY(open_object(at.fd.get(), ".."));
            up.canonical = parent_dir(at.canonical);
            at = std::move(up);
            continue;
        }
        std::string next = path_join(at.canonical, name);
        HostObject obj = path_equal(next, cwd_) ? TJ_TRY(dup_object(workspace_.get()))
                                                : TJ_TRY(open_object(at.fd.get(), name));
        if (S_ISLNK(obj.st.st_mode) && (follow_last || !todo.empty())) {
            if (guarded) return fail_errno(ELOOP);
            if (++links > kMaxLinks) return fail_errno(EMLINK);
            std::string target = TJ_TRY(link_text(obj.fd.get()));
            push_front(todo, target);
            if (target.starts_with('/')) at = TJ_TRY(open_host_root());
            continue;
        }
        if (!todo.empty() && !S_ISDIR(obj.st.st_mode)) return fail_errno(ENOTDIR);
        obj.canonical = std::move(next);
        at = std::move(obj);
    }
    return at;
}

}  // namespace tj
