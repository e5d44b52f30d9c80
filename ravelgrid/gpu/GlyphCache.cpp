#include "ravelgrid/gpu/GlyphCache.h"

namespace ravelgrid {

GlyphCache::GlyphCache(FreeTypeGlyphRasterizer& rasterizer, GlyphAtlas& grayscaleAtlas, GlyphAtlas& colorAtlas)
    : rasterizer_(rasterizer), grayscaleAtlas_(grayscaleAtlas), colorAtlas_(colorAtlas)
{}

std::optional<GlyphEntry> GlyphCache::glyphEntry(const GpuFont& font, std::uint16_t glyph)
{
    const GlyphKeyView key{font.key(), font.size(), glyph};
    if (auto it = glyphCache_.find(key); it != glyphCache_.end())
        return it->second;
    std::optional<GlyphBitmap> bitmap = rasterizer_.rasterize(font, glyph);
    if (!bitmap)
        return std::nullopt;
    GlyphAtlas& atlas = bitmap->isColor ? colorAtlas_ : grayscaleAtlas_;
    const int sizeBefore = atlas.size();
    const std::optional<AtlasRegion> region = atlas.allocateRegion(bitmap->width, bitmap->height);
    noteAtlasChange(atlas, sizeBefore);
    if (!region)
        return std::nullopt;
    // A texture that refused the texels must not be drawn from.
    if (!atlas.upload(*bitmap, *region))
        return std::nullopt;
    const GlyphEntry entry{*region, GpuSize{double(bitmap->width), double(bitmap->height)}, bitmap->bearing,
                           bitmap->isColor, bitmap->isColor ? GlyphAtlasKind::color : GlyphAtlasKind::grayscale};
    glyphCache_.emplace(GlyphKey{font.key(), font.size(), glyph}, entry);
    return entry;
}

GpuFont GlyphCache::scaledFont(const GpuFont& font, double scale)
{
    const GpuFont scaled = font.withSize(font.size() * scale);
    const GlyphKeyView key{font.key(), scaled.size(), 0};
    if (auto it = scaledFontCache_.find(key); it != scaledFontCache_.end())
        return it->second;
    // Scales come from the window; a stream of odd ones must not grow this.
    if (scaledFontCache_.size() >= maxScaledFonts)
        scaledFontCache_.clear();
    scaledFontCache_.emplace(GlyphKey{font.key(), scaled.size(), 0}, scaled);
    return scaled;
}

void GlyphCache::setFontSmoothing(bool on)
{
    if (on == rasterizer_.fontSmoothing)
        return;
    rasterizer_.fontSmoothing = on;
    glyphCache_.clear();
    if (clearRowCache)
        clearRowCache();
}

void GlyphCache::noteAtlasChange(const GlyphAtlas& atlas, int sizeBefore)
{
    if (atlas.didReset()) {
        glyphCache_.clear();
        customGlyphCache_.clear();
    } else if (atlas.size() == sizeBefore) {
        return;
    }
    if (clearRowCache)
        clearRowCache();
    atlasInvalidatedDuringBuild = true;
}

}  // namespace ravelgrid
