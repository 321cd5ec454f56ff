#include "oracle.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <boost/json/parse.hpp>

namespace tj::fuzz {
namespace {

// Reads a decimal number at the front of `text`; 0 when there is none.
uint64_t leading_number(std::string_view& text) {
    uint64_t n = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && i < 12; ++i)
        n = n * 10 + static_cast<uint64_t>(text[i] - '0');
    text.remove_prefix(i);
    return n;
}

std::string_view as_view(const boost::json::string& s) {
    return {s.data(), s.size()};
}

}  // namespace

void finding(std::string_view input, std::string_view what) {
    std::fprintf(stderr, "fuzz finding: %.*s\ninput (%zu bytes): %.*s\n",
                 static_cast<int>(what.size()), what.data(), input.size(),
                 static_cast<int>(input.size()), input.data());
    std::abort();
}

void check_refusal(std::string_view input, std::string_view message) {
    constexpr std::string_view kAt = " at line ", kColumn = " column ";
    size_t at = message.rfind(kAt);
    if (at == std::string_view::npos) finding(input, std::string(message) + ": no position");
    std::string_view rest = message.substr(at + kAt.size());
    uint64_t line = leading_number(rest);
    if (!rest.starts_with(kColumn)) finding(input, std::string(message) + ": malformed position");
    rest.remove_prefix(kColumn.size());
    uint64_t column = leading_number(rest);
    if (!rest.empty() || line < 1 || column < 1)
        finding(input, std::string(message) + ": position out of range");
    // Line N exists, and column M - 1 does not run past the end of the input.
    size_t line_start = 0;
    for (uint64_t n = 1; n < line; ++n) {
        size_t newline = input.find('\n', line_start);
        if (newline == std::string_view::npos)
            finding(input, std::string(message) + ": line past the input");
        line_start = newline + 1;
    }
    if (line_start + column - 1 > input.size())
        finding(input, std::string(message) + ": column past the input");
}

boost::json::value reference(std::string_view input) {
    boost::json::parse_options opt;
    opt.max_depth = 1024;
    boost::system::error_code ec;
    boost::json::value v = boost::json::parse({input.data(), input.size()}, ec, {}, opt);
    if (ec) finding(input, "accepted, but not well-formed JSON: " + ec.message());
    return v;
}

const boost::json::value* field(const boost::json::value& record, std::string_view key,
                                size_t index) {
    if (const auto* object = record.if_object())
        return object->if_contains({key.data(), key.size()});
    const auto& array = record.as_array();
    return index < array.size() ? &array[index] : nullptr;
}

void expect_string(std::string_view input, const boost::json::value* ref, const std::string& got,
                   const std::string& fallback) {
    if (!ref) {
        if (got != fallback) finding(input, "absent string field not defaulted");
        return;
    }
    if (!ref->is_string() || as_view(ref->get_string()) != got)
        finding(input, "string field differs from the input: " + got);
}

void expect_strings(std::string_view input, const boost::json::value* ref,
                    const std::vector<std::string>& got) {
    if (!ref) {
        if (!got.empty()) finding(input, "absent list field not empty");
        return;
    }
    const auto* list = ref->if_array();
    if (!list || list->size() != got.size()) finding(input, "list field differs from the input");
    for (size_t i = 0; i < got.size(); ++i) expect_string(input, &(*list)[i], got[i]);
}

void expect_pairs(std::string_view input, const boost::json::value* ref,
                  const std::vector<std::pair<std::string, std::string>>& got) {
    if (!ref) {
        if (!got.empty()) finding(input, "absent pair list not empty");
        return;
    }
    const auto* list = ref->if_array();
    if (!list || list->size() != got.size()) finding(input, "pair list differs from the input");
    for (size_t i = 0; i < got.size(); ++i) {
        const auto* pair = (*list)[i].if_array();
        if (!pair || pair->size() != 2) finding(input, "accepted a pair that is not two strings");
        expect_string(input, &(*pair)[0], got[i].first);
        expect_string(input, &(*pair)[1], got[i].second);
    }
}

void expect_number(std::string_view input, const boost::json::value* ref, double got,
                   double fallback) {
    if (std::isnan(got)) finding(input, "a number decoded as NaN");
    if (!ref) {
        if (got != fallback) finding(input, "absent number not defaulted");
        return;
    }
    if (!ref->is_number()) finding(input, "accepted a non-number as a number");
    double want = ref->to_number<double>();
    if (got == want) return;
    if (std::fabs(got - want) <= 1e-12 * std::fabs(want)) return;
    finding(input, "number differs from the input");
}

void expect_integer(std::string_view input, const boost::json::value* ref, int64_t got,
                    int64_t fallback) {
    if (!ref) {
        if (got != fallback) finding(input, "absent integer not defaulted");
        return;
    }
    if (ref->is_int64() && ref->get_int64() == got) return;
    if (ref->is_uint64() && got >= 0 && ref->get_uint64() == static_cast<uint64_t>(got)) return;
    finding(input, "integer differs from the input");
}

void expect_unsigned(std::string_view input, const boost::json::value* ref, uint64_t got,
                     uint64_t fallback) {
    if (!ref) {
        if (got != fallback) finding(input, "absent integer not defaulted");
        return;
    }
    if (ref->is_uint64() && ref->get_uint64() == got) return;
    if (ref->is_int64() && ref->get_int64() >= 0 && static_cast<uint64_t>(ref->get_int64()) == got)
        return;
    finding(input, "unsigned integer differs from the input");
}

}  // namespace tj::fuzz
