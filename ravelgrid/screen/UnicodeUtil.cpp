#include "ravelgrid/screen/UnicodeUtil.h"

#include <unicode/uchar.h>

#include "ravelgrid/screen/Utf8.h"

namespace ravelgrid {

namespace {

std::array<int8_t, UnicodeUtil::widthCacheSize> buildWidthCache()
{
    std::array<int8_t, UnicodeUtil::widthCacheSize> cache{};
    cache.fill(1);
    for (uint32_t c = 0; c < UnicodeUtil::widthCacheSize; ++c)
        cache[c] = UnicodeUtil::columnWidth(c);
    return cache;
}

}  // namespace

int8_t UnicodeUtil::columnWidth(uint32_t c)
{
    if (c == 0)
        return 0;
    if (c <= 31)
        return -1;
    if (c <= 126)
        return 1;
    if (c <= 159)
        return -1;

    switch (u_charType(static_cast<UChar32>(c))) {
    case U_NON_SPACING_MARK:
    case U_COMBINING_SPACING_MARK:
    case U_ENCLOSING_MARK:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR: return 0;
    case U_FORMAT_CHAR: return c == 0x00AD ? 1 : 0;
    case U_MODIFIER_SYMBOL:
        if (c >= 0x1F3FB && c <= 0x1F3FF)
            return 0;
        if (c == 0xFF3E || c == 0xFF40 || c == 0xFFE3)
            return 2;
        break;
    default: break;
    }

    if ((c >= 0x1160 && c <= 0x11FF) || (c >= 0xD7B0 && c <= 0xD7FF))
        return 0;
    if (isRegionalIndicator(c))
        return 2;
    if (c < 0x1100)
        return 1;
    return isInRanges(c, wideRanges()) ? 2 : 1;
}

const std::array<int8_t, UnicodeUtil::widthCacheSize>& UnicodeUtil::widthCache()
{
    static const auto cache = buildWidthCache();
    return cache;
}

bool UnicodeUtil::isInRanges(uint32_t c, std::span<const LH> ranges)
{
    if (ranges.empty() || c < ranges.front().lo || c > ranges.back().hi)
        return false;
    size_t low = 0;
    size_t high = ranges.size() - 1;
    while (low <= high) {
        const size_t mid = low + (high - low) / 2;
        if (ranges[mid].hi < c) {
            low = mid + 1;
        } else if (ranges[mid].lo <= c) {
            return true;
        } else {
            if (mid == 0)
                return false;
            high = mid - 1;
        }
    }
    return false;
}

bool UnicodeUtil::prefersTextPresentation(std::string_view text)
{
    if (text.empty())
        return false;
    size_t pos = 0;
    const char32_t c = utf8::next(text, pos);
    if (pos != text.size() || c == 0xFFFD || c < 0x100)
        return false;
    const auto cp = static_cast<UChar32>(c);
    return u_hasBinaryProperty(cp, UCHAR_EMOJI) && !u_hasBinaryProperty(cp, UCHAR_EMOJI_PRESENTATION);
}

std::string UnicodeUtil::textPresentationString(std::string_view text)
{
    std::string out(text);
    if (prefersTextPresentation(text))
        utf8::append(out, 0xFE0E);
    return out;
}

}  // namespace ravelgrid
