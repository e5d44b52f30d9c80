#include "ravelgrid/view/PasteText.h"

#include "platform/Utf8.h"

#include <cstdint>

namespace ravelgrid {

std::string sanitizePaste(std::string_view text, char lineBreak)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<uint8_t>(text[i]);
        if (b < 0x80) {
            if (b == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                out += lineBreak;
                i += 2;
                continue;
            }
            if (b == '\n' || b == '\r')
                out += lineBreak;
            else if (b == '\t' || (b >= 0x20 && b != 0x7F))
                out += static_cast<char>(b);
            ++i;
            continue;
        }
        const size_t n = platform::utf8SequenceLength(text.substr(i));
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
