#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace ravelgrid {

// How a view answers the bell.
enum class BellStyle { none, sound, visual, soundAndVisual };

inline constexpr std::array<BellStyle, 4> allBellStyles{BellStyle::none, BellStyle::sound, BellStyle::visual,
                                                        BellStyle::soundAndVisual};

constexpr std::string_view rawValue(BellStyle style)
{
    switch (style) {
    case BellStyle::none: return "none";
    case BellStyle::sound: return "sound";
    case BellStyle::visual: return "visual";
    case BellStyle::soundAndVisual: return "soundAndVisual";
    }
    return "none";
}

// Exact comparison: "Sound" names no style.
constexpr std::optional<BellStyle> bellStyleFromRawValue(std::string_view raw)
{
    for (BellStyle style : allBellStyles)
        if (rawValue(style) == raw)
            return style;
    return std::nullopt;
}

}  // namespace ravelgrid
