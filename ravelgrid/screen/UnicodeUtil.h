#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace ravelgrid {

enum class RegionalIndicatorWidth : uint8_t { wide, narrow };

// Terminal column widths of Unicode scalars and the text-presentation helper.
struct UnicodeUtil {
    struct LH {
        uint32_t lo;
        uint32_t hi;
    };

    // -1 control, 0 combining, 1 ordinary, 2 wide.
    static int8_t columnWidth(uint32_t c);
    // columnWidth through the cache for scalars below 8192: the print path's entry.
    static int8_t width(uint32_t c) { return c < widthCacheSize ? widthCache()[c] : columnWidth(c); }
    static constexpr uint32_t widthCacheSize = 8192;
    static const std::array<int8_t, widthCacheSize>& widthCache();

    // Binary search over sorted, disjoint inclusive ranges.
    static bool isInRanges(uint32_t c, std::span<const LH> ranges);
    static std::span<const LH> wideRanges();
    // Characters a text or emoji presentation selector (U+FE0E, U+FE0F) may follow.
    static std::span<const LH> emojiVariationBases();
    static bool isEmojiVariationBase(uint32_t c) { return isInRanges(c, emojiVariationBases()); }
    static bool isRegionalIndicator(uint32_t c) { return c >= 0x1F1E6 && c <= 0x1F1FF; }

    // One scalar of U+0100 or above that is an emoji without default emoji
    // presentation. The text is UTF-8.
    static bool prefersTextPresentation(std::string_view text);
    // The text with U+FE0E appended when prefersTextPresentation holds.
    static std::string textPresentationString(std::string_view text);
};

}  // namespace ravelgrid
