#pragma once

#include "ravelgrid/drawing/ColorResolver.h"
#include "ravelgrid/drawing/FontSet.h"
#include "ravelgrid/screen/Attribute.h"

#include <QColor>

#include <unordered_map>

namespace ravelgrid {

// How one cell attribute is drawn: face, colours and decorations.
struct CellStyle {
    FontFace face = FontFace::normal;
    QColor foreground;
    QColor background;
    UnderlineStyle underlineStyle = UnderlineStyle::none;  // none: no underline
    QColor underlineColor;
    bool strikethrough = false;
    QColor strikethroughColor;

    bool hasDecorations() const { return underlineStyle != UnderlineStyle::none || strikethrough; }
};

// The style of each cell attribute, cached: one cache for plain cells and one
// for cells with the link look, 4096 entries each, emptied whole when full.
// The caches start over by themselves when the colours they were built from
// change (palette, native colours, reverse video, bright option).
class CellAttributes {
public:
    static constexpr size_t capacity = 4096;

    explicit CellAttributes(ColorResolver& colors) : colors_(colors) {}

    void setUseBrightColors(bool on);
    bool useBrightColors() const { return useBright_; }

    const CellStyle& attributesForCell(const Attribute& attribute, bool withUrl, bool reverse);

    // Uncached, for explicit colours (the caret): inverse swaps the two,
    // no dim blending, no link look.
    CellStyle attributesWithColors(const Attribute& style, const QColor& fg, const QColor& bg, bool reverse);

    const ColorResolver& colors() const { return colors_; }

    void clear();
    size_t cachedCount(bool withUrl) const { return withUrl ? urlAttributes_.size() : attributes_.size(); }

private:
    FontFace faceFor(const Attribute& a, const Attribute::Color& fg, bool withException) const;
    void revalidate(bool reverse);

    ColorResolver& colors_;
    bool useBright_ = true;
    std::unordered_map<Attribute, CellStyle> attributes_;
    std::unordered_map<Attribute, CellStyle> urlAttributes_;
    uint64_t builtGeneration_ = 0;
    bool builtReverse_ = false;
};

}  // namespace ravelgrid
