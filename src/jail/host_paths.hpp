// Host paths the root assembly binds, each resolved once into a descriptor
// that is checked and then cloned: no path text reaches a mount call after
// its check. The working directory and the write grants are trees jailed
// commands can write (now, from a sibling jail, or in an earlier run), so a
// symbolic link met inside one of them is never followed; links elsewhere
// (the supervisor's own trees) are followed as a lookup by name would.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "error.hpp"
#include "policy.hpp"
#include "unique_fd.hpp"

namespace tj {

struct HostObject {
    UniqueFd fd;            // O_PATH
    struct stat st {};      // of the object behind fd
    std::string canonical;  // the path it was reached by, links resolved
};

class HostPaths {
  public:
    // Takes the working directory from the process's own working directory,
    // where start-up put it, and the policy's writable trees.
    static Result<HostPaths> for_policy(const Policy& policy);

    // Resolves `path`. Fails with ELOOP when a link stands inside a writable
    // tree on the way (the final component included), and with the errno of
    // the failed lookup otherwise. With `follow_last` false, a final link
    // outside the writable trees is returned as the link.
    Result<HostObject> open(const std::string& path, bool follow_last = true) const;

    // The working directory, as start-up opened it.
    int workspace_fd() const { return workspace_.get(); }

    // True when `path` lies in a tree jailed commands can write.
    bool writable(const std::string& path) const;

  private:
    UniqueFd workspace_;
    std::string cwd_;
    std::vector<std::string> writable_;
};

}  // namespace tj
