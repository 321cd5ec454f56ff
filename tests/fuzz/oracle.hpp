// What every fuzz target checks, whatever the parser: a refusal names its
// position inside the input, and an accepted input is well-formed JSON whose
// values are the ones the parser returned (Boost.JSON's document reader is the
// reference). A violation prints the input and aborts, which the fuzzer
// records as a finding.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/json/value.hpp>

namespace tj::fuzz {

[[noreturn]] void finding(std::string_view input, std::string_view what);

// The message ends with " at line N column M", N and M at least 1 and inside
// the input (M - 1 bytes into line N).
void check_refusal(std::string_view input, std::string_view message);

// The reference reading of an accepted input; a finding when it fails.
boost::json::value reference(std::string_view input);

// A record's field by key (object form) or by index (array form); null when
// absent.
const boost::json::value* field(const boost::json::value& record, std::string_view key,
                                size_t index);

// Each compares a reference value (null: the field was absent, `fallback`
// expected) with what the parser returned.
void expect_string(std::string_view input, const boost::json::value* ref, const std::string& got,
                   const std::string& fallback = "");
void expect_strings(std::string_view input, const boost::json::value* ref,
                    const std::vector<std::string>& got);
void expect_pairs(std::string_view input, const boost::json::value* ref,
                  const std::vector<std::pair<std::string, std::string>>& got);
void expect_number(std::string_view input, const boost::json::value* ref, double got,
                   double fallback);
void expect_integer(std::string_view input, const boost::json::value* ref, int64_t got,
                    int64_t fallback);
void expect_unsigned(std::string_view input, const boost::json::value* ref, uint64_t got,
                     uint64_t fallback);

}  // namespace tj::fuzz
