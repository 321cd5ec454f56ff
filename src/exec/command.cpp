#include "exec/command.hpp"

#include <algorithm>
#include <string_view>

#include "exec/cgroup.hpp"
#include "exec/run_group.hpp"

namespace tj {
namespace {

struct EnvDefault {
    std::string_view name;
    std::string_view value;
};

// Added only when no pair of the policy has the name (compared exactly).
constexpr EnvDefault kEnvDefaults[] = {
    {"PATH", "/usr/bin:/bin"},
    {"HOME", "/home"},
};

bool has_nul(std::string_view text) {
    return text.find('\0') != std::string_view::npos;
}

bool any_nul(const RunSpec& spec, const std::string& cwd) {
    if (has_nul(cwd)) return true;
    for (const auto& arg : spec.argv) {
        if (has_nul(arg)) return true;
    }
    for (const auto& [name, value] : spec.env) {
        if (has_nul(name) || has_nul(value)) return true;
    }
    return false;
}

// A name holding '=' would be read back by the command as a different
// variable, shadowing the one the policy meant; an empty one is no variable.
const std::string* bad_env_name(const StringPairs& pairs) {
    for (const auto& pair : pairs) {
        if (pair.first.empty() || pair.first.find('=') != std::string::npos) return &pair.first;
    }
    return nullptr;
}

}  // namespace

std::vector<std::string> environment_block(const StringPairs& pairs) {
    // Later pairs win: keep the last occurrence of each name.
    StringPairs merged;
    for (auto it = pairs.rbegin(); it != pairs.rend(); ++it) {
        bool seen = std::any_of(merged.begin(), merged.end(),
                                [&](const auto& kept) { return kept.first == it->first; });
        if (!seen) merged.push_back(*it);
    }
    for (const auto& def : kEnvDefaults) {
        bool named = std::any_of(pairs.begin(), pairs.end(),
                                 [&](const auto& pair) { return pair.first == def.name; });
        if (!named) merged.emplace_back(def.name, def.value);
    }
    std::sort(merged.begin(), merged.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> block;
    block.reserve(merged.size());
    for (const auto& [name, value] : merged) block.push_back(name + "=" + value);
    return block;
}

Result<Command> build_command(const RunSpec& spec, const std::string& cwd, bool death_tie) {
    if (any_nul(spec, cwd)) return fail("nul byte found in provided data");
    if (const std::string* name = bad_env_name(spec.env)) {
        return fail("invalid environment variable name \"" + *name + "\": empty or holding '='");
    }
    Command command;
    command.argv = spec.argv;
    command.env = environment_block(spec.env);
    for (const auto& entry : command.env) {
        if (entry.starts_with("PATH=")) command.search_path = entry.substr(5);
    }
    command.cwd = cwd;
    command.death_tie = death_tie;
    // What a tied command starts is killed with it when the launcher dies.
    // With per-run groups, a group of its own with the run's limits instead.
    if (death_tie) command.cgroup_procs_fd = session_group_procs_fd();
    if (death_tie && run_groups_enabled())
        command.cgroup_procs_fd = TJ_TRY(make_run_group(memory_limit_bytes(spec.memory_limit_mb)));
    // Without a group the keeper stops and kills the command's tree instead.
    if (death_tie) command.announce_fd = session_keeper_announce_fd();
    return command;
}

void add_capability_and_memory_step(Command& command, uint64_t memory_limit_bytes) {
    command.drop_capabilities = true;
    command.memory_limit_bytes = memory_limit_bytes;
}

}  // namespace tj
