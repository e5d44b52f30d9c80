#pragma once

#include "ravelgrid/gpu/GlyphAtlas.h"
#include "ravelgrid/gpu/GlyphBitmap.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace ravelgrid {

namespace detail {
inline std::size_t mixHash(std::size_t seed, std::size_t value)
{
    return seed ^ (value + 0x9E3779B97F4A7C15ull + (seed << 6) + (seed >> 2));
}
// 0.0 and -0.0 compare equal, so they must hash alike.
inline std::size_t hashSize(double size)
{
    return std::hash<double>()(size == 0.0 ? 0.0 : size);
}
}  // namespace detail

// A glyph of a face at a size; with glyph 0, a face at a scaled size.
struct GlyphKey {
    std::string fontName;  // the face's key: PostScript name and synthesis
    double size = 0;
    std::uint16_t glyph = 0;
    bool operator==(const GlyphKey&) const = default;
};

// The same key without owning its name, for lookups that allocate nothing.
struct GlyphKeyView {
    std::string_view fontName;
    double size = 0;
    std::uint16_t glyph = 0;
};

struct GlyphKeyHash {
    using is_transparent = void;
    std::size_t operator()(const GlyphKeyView& k) const noexcept
    {
        std::size_t h = std::hash<std::string_view>()(k.fontName);
        h = detail::mixHash(h, detail::hashSize(k.size));
        return detail::mixHash(h, k.glyph);
    }
    std::size_t operator()(const GlyphKey& k) const noexcept
    {
        return (*this)(GlyphKeyView{k.fontName, k.size, k.glyph});
    }
};

struct GlyphKeyEqual {
    using is_transparent = void;
    static GlyphKeyView view(const GlyphKey& k) { return {k.fontName, k.size, k.glyph}; }
    static GlyphKeyView view(const GlyphKeyView& k) { return k; }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const noexcept
    {
        const GlyphKeyView x = view(a), y = view(b);
        return x.size == y.size && x.glyph == y.glyph && x.fontName == y.fontName;
    }
};

// Where a rasterised glyph sits in which atlas.
struct GlyphEntry {
    AtlasRegion region;
    GpuSize size;
    GpuPoint bearing;
    bool isColor = false;
    GlyphAtlasKind atlasKind = GlyphAtlasKind::grayscale;
    bool operator==(const GlyphEntry&) const = default;
};

// A box-drawing, block or Powerline shape drawn for one cell geometry.
struct CustomGlyphKey {
    std::uint32_t codePoint = 0;
    int cellWidthPx = 0;
    int cellHeightPx = 0;
    int baseThicknessPx = 0;
    int scale = 0;
    bool antiAlias = false;
    bool operator==(const CustomGlyphKey&) const = default;
};

struct CustomGlyphKeyHash {
    std::size_t operator()(const CustomGlyphKey& k) const noexcept
    {
        std::size_t h = std::hash<std::uint32_t>()(k.codePoint);
        for (int v : {k.cellWidthPx, k.cellHeightPx, k.baseThicknessPx, k.scale, int(k.antiAlias)})
            h = detail::mixHash(h, std::hash<int>()(v));
        return h;
    }
};

struct CustomGlyphEntry {
    AtlasRegion region;
    GpuSize size;
    bool operator==(const CustomGlyphEntry&) const = default;
};

}  // namespace ravelgrid
