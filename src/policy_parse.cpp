// The policy line: a JSON object (or an array of the fields in declaration
// order) decoded strictly, with every error positioned.
#include <array>

#include <fmt/core.h>

#include "json/schema.hpp"
#include "policy.hpp"

namespace tj {
namespace {

using json::Cursor;
using json::Field;
using json::into;

// A time limit of 2^64 seconds or more cannot be honoured; refusing it keeps a
// policy from running without the limit it asked for.
Result<double> read_timeout(Cursor& c) {
    double v = TJ_TRY(json::read_seconds(c));
    if (v >= 18446744073709551616.0)
        return c.error_here(fmt::format(
            "invalid value: floating point `{}`, expected a number of seconds below 2^64", v));
    return v;
}

}  // namespace

Result<Policy> parse_policy(std::string_view line) {
    Policy p;
    const std::array<Field, 15> fields = {{
        {"isolation", false, into(p.isolation, json::read_string)},
        {"cwd", true, into(p.cwd, json::read_string)},
        {"argv", true, into(p.argv, json::read_string_list)},
        {"env", false, into(p.env, json::read_pair_list)},
        {"network", false, into(p.network, json::read_string)},
        {"extra_ro_paths", false, into(p.extra_ro_paths, json::read_string_list)},
        {"extra_rw_paths", false, into(p.extra_rw_paths, json::read_string_list)},
        {"grant_sources", false, into(p.grant_sources, json::read_pair_list)},
        {"extra_device_paths", false, into(p.extra_device_paths, json::read_string_list)},
        {"tool_paths", false, into(p.tool_paths, json::read_string_list)},
        {"hide_paths", false, into(p.hide_paths, json::read_string_list)},
        {"extra_protect_paths", false, into(p.extra_protect_paths, json::read_string_list)},
        {"timeout_s", false, into(p.timeout_s, read_timeout)},
        {"memory_limit_mb", false, into(p.memory_limit_mb, json::read_u64)},
        {"mode", false, into(p.mode, json::read_string)},
    }};
    const json::RecordShape shape{"struct Policy", "struct Policy with 15 elements", fields};
    TJ_TRY(json::decode_text(line, shape));
    return p;
}

}  // namespace tj
