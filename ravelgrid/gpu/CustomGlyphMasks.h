#pragma once

#include "ravelgrid/gpu/GlyphBitmap.h"
#include "ravelgrid/gpu/GlyphKey.h"

#include <cstdint>
#include <optional>

namespace ravelgrid {

class GlyphAtlas;
class GlyphCache;

// A solid Powerline separator: which edge the tip is at, and whether it is a
// half disc rather than a triangle. The thin ones are left to the font.
struct PowerlineSolidShape {
    bool pointsRight = false;
    bool rounded = false;
    bool operator==(const PowerlineSolidShape&) const = default;
};

std::optional<PowerlineSolidShape> powerlineSolidGlyphShape(std::uint32_t codePoint);

struct PixelRect {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const PixelRect&) const = default;
};

// The one-pixel strip outside a solid separator's flat side, filled in its
// colour so it meets the neighbouring cell without a hair-line gap.
std::optional<PixelRect> powerlineJoinRect(std::uint32_t codePoint, PixelRect cell);

// A white mask (premultiplied BGRA, top row first) of a box-drawing
// character, block element or solid Powerline separator at exactly
// width x height device pixels; nothing for any other code point, a block
// without rectangles or an empty cell. Painted by the view's own painters.
std::optional<GlyphBitmap> paintCustomGlyphMask(std::uint32_t codePoint, int widthPx, int heightPx, int baseThicknessPx,
                                                double scale, bool antiAlias);

// The mask's place in the grayscale atlas, painted and uploaded once per
// key; every allocation is reported to the glyph cache.
std::optional<CustomGlyphEntry> customGlyphEntry(GlyphCache& cache, GlyphAtlas& grayscaleAtlas, double scale,
                                                 std::uint32_t codePoint, int widthPx, int heightPx,
                                                 int baseThicknessPx, bool antiAlias);

}  // namespace ravelgrid
