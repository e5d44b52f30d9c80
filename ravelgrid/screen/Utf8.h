#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ravelgrid::utf8 {

// Appends the UTF-8 form of a code point (the caller passes valid scalars).
inline void append(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Decodes the scalar at `pos` and advances past it; a malformed sequence
// yields U+FFFD and advances by one byte.
inline char32_t next(std::string_view s, size_t& pos)
{
    auto b = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
    const uint8_t c0 = b(pos);
    if (c0 < 0x80) {
        ++pos;
        return c0;
    }
    int len = c0 >= 0xF0 && c0 <= 0xF4 ? 4 : c0 >= 0xE0 ? 3 : c0 >= 0xC2 && c0 < 0xE0 ? 2 : 0;
    if (len == 0 || pos + static_cast<size_t>(len) > s.size()) {
        ++pos;
        return 0xFFFD;
    }
    char32_t v = c0 & (0xFF >> (len + 1));
    for (int i = 1; i < len; ++i) {
        const uint8_t c = b(pos + static_cast<size_t>(i));
        if ((c & 0xC0) != 0x80) {
            ++pos;
            return 0xFFFD;
        }
        v = v << 6 | (c & 0x3F);
    }
    const char32_t minimum = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
    if (v < minimum || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) {
        ++pos;
        return 0xFFFD;
    }
    pos += static_cast<size_t>(len);
    return v;
}

}  // namespace ravelgrid::utf8
