#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ravelgrid {

// How 16 installed colours are extended to the 256-entry palette.
enum class Ansi256PaletteStrategy : uint8_t { xterm, base16Lab, base16LabHarmonious };

// A colour with 16-bit channels, as X11 colour names and xterm
// colour replies use them. A plain value: palettes are arrays of these.
struct Color {
    uint16_t red = 0;
    uint16_t green = 0;
    uint16_t blue = 0;

    constexpr Color() = default;
    constexpr Color(uint16_t r, uint16_t g, uint16_t b) : red(r), green(g), blue(b) {}
    // Each 8-bit argument is clamped to 255 and scaled by 257.
    static constexpr Color fromRgb8(int r8, int g8, int b8)
    {
        auto scale = [](int v) { return static_cast<uint16_t>((v < 0 ? 0 : v > 255 ? 255 : v) * 257); };
        return {scale(r8), scale(g8), scale(b8)};
    }

    // "rgb:rrrr/gggg/bbbb", four lowercase hex digits per channel.
    std::string formatted() const;

    // An X11 colour string: "#" with 3, 6, 9 or 12 hex digits, or
    // "rgb:" with three 1..4-digit hex fields. Nothing for anything else.
    static std::optional<Color> parse(std::string_view text);
    // The conversion step of parse() without its validation, for OSC
    // payloads: a non-digit ends a field, missing fields read as 0.
    static std::optional<Color> parseColorText(std::span<const uint8_t> text);

    struct LabColor {
        double l = 0;
        double a = 0;
        double b = 0;
    };
    static LabColor toLab(const Color& c);
    static Color fromLab(const LabColor& lab);

    // The xterm 6x6x6 cube and 24 greys appended to the list.
    static std::vector<Color> appendXtermCube(std::vector<Color> colors);
    // The cube and greys interpolated in Lab between the installed colours
    // (background and foreground standing in for black and white).
    static std::vector<Color> build256Palette(std::span<const Color> installed, std::optional<Color> background,
                                              std::optional<Color> foreground, bool harmonious);

    // The 16-colour tables.
    static const std::array<Color, 16>& defaultInstalledColors();  // installed by a new terminal
    static const std::array<Color, 16>& paleColors();
    static const std::array<Color, 16>& terminalAppColors();
    static const std::array<Color, 16>& vgaColors();
    static const std::array<Color, 16>& xtermColors();

    // A new terminal's foreground (grey 0x8a3d) and background (black).
    static constexpr Color defaultForeground() { return {0x8a3d, 0x8a3d, 0x8a3d}; }
    static constexpr Color defaultBackground() { return {0, 0, 0}; }

    friend constexpr bool operator==(const Color&, const Color&) = default;
};

}  // namespace ravelgrid

template <>
struct std::hash<ravelgrid::Color> {
    size_t operator()(const ravelgrid::Color& c) const noexcept
    {
        return std::hash<uint64_t>{}(static_cast<uint64_t>(c.red) << 32 | static_cast<uint64_t>(c.green) << 16 |
                                     c.blue);
    }
};
