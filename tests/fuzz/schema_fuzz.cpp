// The schema walker on a record with one field of every decoded type, once
// refusing and once ignoring unknown keys: refusals are positioned, and an
// accepted text is well-formed JSON carrying the decoded values.
#include <array>
#include <string_view>

#include "json/schema.hpp"
#include "oracle.hpp"

namespace {

using tj::fuzz::finding;

struct Record {
    std::string text;
    std::vector<std::string> list;
    std::vector<std::pair<std::string, std::string>> pairs;
    double real = 0.5;
    uint64_t count = 0;
    int32_t id = 0;
};

constexpr std::array<std::string_view, 6> kKeys = {"text", "list", "pairs", "real", "count", "id"};

void check(std::string_view input, const Record& r, bool ignore_unknown) {
    using namespace tj::fuzz;
    boost::json::value ref = reference(input);
    if (const auto* object = ref.if_object()) {
        for (const auto& member : *object) {
            std::string_view key(member.key().data(), member.key().size());
            if (!ignore_unknown && std::find(kKeys.begin(), kKeys.end(), key) == kKeys.end())
                finding(input, "accepted an unknown key");
        }
    } else if (!ref.is_array() || ref.as_array().size() > kKeys.size()) {
        finding(input, "accepted a value that is no record");
    }
    auto at = [&](size_t i) { return field(ref, kKeys[i], i); };
    if (!at(5)) finding(input, "accepted without the required field");
    expect_string(input, at(0), r.text);
    expect_strings(input, at(1), r.list);
    expect_pairs(input, at(2), r.pairs);
    expect_number(input, at(3), r.real, 0.5);
    expect_unsigned(input, at(4), r.count, 0);
    expect_integer(input, at(5), r.id, 0);
}

void decode(std::string_view input, bool ignore_unknown) {
    namespace json = tj::json;
    Record r;
    const std::array<json::Field, 6> fields = {{
        {kKeys[0], false, json::into(r.text, json::read_string)},
        {kKeys[1], false, json::into(r.list, json::read_string_list)},
        {kKeys[2], false, json::into(r.pairs, json::read_pair_list)},
        {kKeys[3], false, json::into(r.real, json::read_seconds)},
        {kKeys[4], false, json::into(r.count, json::read_u64)},
        {kKeys[5], true, json::into(r.id, json::read_i32)},
    }};
    const json::RecordShape shape{"struct Record", "struct Record with 6 elements", fields,
                                  ignore_unknown};
    auto result = json::decode_text(input, shape);
    if (!result) {
        tj::fuzz::check_refusal(input, result.error().text);
        return;
    }
    check(input, r, ignore_unknown);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    decode(input, false);
    decode(input, true);
    return 0;
}
