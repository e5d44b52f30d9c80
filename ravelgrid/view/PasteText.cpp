#include "ravelgrid/view/PasteText.h"

#include <cstdint>

namespace ravelgrid {
namespace {

// Length of the well-formed UTF-8 sequence at text[i], 0 when there is none.
size_t sequenceLength(std::string_view text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    const uint8_t b0 = byte(i);
    size_t n = 0;
    uint32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (i + n > text.size())
        return 0;
    for (size_t k = 1; k < n; ++k) {
        const uint8_t b = byte(i + k);
        if ((b & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not text.
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

}  // namespace

std::string sanitizePaste(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<uint8_t>(text[i]);
        if (b < 0x80) {
            if (b == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                out += '\r';
                i += 2;
                continue;
            }
            if (b == '\n' || b == '\r')
                out += '\r';
            else if (b == '\t' || (b >= 0x20 && b != 0x7F))
                out += static_cast<char>(b);
            ++i;
            continue;
        }
        const size_t n = sequenceLength(text, i);
        if (n == 0) {
            ++i;
            continue;
        }
        // U+0080...U+009F, the C1 controls, are C2 80...C2 9F.
        const bool c1 = n == 2 && b == 0xC2 && static_cast<uint8_t>(text[i + 1]) <= 0x9F;
        if (!c1)
            out.append(text.substr(i, n));
        i += n;
    }
    return out;
}

}  // namespace ravelgrid
