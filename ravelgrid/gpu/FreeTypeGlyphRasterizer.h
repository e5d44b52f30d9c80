#pragma once

#include "ravelgrid/gpu/GlyphBitmap.h"
#include "ravelgrid/gpu/GpuFace.h"

#include <optional>

namespace ravelgrid {

// Turns one glyph of a face at a size into a premultiplied BGRA bitmap:
// coverage as white, colour glyphs as they are, bitmap strikes scaled to
// the asked size. Main thread only.
class FreeTypeGlyphRasterizer {
public:
    // No glyph is bigger than this on either side.
    static constexpr int maxGlyphSide = 2048;

    // Copied from the view each frame. On: grayscale coverage (LCD
    // antialiasing would make every glyph a colour one); off: monochrome
    // outlines, hinted for it, every pixel fully on or off.
    bool fontSmoothing = true;

    // Nothing for a blank glyph or one that cannot be loaded.
    std::optional<GlyphBitmap> rasterize(const GpuFont& font, std::uint16_t glyph) const;
};

}  // namespace ravelgrid
