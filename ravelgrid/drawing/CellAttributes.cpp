#include "ravelgrid/drawing/CellAttributes.h"

namespace ravelgrid {
namespace {

bool isDefaultCase(const Attribute::Color& c)
{
    return c.kind() == Attribute::Color::Kind::defaultColor || c.kind() == Attribute::Color::Kind::defaultInvertedColor;
}

}  // namespace

void CellAttributes::setUseBrightColors(bool on)
{
    if (on == useBright_)
        return;
    useBright_ = on;
    clear();
}

void CellAttributes::clear()
{
    attributes_.clear();
    urlAttributes_.clear();
}

void CellAttributes::revalidate(bool reverse)
{
    if (builtGeneration_ != colors_.generation() || builtReverse_ != reverse) {
        clear();
        builtGeneration_ = colors_.generation();
        builtReverse_ = reverse;
    }
}

FontFace CellAttributes::faceFor(const Attribute& a, const Attribute::Color& fg, bool withException) const
{
    bool bold = a.style.contains(CharacterStyle::bold);
    // Without bright colours, bright palette text is drawn in its normal
    // colour, so boldness carries the difference.
    if (withException && !useBright_ && fg.kind() == Attribute::Color::Kind::ansi256 && fg.code() >= 8 &&
        fg.code() <= 15)
        bold = true;
    const bool italic = a.style.contains(CharacterStyle::italic);
    if (bold)
        return italic ? FontFace::boldItalic : FontFace::bold;
    return italic ? FontFace::italic : FontFace::normal;
}

const CellStyle& CellAttributes::attributesForCell(const Attribute& a, bool withUrl, bool reverse)
{
    revalidate(reverse);
    auto& cache = withUrl ? urlAttributes_ : attributes_;
    if (auto it = cache.find(a); it != cache.end())
        return it->second;

    Attribute::Color fg = a.fg;
    Attribute::Color bg = a.bg;
    if (a.style.contains(CharacterStyle::inverse)) {
        fg = isDefaultCase(a.bg) ? Attribute::Color::defaultInvertedColor() : a.bg;
        bg = isDefaultCase(a.fg) ? Attribute::Color::defaultInvertedColor() : a.fg;
    }
    const bool bold = a.style.contains(CharacterStyle::bold);

    CellStyle s;
    s.face = faceFor(a, fg, true);
    s.foreground = colors_.resolveColor(fg, true, bold, useBright_, reverse);
    s.background = colors_.resolveColor(bg, false, false, true, reverse);
    if (a.style.contains(CharacterStyle::dim))
        s.foreground = blendColors(s.foreground, s.background);

    if (a.style.contains(CharacterStyle::underline)) {
        s.underlineColor =
            a.underlineColor ? colors_.resolveColor(*a.underlineColor, true, bold, useBright_, reverse) : s.foreground;
        s.underlineStyle = a.underlineStyle == UnderlineStyle::none ? UnderlineStyle::single : a.underlineStyle;
    }
    if (a.style.contains(CharacterStyle::crossedOut)) {
        s.strikethrough = true;
        s.strikethroughColor = s.foreground;
    }
    if (withUrl) {
        s.underlineStyle = UnderlineStyle::dashed;
        s.underlineColor = s.foreground;
    }

    if (cache.size() >= capacity)
        cache.clear();
    return cache.emplace(a, s).first->second;
}

CellStyle CellAttributes::attributesWithColors(const Attribute& a, const QColor& fg, const QColor& bg, bool reverse)
{
    const bool inverse = a.style.contains(CharacterStyle::inverse);
    const bool bold = a.style.contains(CharacterStyle::bold);
    CellStyle s;
    s.face = faceFor(a, a.fg, false);
    s.foreground = inverse ? bg : fg;
    s.background = inverse ? fg : bg;
    if (a.style.contains(CharacterStyle::underline)) {
        s.underlineColor =
            a.underlineColor ? colors_.resolveColor(*a.underlineColor, true, bold, useBright_, reverse) : s.foreground;
        s.underlineStyle = a.underlineStyle == UnderlineStyle::none ? UnderlineStyle::single : a.underlineStyle;
    }
    if (a.style.contains(CharacterStyle::crossedOut)) {
        s.strikethrough = true;
        s.strikethroughColor = s.foreground;
    }
    return s;
}

}  // namespace ravelgrid
