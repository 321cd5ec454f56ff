// The policy line: refusals are positioned, and an accepted line is a JSON
// object or array of the fifteen fields whose values are the ones parsed.
#include <array>
#include <string_view>

#include "oracle.hpp"
#include "policy.hpp"

namespace {

constexpr std::array<std::string_view, 15> kKeys = {"isolation",
                                                    "cwd",
                                                    "argv",
                                                    "env",
                                                    "network",
                                                    "extra_ro_paths",
                                                    "extra_rw_paths",
                                                    "grant_sources",
                                                    "extra_device_paths",
                                                    "tool_paths",
                                                    "hide_paths",
                                                    "extra_protect_paths",
                                                    "timeout_s",
                                                    "memory_limit_mb",
                                                    "mode"};

void check_shape(std::string_view input, const boost::json::value& ref) {
    using tj::fuzz::finding;
    if (const auto* object = ref.if_object()) {
        for (const auto& member : *object) {
            std::string_view key(member.key().data(), member.key().size());
            if (std::find(kKeys.begin(), kKeys.end(), key) == kKeys.end())
                finding(input, "accepted an unknown key");
        }
        if (!object->contains("cwd") || !object->contains("argv"))
            finding(input, "accepted without a required key");
    } else if (const auto* array = ref.if_array()) {
        if (array->size() < 3 || array->size() > kKeys.size())
            finding(input, "accepted an array of the wrong length");
    } else {
        finding(input, "accepted a value that is no object or array");
    }
}

void check_values(std::string_view input, const boost::json::value& ref, const tj::Policy& p) {
    using namespace tj::fuzz;
    auto at = [&](size_t i) { return field(ref, kKeys[i], i); };
    expect_string(input, at(0), p.isolation, "strict");
    expect_string(input, at(1), p.cwd);
    expect_strings(input, at(2), p.argv);
    expect_pairs(input, at(3), p.env);
    expect_string(input, at(4), p.network, "none");
    expect_strings(input, at(5), p.extra_ro_paths);
    expect_strings(input, at(6), p.extra_rw_paths);
    expect_pairs(input, at(7), p.grant_sources);
    expect_strings(input, at(8), p.extra_device_paths);
    expect_strings(input, at(9), p.tool_paths);
    expect_strings(input, at(10), p.hide_paths);
    expect_strings(input, at(11), p.extra_protect_paths);
    expect_number(input, at(12), p.timeout_s, 600);
    if (!(p.timeout_s < 18446744073709551616.0)) finding(input, "accepted a timeout of 2^64 s");
    expect_unsigned(input, at(13), p.memory_limit_mb, 0);
    expect_string(input, at(14), p.mode, "once");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    auto policy = tj::parse_policy(input);
    if (!policy) {
        tj::fuzz::check_refusal(input, policy.error().text);
        return 0;
    }
    boost::json::value ref = tj::fuzz::reference(input);
    check_shape(input, ref);
    check_values(input, ref, *policy);
    return 0;
}
