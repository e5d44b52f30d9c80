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

enum class Decoded { ok, invalid, incomplete };

// Decodes one character at p (avail > 0 bytes). An invalid sequence consumes
// its maximal subpart: the bytes that could still have begun a valid
// character, never the byte that broke it, so an ASCII byte is never eaten.
// An incomplete one consumes what there is.
// It reads as platform::lenientUtf8 does, kept inline here for the print
// path, which also needs to tell a cut-off sequence from a bad one.
inline Decoded decode(const uint8_t* p, size_t avail, char32_t& out, size_t& consumed)
{
    const uint8_t b0 = p[0];
    if (b0 < 0x80) {
        consumed = 1;
        out = b0;
        return Decoded::ok;
    }
    size_t need;
    uint8_t lo = 0x80, hi = 0xBF;
    char32_t v;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        v = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        v = b0 & 0x0F;
        if (b0 == 0xE0)
            lo = 0xA0;  // overlong
        if (b0 == 0xED)
            hi = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        v = b0 & 0x07;
        if (b0 == 0xF0)
            lo = 0x90;  // overlong
        if (b0 == 0xF4)
            hi = 0x8F;  // beyond U+10FFFF
    } else {
        consumed = 1;
        return Decoded::invalid;
    }
    for (size_t k = 1; k <= need; ++k) {
        if (k >= avail) {
            consumed = k;
            return Decoded::incomplete;
        }
        const uint8_t b = p[k];
        if (b < lo || b > hi) {
            consumed = k;
            return Decoded::invalid;
        }
        lo = 0x80;
        hi = 0xBF;
        v = v << 6 | (b & 0x3F);
    }
    consumed = need + 1;
    out = v;
    return Decoded::ok;
}

// Decodes the scalar at `pos` and advances past it; a malformed or cut-off
// sequence yields U+FFFD and advances by one byte.
inline char32_t next(std::string_view s, size_t& pos)
{
    char32_t c = 0;
    size_t consumed = 0;
    if (decode(reinterpret_cast<const uint8_t*>(s.data()) + pos, s.size() - pos, c, consumed) != Decoded::ok) {
        ++pos;
        return 0xFFFD;
    }
    pos += consumed;
    return c;
}

}  // namespace ravelgrid::utf8
