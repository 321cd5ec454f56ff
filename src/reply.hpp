// Reply lines: one compact JSON object per line on standard output, keys in
// ascending byte order; small replies in one write, large ones in 64 KiB pieces.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "error.hpp"

namespace tj {

using ReplyField = std::pair<std::string_view, boost::json::value>;

// The object's text with its newline; keys are sorted here, whatever the order given.
std::string reply_text(std::initializer_list<ReplyField> fields);

// Writes reply_text(fields) to standard output.
Result<> write_reply(std::initializer_list<ReplyField> fields);

// The same for a reply whose members are chosen at run time.
std::string reply_text(std::span<const ReplyField> fields);
Result<> write_reply(std::span<const ReplyField> fields);

// A nested object whose members keep ascending byte order when serialized.
boost::json::object sorted_object(std::initializer_list<ReplyField> fields);

}  // namespace tj
