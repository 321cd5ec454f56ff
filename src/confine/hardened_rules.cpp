#include "confine/hardened_rules.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <memory>
#include <unordered_set>

#include <fmt/core.h>

#include "confine/hardened_paths.hpp"
#include "path_util.hpp"
#include "status_record.hpp"

namespace tj {

using namespace landlock;
using hardened::ProtectedSet;
using hardened::WalkChoice;

namespace {

constexpr const char* kReadableDevices[] = {"null", "zero", "urandom", "random", "full"};
constexpr const char* kWritableDevices[] = {"null", "zero", "full"};

std::string canonical_or_self(const std::string& path) {
    auto canonical = canonicalize(path);
    return canonical ? *canonical : path;
}

bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

ProtectedSet build_protected_set(const std::vector<std::string>& paths) {
    std::vector<std::string> members;
    for (const auto& path : paths) members.push_back(canonical_or_self(path));
    return ProtectedSet(members);
}

// The names in `dir`, all of them or an error: a walk must not grant half a
// directory and call it done.
Result<std::vector<std::string>> list_directory(const std::string& dir) {
    std::unique_ptr<DIR, int (*)(DIR*)> handle(::opendir(dir.c_str()), &::closedir);
    if (!handle) return fail_system();
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

// Grants read-write on everything below `dir` but the protected paths, which
// keep the read-only rights of the working directory's rule.
class ProtectedWalk {
  public:
    ProtectedWalk(const ProtectedSet& protected_set, std::string root, const NoticeSink& notice,
                  std::vector<RuleRow>& rows)
        : protected_(protected_set), root_(std::move(root)), notice_(notice), rows_(rows) {
        walked_.insert(root_);
    }

    void walk(const std::string& dir) {
        auto names = list_directory(dir);
        if (!names) {
            notice_(fmt::format("tarrow-jail: hardened: no rw grants under {} (read_dir: {})\n",
                                dir, names.error().text));
            return;
        }
        for (const auto& name : *names) visit(path_join(dir, name));
    }

  private:
    void visit(const std::string& entry) {
        std::string canonical = canonical_or_self(entry);
        bool directory = is_directory(canonical);
        switch (hardened::classify_walk_entry(entry, canonical, directory, protected_, root_)) {
            case WalkChoice::Skip:
                return;
            case WalkChoice::Outside:
                note_skipped("cwd", entry, "outside cwd");
                notice_(fmt::format(
                    "tarrow-jail: hardened: skipping rw grant on {} (resolves outside cwd to {})\n",
                    entry, canonical));
                return;
            case WalkChoice::Descend:
                // A link back to a directory already walked would repeat that
                // walk once per link and level: everything below it has its
                // rules already.
                if (walked_.insert(canonical).second) walk(entry);
                return;
            case WalkChoice::Grant:
                rows_.push_back({entry, FS_RW, "rule rw " + entry});
                return;
        }
    }

    const ProtectedSet& protected_;
    std::string root_;
    const NoticeSink& notice_;
    std::vector<RuleRow>& rows_;
    std::unordered_set<std::string> walked_;  // canonical forms
};

void add_cwd_rows(const std::string& cwd, const ProtectedSet& protected_set,
                  const NoticeSink& notice, std::vector<RuleRow>& rows) {
    if (!hardened::cwd_needs_walk(protected_set, cwd)) {
        rows.push_back({cwd, FS_RW, "rule rw cwd " + cwd});
        return;
    }
    rows.push_back({cwd, FS_RX, "rule r cwd " + cwd});
    ProtectedWalk(protected_set, cwd, notice, rows).walk(cwd);
}

Result<> add_device_rows(const std::vector<std::string>& devices, std::vector<RuleRow>& rows) {
    for (const auto& dev : devices) {
        struct stat st;
        if (::stat(dev.c_str(), &st) != 0)
            return fail(fmt::format("extra_device path {} is not present on the host: {}", dev,
                                    system_error_text(errno)),
                        errno);
        if (!S_ISCHR(st.st_mode) && !S_ISBLK(st.st_mode))
            return fail(
                fmt::format("extra_device path {} is not a character or block device", dev));
        rows.push_back({dev, FS_DEV, "rule dev " + dev});
    }
    return {};
}

void add_rw_rows(const std::vector<std::string>& entries, const ProtectedSet& protected_set,
                 const NoticeSink& notice, std::vector<RuleRow>& rows) {
    for (const auto& entry : entries) {
        if (protected_set.any_under(canonical_or_self(entry))) {
            note_skipped("extra_rw_paths", entry, "would shadow a protected path");
            notice(fmt::format(
                "tarrow-jail: hardened: skipping rw grant on {} (would shadow a protect_path)\n",
                entry));
            continue;
        }
        rows.push_back({entry, FS_RW, "rule rw " + entry});
    }
}

void add_standard_device_rows(std::vector<RuleRow>& rows) {
    for (const char* name : kReadableDevices) {
        std::string dev = fmt::format("/dev/{}", name);
        rows.push_back({dev, FS_READ, "rule " + dev});
    }
    for (const char* name : kWritableDevices) {
        std::string dev = fmt::format("/dev/{}", name);
        rows.push_back({dev, FS_WRITE, "rule " + dev});
    }
}

}  // namespace

Result<std::vector<RuleRow>> hardened_rule_rows(const Policy& policy, const NoticeSink& notice) {
    std::vector<RuleRow> rows;
    ProtectedSet protected_set = build_protected_set(policy.extra_protect_paths);
    add_cwd_rows(policy.cwd, protected_set, notice, rows);
    std::vector<std::string> rw = hardened::rw_list(policy);
    TJ_TRY(add_device_rows(policy.extra_device_paths, rows));
    add_rw_rows(rw, protected_set, notice, rows);
    for (const auto& entry : hardened::ro_list(policy))
        rows.push_back({entry, FS_RX, "rule ro " + entry});
    add_standard_device_rows(rows);
    return rows;
}

Result<EnforcementOutcome> restrict_hardened(Ruleset& ruleset, const Policy& policy,
                                             const NoticeSink& notice) {
    std::vector<RuleRow> rows = TJ_TRY(hardened_rule_rows(policy, notice));
    TJ_TRY(add_rule_rows(ruleset, rows));
    EnforcementOutcome outcome = TJ_TRY(finish_ruleset(ruleset));
    if (outcome.enforcement == Enforcement::Unenforced)
        return fail(
            "hardened isolation requires Landlock, but the kernel enforced no ruleset (Landlock "
            "unavailable); refusing to run unconfined");
    return outcome;
}

}  // namespace tj
