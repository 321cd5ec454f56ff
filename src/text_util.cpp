#include "text_util.hpp"

#include <cstdint>

namespace tj {
namespace {

// Decodes one UTF-8 sequence at `i`; returns its length, or 0 when invalid.
size_t decode(std::string_view s, size_t i, uint32_t& cp) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    size_t len;
    uint32_t min;
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        len = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4, cp = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

bool is_space(uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

}  // namespace

bool valid_utf8(std::string_view text) {
    uint32_t cp;
    for (size_t i = 0; i < text.size();) {
        size_t n = decode(text, i, cp);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

bool is_blank(std::string_view text) {
    uint32_t cp;
    for (size_t i = 0; i < text.size();) {
        size_t n = decode(text, i, cp);
        if (n == 0 || !is_space(cp)) return false;
        i += n;
    }
    return true;
}

}  // namespace tj
