#pragma once

#include "ravelgrid/gpu/FreeTypeGlyphRasterizer.h"
#include "ravelgrid/gpu/GlyphAtlas.h"
#include "ravelgrid/gpu/GlyphKey.h"

#include <functional>
#include <optional>
#include <unordered_map>

namespace ravelgrid {

// Where each glyph of a face at a size sits in the atlases, rasterised and
// uploaded on first use; fonts scaled to device pixels; and the rule that
// ties the atlases to the caches built on them. Main thread only, inside the
// frame build.
class GlyphCache {
public:
    using GlyphMap = std::unordered_map<GlyphKey, GlyphEntry, GlyphKeyHash, GlyphKeyEqual>;
    using ScaledFontMap = std::unordered_map<GlyphKey, GpuFont, GlyphKeyHash, GlyphKeyEqual>;
    using CustomGlyphMap = std::unordered_map<CustomGlyphKey, CustomGlyphEntry, CustomGlyphKeyHash>;

    static constexpr std::size_t maxScaledFonts = 1024;

    GlyphCache(FreeTypeGlyphRasterizer& rasterizer, GlyphAtlas& grayscaleAtlas, GlyphAtlas& colorAtlas);

    // Nothing for a blank glyph or one there is no room for; neither is
    // remembered, so it is tried again next frame.
    std::optional<GlyphEntry> glyphEntry(const GpuFont& font, std::uint16_t glyph);
    GpuFont scaledFont(const GpuFont& font, double scale);

    // Hands the setting to the rasterizer; a change forgets every glyph
    // (their places in the atlases go with the atlas's next reset) and the
    // rows drawn from them.
    void setFontSmoothing(bool on);

    // After every allocation in an atlas during a build, with its side read
    // before: a reset drops every region, a growth every texture coordinate.
    void noteAtlasChange(const GlyphAtlas& atlas, int sizeBefore);

    // Empties the owner's row cache (which lives with the renderer).
    std::function<void()> clearRowCache;
    bool atlasInvalidatedDuringBuild = false;

    const GlyphMap& glyphs() const { return glyphCache_; }
    const ScaledFontMap& scaledFonts() const { return scaledFontCache_; }
    CustomGlyphMap& customGlyphs() { return customGlyphCache_; }

private:
    FreeTypeGlyphRasterizer& rasterizer_;
    GlyphAtlas& grayscaleAtlas_;
    GlyphAtlas& colorAtlas_;
    GlyphMap glyphCache_;
    ScaledFontMap scaledFontCache_;
    CustomGlyphMap customGlyphCache_;
};

}  // namespace ravelgrid
