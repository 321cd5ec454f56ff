#include "utf8.hpp"

#include <cstdint>
#include <string_view>

namespace tj {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

enum class SeqKind { valid, invalid, partial };
struct Seq {
    SeqKind kind;
    size_t length;  // valid: its length; invalid: the maximal subpart to replace
                    // (at least 1); partial: the bytes present, all fitting so far
};

// The sequence starting at s[i], which is not ASCII.
Seq sequence_at(std::string_view s, size_t i) {
    auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
    uint8_t lead = byte(i);
    size_t need;
    uint8_t lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 3;
        if (lead == 0xE0) lo = 0xA0;  // overlong
        if (lead == 0xED) hi = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 4;
        if (lead == 0xF0) lo = 0x90;  // overlong
        if (lead == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return {SeqKind::invalid, 1};
    }
    for (size_t k = 1; k < need; ++k) {
        if (i + k >= s.size()) return {SeqKind::partial, k};
        bool ok = k == 1 ? byte(i + k) >= lo && byte(i + k) <= hi
                         : byte(i + k) >= 0x80 && byte(i + k) <= 0xBF;
        if (!ok) return {SeqKind::invalid, k};
    }
    return {SeqKind::valid, need};
}

// Length of the valid sequence starting at s[i], or 0 with `bad` set to the
// length of the maximal subpart to replace (at least 1); a sequence cut by
// the end of `s` is replaced whole.
size_t valid_length(std::string_view s, size_t i, size_t& bad) {
    if (static_cast<uint8_t>(s[i]) < 0x80) return 1;
    Seq seq = sequence_at(s, i);
    if (seq.kind == SeqKind::valid) return seq.length;
    bad = seq.length;
    return 0;
}

size_t first_invalid(std::string_view s) {
    size_t i = 0, bad = 0;
    while (i < s.size()) {
        // Runs of ASCII dominate command output.
        while (i < s.size() && static_cast<uint8_t>(s[i]) < 0x80) ++i;
        if (i == s.size()) break;
        size_t n = valid_length(s, i, bad);
        if (n == 0) return i;
        i += n;
    }
    return s.size();
}

bool is_space(uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

}  // namespace

bool valid_utf8(std::string_view text) {
    return first_invalid(text) == text.size();
}

bool is_blank(std::string_view text) {
    if (!valid_utf8(text)) return false;
    for (size_t i = 0; i < text.size();) {
        auto lead = static_cast<uint8_t>(text[i]);
        size_t len = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        uint32_t cp = len == 1 ? lead : lead & (0x7F >> len);
        for (size_t k = 1; k < len; ++k)
            cp = (cp << 6) | (static_cast<uint8_t>(text[i + k]) & 0x3F);
        if (!is_space(cp)) return false;
        i += len;
    }
    return true;
}

std::string utf8_lossy(std::string bytes) {
    std::string_view s(bytes);
    size_t i = first_invalid(s);
    if (i == s.size()) return bytes;
    std::string out(s.substr(0, i));
    while (i < s.size()) {
        size_t bad = 0;
        size_t n = valid_length(s, i, bad);
        if (n != 0) {
            out.append(s.substr(i, n));
            i += n;
        } else {
            out.append(kReplacement);
            i += bad;
        }
    }
    return out;
}

// Completes the held-back sequence with the first bytes of `bytes`; returns
// how many of them it took.
size_t Utf8Repair::take_pending(std::string_view bytes, TextSink& out) {
    size_t i = 0;
    while (i < bytes.size()) {
        pending_[pending_size_++] = bytes[i++];
        Seq seq = sequence_at(std::string_view(pending_, pending_size_), 0);
        if (seq.kind == SeqKind::partial) continue;
        if (seq.kind == SeqKind::valid) {
            out(std::string_view(pending_, pending_size_));
        } else {
            // Every byte before the last one fitted: the last one starts anew.
            out(kReplacement);
            --i;
        }
        pending_size_ = 0;
        break;
    }
    return i;
}

void Utf8Repair::feed(std::string_view s, TextSink& out) {
    size_t i = pending_size_ != 0 ? take_pending(s, out) : 0;
    if (pending_size_ != 0) return;
    size_t run = i;  // start of the bytes passed on as they are
    while (i < s.size()) {
        while (i < s.size() && static_cast<uint8_t>(s[i]) < 0x80) ++i;
        if (i == s.size()) break;
        Seq seq = sequence_at(s, i);
        if (seq.kind == SeqKind::valid) {
            i += seq.length;
            continue;
        }
        if (i > run) out(s.substr(run, i - run));
        if (seq.kind == SeqKind::partial) {
            pending_size_ = s.size() - i;
            s.copy(pending_, pending_size_, i);
            return;
        }
        out(kReplacement);
        i += seq.length;
        run = i;
    }
    if (i > run) out(s.substr(run, i - run));
}

void Utf8Repair::finish(TextSink& out) {
    if (pending_size_ != 0) out(kReplacement);
    pending_size_ = 0;
}

}  // namespace tj
