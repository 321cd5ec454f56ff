// The process calls behind the serve loop's status and stop requests.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "reply.hpp"

namespace tj {

struct StatusOutcome {
    std::optional<std::string> error;  // errno text of a failed query
    std::optional<int> returncode;     // the end's code once collected
    bool running = false;
    bool gone = false;  // collected now, or not (or no longer) a child of the server

    std::vector<ReplyField> fields() const;
};

// One non-blocking wait for `pid` alone; collects its end if it has come.
StatusOutcome query_status(pid_t pid);

struct StopOutcome {
    std::optional<std::string> error;  // errno text, or the five-second complaint
    std::optional<int> returncode;     // null when the status had no code
    bool stopped = false;
    bool gone = false;  // collected now, or not (or no longer) a child of the server

    // `survivors` is given only inside the jail.
    std::vector<ReplyField> fields(const std::optional<std::vector<pid_t>>& survivors) const;
};

// SIGKILL to the process group of child `pid`, then up to five seconds for
// its end, which is collected. Sends nothing to a pid that is not a child.
StopOutcome stop_child(pid_t pid);

}  // namespace tj
