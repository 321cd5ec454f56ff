#include "confine/hardened_walk.hpp"

#include <dirent.h>
#include <fcntl.h>

#include <memory>

#include <fmt/core.h>

#include "path_util.hpp"
#include "status_record.hpp"

namespace tj::hardened {

using namespace landlock;

namespace {

constexpr int kPathFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;

// The names in the directory open at `fd` (taken over), all of them or an
// error: a walk must not grant half a directory and call it done.
Result<std::vector<std::string>> list_directory(UniqueFd fd) {
    if (!fd) return fail_system();
    std::unique_ptr<DIR, int (*)(DIR*)> handle(::fdopendir(fd.get()), &::closedir);
    if (!handle) return fail_system();
    fd.release();
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(handle.get());
        if (entry == nullptr) break;
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    if (errno != 0) return fail_system();
    return names;
}

// A directory to list, reopened through its O_PATH descriptor: the same inode.
UniqueFd reopen_for_listing(int path_fd) {
    return UniqueFd(::openat(path_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Where the open file is: what the kernel resolved, not a second lookup of
// the path. Falls back to the path's real place without /proc.
std::string real_place_of(int fd, const std::string& path) {
    char buf[4096];
    const std::string link = fmt::format("/proc/self/fd/{}", fd);
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    if (n > 0 && n < static_cast<ssize_t>(sizeof buf) && buf[0] == '/')
        return std::string(buf, static_cast<size_t>(n));
    return real_place(path);
}

std::string rule_label(const std::string& kind, const std::string& path) {
    return kind.empty() ? fmt::format("rule {}", path) : fmt::format("rule {} {}", kind, path);
}

// Strictly below: the member itself is handled as the entry it is.
bool member_below(const PathSet& set, const std::string& path) {
    return set.any_under(path) && !set.contains(path);
}

}  // namespace

Roles::Roles(const PathSet& hidden, const PathSet& protected_set) {
    for (const auto& member : hidden.members()) record(member, kHidden, kTowardHidden);
    for (const auto& member : protected_set.members()) record(member, kProtected, kTowardProtected);
}

void Roles::record(const std::string& path, Role self, Role above) {
    auto parts = path_components(path);
    if (parts.empty() || parts[0] != "/") return;
    UniqueFd fd(::open("/", kPathFlags));
    for (size_t i = 0; fd; ++i) {
        struct stat st;
        if (::fstat(fd.get(), &st) != 0) return;
        const bool last = i + 1 == parts.size();
        roles_[{st.st_dev, st.st_ino}] |= last ? self : above;
        if (last) return;
        fd = UniqueFd(::openat(fd.get(), std::string(parts[i + 1]).c_str(), kPathFlags));
    }
}

unsigned Roles::of(dev_t dev, ino_t ino) const {
    auto it = roles_.find({dev, ino});
    return it == roles_.end() ? 0 : it->second;
}

Result<> Walker::add_root(const Root& root) {
    UniqueFd fd(::open(root.row.path.c_str(), O_PATH | O_CLOEXEC));
    struct stat st;
    // Nothing there: the row stands, with no descriptor to put a rule on.
    if (!fd || ::fstat(fd.get(), &st) != 0) return sink_(root.row, -1);
    const std::string real = real_place_of(fd.get(), root.row.path);
    const unsigned role = roles_.of(st.st_dev, st.st_ino);
    // Inside a hidden path only a grant is granted again, as the strict jail
    // binds grants again over its masks; the hidden path itself never is.
    const bool inside_hidden = hidden_.covers(real) || (role & kHidden) != 0;
    if (inside_hidden && (!root.regrant || hidden_.contains(real) || (role & kHidden) != 0))
        return {};
    const bool directory = S_ISDIR(st.st_mode);
    const bool hide_below =
        directory && (member_below(hidden_, real) || (role & kTowardHidden) != 0);
    const bool protect_below = directory && root.carve_protected &&
                               (protected_.any_under(real) || (role & kTowardProtected) != 0);
    const AccessFs own = hide_below ? 0 : root.row.access;
    if (own != 0) TJ_TRY(emit(root, root.row.path, fd.get(), own, 0));
    if (!hide_below && !protect_below) return {};

    root_real_ = real;
    walked_ = {{st.st_dev, st.st_ino}};
    return walk(root, Dir{fd.get(), root.row.path, real, root.below, own});
}

Result<> Walker::walk(const Root& root, const Dir& dir) {
    auto names = list_directory(reopen_for_listing(dir.fd));
    if (!names) {
        const std::string kind = root.kind.empty() ? "" : root.kind + " ";
        notice_(fmt::format("tarrow-jail: hardened: no {}grants under {} (read_dir: {})\n", kind,
                            dir.text, names.error().text));
        return {};
    }
    for (const auto& name : *names) TJ_TRY(visit(root, dir, name));
    return {};
}

// One entry, opened once: what it is, and so what it gets, is read through
// the descriptor the rule then goes on.
Result<> Walker::visit(const Root& root, const Dir& dir, const std::string& name) {
    Dir entry{-1, path_join(dir.text, name), path_join(dir.real, name), dir.below, dir.inherited};
    UniqueFd fd(::openat(dir.fd, name.c_str(), kPathFlags));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0) return {};  // gone since the listing
    const unsigned role = roles_.of(st.st_dev, st.st_ino);
    if (hidden_.contains(entry.real) || (role & kHidden) != 0) return {};
    if (S_ISLNK(st.st_mode)) {
        // Never followed: whatever it points at gets its own rule, or none.
        link_notice(root, entry.text);
        return {};
    }
    const bool directory = S_ISDIR(st.st_mode);
    bool toward_protected = false;
    if (root.carve_protected) {
        if (protected_.covers(entry.real) || (role & kProtected) != 0) entry.below &= FS_RX;
        toward_protected = directory && (entry.below & ~FS_RX) != 0 &&
                           (member_below(protected_, entry.real) || (role & kTowardProtected) != 0);
    }
    const bool toward_hidden =
        directory && (member_below(hidden_, entry.real) || (role & kTowardHidden) != 0);
    if (!toward_hidden && !toward_protected)
        return emit(root, entry.text, fd.get(), entry.below, dir.inherited);
    // On the way to a hidden path a directory gets nothing itself (its rights
    // would reach the hidden path); on the way to a protected one, reading.
    const AccessFs own = toward_hidden ? 0 : entry.below & FS_RX;
    TJ_TRY(emit(root, entry.text, fd.get(), own, dir.inherited));
    entry.fd = fd.get();
    entry.inherited |= own;
    return descend(root, entry, st);
}

Result<> Walker::descend(const Root& root, const Dir& dir, const struct stat& st) {
    // A bind mount can show a directory inside itself: walk each one once.
    if (!walked_.insert({st.st_dev, st.st_ino}).second) return {};
    return walk(root, dir);
}

Result<> Walker::emit(const Root& root, const std::string& text, int fd, AccessFs access,
                      AccessFs inherited) {
    if ((access & ~inherited) == 0) return {};
    return sink_(
        RuleRow{text, access, text == root.row.path ? root.row.label : rule_label(root.kind, text)},
        fd);
}

// Only the working directory's walk reports a link that leads out of it, as
// its protected walk always has.
void Walker::link_notice(const Root& root, const std::string& text) const {
    if (!root.carve_protected) return;
    auto canonical = canonicalize(text);
    const std::string target = canonical ? *canonical : text;
    struct stat st;
    const bool directory = ::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (classify_walk_entry(text, target, directory, protected_, root_real_) != WalkChoice::Outside)
        return;
    note_skipped("cwd", text, "outside cwd");
    notice_(
        fmt::format("tarrow-jail: hardened: skipping rw grant on {} (resolves outside cwd to {})\n",
                    text, target));
}

}  // namespace tj::hardened
