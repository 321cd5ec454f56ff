// The rule roots of a hardened run, carved around hidden and protected paths.
// A root that holds such a path is walked down to it, one directory entry at a
// time: each entry is opened once, relative to its parent's descriptor and
// without following a link, checked through that descriptor, and its rule is
// added on that same descriptor. A command's earlier runs, or a host process
// now, may rename and swap entries at will: no path is looked up twice.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "confine/hardened_paths.hpp"
#include "confine/landlock_rules.hpp"
#include "error.hpp"

namespace tj {

// Receives each "tarrow-jail: hardened: ..." notice, newline included.
using NoticeSink = std::function<void(std::string_view)>;

namespace hardened {

// Receives each rule with the descriptor it goes on (owned by the caller), or
// -1 for a root that could not be opened: it gets no rule.
using RuleSink = std::function<Result<>(const RuleRow& row, int fd)>;

// What a file found on the way to the hidden and protected paths is, by its
// identity: a path swapped in by name under another name is still known.
enum Role : unsigned {
    kHidden = 1,
    kProtected = 2,
    kTowardHidden = 4,     // a directory above a hidden path
    kTowardProtected = 8,  // a directory above a protected path
};

class Roles {
  public:
    // Opens every existing component of each member, from "/" down, without
    // following links.
    Roles(const PathSet& hidden, const PathSet& protected_set);
    unsigned of(dev_t dev, ino_t ino) const;

  private:
    void record(const std::string& path, Role self, Role above);
    std::map<std::pair<dev_t, ino_t>, unsigned> roles_;
};

// One rule root: the rule on the root itself, and the access below it.
struct Root {
    RuleRow row;                   // path, access of the root's own rule, label
    landlock::AccessFs below;      // the access its entries get
    std::string kind;              // "rw", "ro", "dev" or "": entry labels are "rule {kind} {path}"
    bool carve_protected = false;  // the working directory: protected paths stay read-only
    bool regrant = false;          // a grant: granted again inside a hidden path
};

class Walker {
  public:
    Walker(const PathSet& hidden, const PathSet& protected_set, const Roles& roles,
           const NoticeSink& notice, const RuleSink& sink)
        : hidden_(hidden), protected_(protected_set), roles_(roles), notice_(notice), sink_(sink) {}

    // The root's rules: its own rule unless a hidden path lies in it, then a
    // walk down to every hidden (and, when carving, protected) path inside. A
    // root that cannot be opened gets no rule and no message.
    Result<> add_root(const Root& root);

  private:
    struct Dir {
        int fd;            // O_PATH, held by the caller
        std::string text;  // as the notices and labels show it
        std::string real;  // its real place
        landlock::AccessFs below;
        landlock::AccessFs inherited;  // rights the rules above already grant
    };
    Result<> walk(const Root& root, const Dir& dir);
    Result<> visit(const Root& root, const Dir& dir, const std::string& name);
    Result<> descend(const Root& root, const Dir& dir, const struct stat& st);
    Result<> emit(const Root& root, const std::string& text, int fd, landlock::AccessFs access,
                  landlock::AccessFs inherited);
    void link_notice(const Root& root, const std::string& text) const;

    const PathSet& hidden_;
    const PathSet& protected_;
    const Roles& roles_;
    const NoticeSink& notice_;
    const RuleSink& sink_;
    std::string root_real_;                     // the real place of the root being walked
    std::set<std::pair<dev_t, ino_t>> walked_;  // directories walked from this root
};

}  // namespace hardened
}  // namespace tj
