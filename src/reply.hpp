// Reply lines: one compact JSON object per line on standard output, keys in
// ascending byte order; small replies in one write, large ones in 64 KiB pieces.
#pragma once

#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "error.hpp"
#include "text_sink.hpp"

namespace tj {

using ReplyField = std::pair<std::string_view, boost::json::value>;

// The object's text with its newline; keys are sorted here, whatever the order given.
std::string reply_text(std::initializer_list<ReplyField> fields);

// Writes reply_text(fields) to standard output.
Result<> write_reply(std::initializer_list<ReplyField> fields);

// The same for a reply whose members are chosen at run time.
std::string reply_text(std::span<const ReplyField> fields);
Result<> write_reply(std::span<const ReplyField> fields);

// A string member whose text, valid UTF-8, is produced in pieces while the
// reply is written, so that a large one is never held whole.
struct StreamedText {
    std::string_view key;
    std::function<void(TextSink&)> produce;
};

// A reply with plain members and streamed strings, all in ascending key order.
Result<> write_reply(std::span<const ReplyField> fields, std::span<const StreamedText> texts);
std::string reply_text(std::span<const ReplyField> fields, std::span<const StreamedText> texts);

// Writes what `produce` passes on to `fd` in pieces of at most 64 KiB.
Result<> write_text(int fd, const std::function<void(TextSink&)>& produce);

// A nested object whose members keep ascending byte order when serialized.
boost::json::object sorted_object(std::initializer_list<ReplyField> fields);

}  // namespace tj
