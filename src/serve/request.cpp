// Requests are internally tagged by `kind`: the whole value is read first, the
// tag found wherever it stands, and the rest decoded as the variant's payload
// in a second pass over the line.
// Payload errors are therefore positioned at the end of the value.
#include "serve/request.hpp"

#include <array>

#include <fmt/core.h>

#include "json/schema.hpp"

namespace tj {
namespace {

using json::Cursor;
using json::Field;
using json::into;
using json::Token;
using json::TokenKind;

enum class Kind { Run, Background, Status, Stop };

constexpr std::array<std::string_view, 4> kKinds = {"run", "background", "status", "stop"};

Result<Kind> read_kind(Cursor& c) {
    const Token* t = TJ_TRY(c.next());
    if (t->kind != TokenKind::String)
        return c.error_here(
            fmt::format("invalid type: {}, expected variant identifier", json::describe(*t)));
    for (size_t i = 0; i < kKinds.size(); ++i)
        if (kKinds[i] == t->text) return static_cast<Kind>(i);
    return c.error_here(fmt::format(
        "unknown variant `{}`, expected one of `run`, `background`, `status`, `stop`", t->text));
}

// The first pass reads the whole top-level value and takes out the tag; the
// second decodes the payload from a fresh cursor, skipping the tag. Nothing of
// the value is kept between the passes but the tag and the value's end.
struct Tagged {
    Kind kind;
    size_t end;
};

Result<Tagged> split_object(Cursor& c) {
    std::optional<Kind> kind;
    for (;;) {
        const Token* t = TJ_TRY(c.next());
        if (t->kind == TokenKind::ObjectEnd) {
            if (!kind) return c.error_here("missing field `kind`");
            return Tagged{*kind, t->pos};
        }
        if (t->text == "kind") {
            if (kind) return c.error_here("duplicate field `kind`");
            kind = TJ_TRY(read_kind(c));
            continue;
        }
        TJ_TRY(c.skip_value());
    }
}

Result<Tagged> split_array(Cursor& c) {
    const Token* first = TJ_TRY(c.peek());
    if (first->kind == TokenKind::ArrayEnd) {
        TJ_TRY(c.next());
        return c.error_here("invalid length 0, expected internally tagged enum Request");
    }
    Kind kind = TJ_TRY(read_kind(c));
    for (;;) {
        const Token* t = TJ_TRY(c.peek());
        if (t->kind == TokenKind::ArrayEnd) {
            size_t end = TJ_TRY(c.next())->pos;
            return Tagged{kind, end};
        }
        TJ_TRY(c.skip_value());
    }
}

Result<Tagged> split_tagged(Cursor& c) {
    const Token* open = TJ_TRY(c.next());
    if (open->kind == TokenKind::ObjectBegin) return split_object(c);
    if (open->kind == TokenKind::ArrayBegin) return split_array(c);
    return c.error_here(fmt::format("invalid type: {}, expected internally tagged enum Request",
                                    json::describe(*open)));
}

// The payload of a record whose first token, `open`, was taken.
Result<ChildRequest> decode_child(Cursor& c, const Token& open, bool tag_taken) {
    ChildRequest child;
    RunSpec& s = child.spec;
    s.timeout_s = 600;
    const std::array<Field, 6> fields = {{
        {"argv", true, into(s.argv, json::read_string_list)},
        {"env", false, into(s.env, json::read_pair_list)},
        {"timeout_s", false, into(s.timeout_s, json::read_seconds)},
        {"memory_limit_mb", false, into(s.memory_limit_mb, json::read_u64)},
        {"checkin_s", false, into(s.checkin_s, json::read_seconds)},
        {"log_dir", false, into(s.log_dir, json::read_string)},
    }};
    TJ_TRY(json::read_record_body(c, open,
                                  {"struct ChildRequest", "struct ChildRequest with 6 elements",
                                   fields, false, "kind", tag_taken}));
    return child;
}

Result<int32_t> decode_pid(Cursor& c, const Token& open, bool tag_taken,
                           std::string_view array_expecting) {
    int32_t pid = 0;
    const std::array<Field, 1> fields = {{{"pid", true, into(pid, json::read_i32)}}};
    TJ_TRY(json::read_record_body(
        c, open, {"struct variant", array_expecting, fields, true, "kind", tag_taken}));
    return pid;
}

Result<Request> decode_payload(Cursor& c, const Token& open, Kind kind, bool tag_taken) {
    switch (kind) {
        case Kind::Run:
            return RunRequest{TJ_TRY(decode_child(c, open, tag_taken))};
        case Kind::Background:
            return BackgroundRequest{TJ_TRY(decode_child(c, open, tag_taken))};
        case Kind::Status:
            return StatusRequest{TJ_TRY(
                decode_pid(c, open, tag_taken, "struct variant Request::Status with 1 element"))};
        case Kind::Stop:
            return StopRequest{TJ_TRY(
                decode_pid(c, open, tag_taken, "struct variant Request::Stop with 1 element"))};
    }
    return fail("unreachable");
}

// The general reading: the tag wherever it stands, every payload error at the
// end of the value, syntax errors within the value before those.
Result<Request> parse_in_two_passes(std::string_view line) {
    Cursor c(line);
    Tagged tagged = TJ_TRY(split_tagged(c));
    Cursor payload(line);
    payload.pin_position(tagged.end);
    Token open = *TJ_TRY(payload.next());
    Request request = TJ_TRY(decode_payload(payload, open, tagged.kind, false));
    TJ_TRY(c.finish());
    return request;
}

// The usual request names its kind first: then one pass reads it whole. Any
// error at all is left to the general reading, which positions it.
Result<Request> parse_kind_first(std::string_view line) {
    Cursor c(line);
    Token open = *TJ_TRY(c.next());
    if (open.kind == TokenKind::ObjectBegin) {
        const Token* key = TJ_TRY(c.peek());
        if (key->kind != TokenKind::Key || key->text != "kind") return fail("kind not first");
        TJ_TRY(c.next());
    } else if (open.kind != TokenKind::ArrayBegin) {
        return fail("not a record");
    }
    Kind kind = TJ_TRY(read_kind(c));
    Request request = TJ_TRY(decode_payload(c, open, kind, true));
    TJ_TRY(c.finish());
    return request;
}

}  // namespace

Result<Request> parse_request(std::string_view line) {
    if (auto request = parse_kind_first(line)) return request;
    return parse_in_two_passes(line);
}

}  // namespace tj
