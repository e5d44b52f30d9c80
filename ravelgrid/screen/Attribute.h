#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace ravelgrid {

// Option set of the style flags of a cell, over an 8-bit raw value.
struct CharacterStyle {
    uint8_t rawValue = 0;

    static const CharacterStyle none;
    static const CharacterStyle bold;
    static const CharacterStyle underline;
    static const CharacterStyle blink;
    static const CharacterStyle inverse;
    static const CharacterStyle invisible;
    static const CharacterStyle dim;
    static const CharacterStyle italic;
    static const CharacterStyle crossedOut;

    // From a packed 32-bit attribute word: bits 18..25.
    static constexpr CharacterStyle fromAttributeWord(uint32_t word) { return {static_cast<uint8_t>(word >> 18)}; }

    constexpr bool contains(CharacterStyle s) const { return (rawValue & s.rawValue) == s.rawValue; }
    constexpr bool isEmpty() const { return rawValue == 0; }
    constexpr void insert(CharacterStyle s) { rawValue = static_cast<uint8_t>(rawValue | s.rawValue); }
    constexpr void remove(CharacterStyle s) { rawValue = static_cast<uint8_t>(rawValue & ~s.rawValue); }

    friend constexpr CharacterStyle operator|(CharacterStyle a, CharacterStyle b)
    {
        return {static_cast<uint8_t>(a.rawValue | b.rawValue)};
    }
    friend constexpr CharacterStyle operator&(CharacterStyle a, CharacterStyle b)
    {
        return {static_cast<uint8_t>(a.rawValue & b.rawValue)};
    }
    friend constexpr CharacterStyle operator~(CharacterStyle a) { return {static_cast<uint8_t>(~a.rawValue)}; }
    constexpr CharacterStyle& operator|=(CharacterStyle b)
    {
        insert(b);
        return *this;
    }
    constexpr CharacterStyle& operator&=(CharacterStyle b)
    {
        rawValue = static_cast<uint8_t>(rawValue & b.rawValue);
        return *this;
    }
    friend constexpr bool operator==(const CharacterStyle&, const CharacterStyle&) = default;
};

inline constexpr CharacterStyle CharacterStyle::none{0};
inline constexpr CharacterStyle CharacterStyle::bold{1};
inline constexpr CharacterStyle CharacterStyle::underline{2};
inline constexpr CharacterStyle CharacterStyle::blink{4};
inline constexpr CharacterStyle CharacterStyle::inverse{8};
inline constexpr CharacterStyle CharacterStyle::invisible{16};
inline constexpr CharacterStyle CharacterStyle::dim{32};
inline constexpr CharacterStyle CharacterStyle::italic{64};
inline constexpr CharacterStyle CharacterStyle::crossedOut{128};

enum class UnderlineStyle : uint8_t { none = 0, single = 1, double_ = 2, curly = 3, dotted = 4, dashed = 5 };

// A raw value above 5 yields no style.
constexpr std::optional<UnderlineStyle> underlineStyleFromRaw(uint8_t raw)
{
    if (raw > 5)
        return std::nullopt;
    return static_cast<UnderlineStyle>(raw);
}

// The look of a cell. Compact (15 bytes) so that cells stay small.
struct Attribute {
    // A cell colour: a palette index, a 24-bit colour, or one of the two
    // defaults. Unused payload bytes are always zero so equality is bytewise.
    class Color {
    public:
        enum class Kind : uint8_t { ansi256, trueColor, defaultColor, defaultInvertedColor };

        constexpr Color() = default;
        static constexpr Color ansi256(uint8_t code) { return {Kind::ansi256, code, 0, 0}; }
        static constexpr Color trueColor(uint8_t red, uint8_t green, uint8_t blue)
        {
            return {Kind::trueColor, red, green, blue};
        }
        static constexpr Color defaultColor() { return {}; }
        static constexpr Color defaultInvertedColor() { return {Kind::defaultInvertedColor, 0, 0, 0}; }

        constexpr Kind kind() const { return kind_; }
        constexpr bool isDefault() const { return kind_ == Kind::defaultColor; }
        // Palette index of an ansi256 colour (0 otherwise).
        constexpr uint8_t code() const { return kind_ == Kind::ansi256 ? p0_ : 0; }
        // Channels of a trueColor colour (0 otherwise).
        constexpr uint8_t red() const { return kind_ == Kind::trueColor ? p0_ : 0; }
        constexpr uint8_t green() const { return p1_; }
        constexpr uint8_t blue() const { return p2_; }

        friend constexpr bool operator==(const Color&, const Color&) = default;
        size_t hash() const
        {
            return static_cast<size_t>(static_cast<uint32_t>(kind_) << 24 | static_cast<uint32_t>(p0_) << 16 |
                                       static_cast<uint32_t>(p1_) << 8 | p2_);
        }

    private:
        constexpr Color(Kind k, uint8_t a, uint8_t b, uint8_t c) : kind_(k), p0_(a), p1_(b), p2_(c) {}
        Kind kind_ = Kind::defaultColor;
        uint8_t p0_ = 0;
        uint8_t p1_ = 0;
        uint8_t p2_ = 0;
    };

    Color fg;
    Color bg;
    CharacterStyle style;
    UnderlineStyle underlineStyle = UnderlineStyle::none;
    std::optional<Color> underlineColor;

    // The SGR parameters that reproduce this attribute (for DECRQSS "m").
    std::string sgrText() const;

    friend bool operator==(const Attribute& a, const Attribute& b)
    {
        return a.style == b.style && a.fg == b.fg && a.bg == b.bg && a.underlineStyle == b.underlineStyle &&
               a.underlineColor == b.underlineColor;
    }
    size_t hash() const;
};

}  // namespace ravelgrid

template <>
struct std::hash<ravelgrid::Attribute::Color> {
    size_t operator()(const ravelgrid::Attribute::Color& c) const noexcept { return c.hash(); }
};

template <>
struct std::hash<ravelgrid::Attribute> {
    size_t operator()(const ravelgrid::Attribute& a) const noexcept { return a.hash(); }
};
