#include "run_mode.hpp"

#include <unistd.h>

#include "exec/children.hpp"
#include "exec/run_foreground.hpp"
#include "exec/run_group.hpp"
#include "exec/run_once.hpp"
#include "fatal.hpp"
#include "serve/serve_loop.hpp"
#include "status_record.hpp"

namespace tj {

void run_mode(const Policy& policy, bool in_jail, std::optional<int> interrupt_fd) {
    // What the isolation path put in place, before anything runs.
    StatusRecord& record = status_record();
    record.cwd = policy.cwd;
    record.isolation = policy.isolation;
    // A served request carries its own limit.
    if (policy.mode != "serve")
        record.rlimit_data_bytes = memory_limit_bytes(policy.memory_limit_mb);
    // Each run's own cgroup, where the launcher could make them (never in the jail).
    if (!in_jail && run_groups_enabled()) {
        record.cgroup_pids = kRunPidsMax;
        if (policy.mode != "serve" && policy.memory_limit_mb != 0)
            record.cgroup_memory_bytes = memory_limit_bytes(policy.memory_limit_mb);
    }
    if (auto written = write_status_record(); !written)
        fatal_exit("could not write the enforcement record: " + written.error().text);
    // Outside the jail, whatever a command leaves behind comes back to the
    // launcher, as it does to the jail init, and can be swept.
    if (!in_jail && policy.mode != "exec") {
        if (auto reaper = become_child_subreaper(); !reaper)
            fatal_exit("PR_SET_CHILD_SUBREAPER failed: " + reaper.error().text);
    }
    if (policy.mode == "serve") serve_loop(policy.cwd, in_jail, interrupt_fd);
    RunSpec spec = run_spec_from_policy(policy);
    if (policy.mode == "exec") {
        Error error = run_foreground(spec, policy.cwd).error();
        fatal_exit("child execution failed: " + error.text);
    }
    auto ran = run_once(spec, policy.cwd, std::nullopt);
    if (!ran) fatal_exit("child execution failed: " + ran.error().text);
    _exit(0);
}

}  // namespace tj
