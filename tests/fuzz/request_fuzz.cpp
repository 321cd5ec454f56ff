// A serve request line: refusals are positioned, and an accepted line is a
// JSON object or array naming one of the four kinds, with the payload parsed.
#include <array>
#include <string_view>
#include <variant>

#include "oracle.hpp"
#include "serve/request.hpp"

namespace {

using tj::fuzz::finding;

constexpr std::array<std::string_view, 6> kChildKeys = {
    "argv", "env", "timeout_s", "memory_limit_mb", "checkin_s", "log_dir"};

// The `kind` and the payload record: the object itself (its `kind` key is no
// payload field), or the array's elements after the first.
std::string_view kind_of(std::string_view input, const boost::json::value& ref,
                         boost::json::value& payload) {
    if (const auto* object = ref.if_object()) {
        const auto* kind = object->if_contains("kind");
        if (!kind || !kind->is_string()) finding(input, "accepted without a string `kind`");
        payload = *object;
        payload.as_object().erase("kind");
        return {kind->get_string().data(), kind->get_string().size()};
    }
    const auto* array = ref.if_array();
    if (!array || array->empty() || !(*array)[0].is_string())
        finding(input, "accepted a value that is no tagged object or array");
    payload = boost::json::array(array->begin() + 1, array->end());
    return {(*array)[0].get_string().data(), (*array)[0].get_string().size()};
}

void check_child(std::string_view input, const boost::json::value& payload,
                 const tj::ChildRequest& child) {
    using namespace tj::fuzz;
    if (const auto* object = payload.if_object()) {
        for (const auto& member : *object) {
            std::string_view key(member.key().data(), member.key().size());
            if (std::find(kChildKeys.begin(), kChildKeys.end(), key) == kChildKeys.end())
                finding(input, "accepted an unknown payload key");
        }
        if (!object->contains("argv")) finding(input, "accepted without `argv`");
    } else if (payload.as_array().empty() || payload.as_array().size() > kChildKeys.size()) {
        finding(input, "accepted a payload array of the wrong length");
    }
    const tj::RunSpec& s = child.spec;
    auto at = [&](size_t i) { return field(payload, kChildKeys[i], i); };
    expect_strings(input, at(0), s.argv);
    expect_pairs(input, at(1), s.env);
    expect_number(input, at(2), s.timeout_s, 600);
    expect_unsigned(input, at(3), s.memory_limit_mb, 0);
    expect_number(input, at(4), s.checkin_s, 0);
    expect_string(input, at(5), s.log_dir);
}

void check_pid(std::string_view input, const boost::json::value& payload, int32_t pid) {
    const boost::json::value* ref = tj::fuzz::field(payload, "pid", 0);
    if (!ref) finding(input, "accepted without `pid`");
    tj::fuzz::expect_integer(input, ref, pid, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    auto request = tj::parse_request(input);
    if (!request) {
        tj::fuzz::check_refusal(input, request.error().text);
        return 0;
    }
    boost::json::value ref = tj::fuzz::reference(input);
    boost::json::value payload;
    std::string_view kind = kind_of(input, ref, payload);
    std::visit(
        [&](const auto& r) {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, tj::RunRequest>) {
                if (kind != "run") finding(input, "parsed as run");
                check_child(input, payload, r.child);
            } else if constexpr (std::is_same_v<R, tj::BackgroundRequest>) {
                if (kind != "background") finding(input, "parsed as background");
                check_child(input, payload, r.child);
            } else if constexpr (std::is_same_v<R, tj::StatusRequest>) {
                if (kind != "status") finding(input, "parsed as status");
                check_pid(input, payload, r.pid);
            } else {
                if (kind != "stop") finding(input, "parsed as stop");
                check_pid(input, payload, r.pid);
            }
        },
        *request);
    return 0;
}
