#include "ravelgrid/gpu/FreeTypeGlyphRasterizer.h"

#include FT_SYNTHESIS_H

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace ravelgrid {
namespace {

// Box filter over the source texels each target texel covers; fine for the
// big emoji strikes scaled down to text sizes.
std::vector<std::uint8_t> resample(const std::vector<std::uint8_t>& src, int sw, int sh, int dw, int dh)
{
    std::vector<std::uint8_t> out(std::size_t(dw) * std::size_t(dh) * 4);
    const double fx = double(sw) / dw, fy = double(sh) / dh;
    for (int y = 0; y < dh; ++y) {
        const int y0 = std::min(int(y * fy), sh - 1);
        const int y1 = std::clamp(int(std::ceil((y + 1) * fy)), y0 + 1, sh);
        for (int x = 0; x < dw; ++x) {
            const int x0 = std::min(int(x * fx), sw - 1);
            const int x1 = std::clamp(int(std::ceil((x + 1) * fx)), x0 + 1, sw);
            unsigned sum[4] = {0, 0, 0, 0};
            for (int sy = y0; sy < y1; ++sy)
                for (int sx = x0; sx < x1; ++sx)
                    for (int c = 0; c < 4; ++c)
                        sum[c] += src[(std::size_t(sy) * std::size_t(sw) + std::size_t(sx)) * 4 + std::size_t(c)];
            const unsigned n = unsigned((y1 - y0) * (x1 - x0));
            for (int c = 0; c < 4; ++c)
                out[(std::size_t(y) * std::size_t(dw) + std::size_t(x)) * 4 + std::size_t(c)] =
                    std::uint8_t((sum[c] + n / 2) / n);
        }
    }
    return out;
}

}  // namespace

std::optional<GlyphBitmap> FreeTypeGlyphRasterizer::rasterize(const GpuFont& font, std::uint16_t glyph) const
{
    if (!font.valid())
        return std::nullopt;
    GpuFace& face = *font.face();
    const std::optional<double> bitmapScale = face.activateSize(font.size());
    if (!bitmapScale)
        return std::nullopt;
    FT_Face ft = face.ftFace();
    // Light (vertical-only) hinting, as Linux desktops draw text; the full
    // bytecode interpreter costs four times as much per glyph.
    const FT_Int32 target = fontSmoothing ? FT_LOAD_TARGET_LIGHT : FT_LOAD_TARGET_MONO;
    if (FT_Load_Glyph(ft, glyph, FT_LOAD_COLOR | target) != 0)
        return std::nullopt;
    FT_GlyphSlot slot = ft->glyph;
    // In the painter's order: embolden, then slant.
    const FaceSynthesis synthesis = face.synthesis();
    if (synthesis.embolden)
        FT_GlyphSlot_Embolden(slot);
    if (synthesis.oblique)
        FT_GlyphSlot_Oblique(slot);
    if (slot->format != FT_GLYPH_FORMAT_BITMAP &&
        FT_Render_Glyph(slot, fontSmoothing ? FT_RENDER_MODE_NORMAL : FT_RENDER_MODE_MONO) != 0)
        return std::nullopt;
    const FT_Bitmap& bm = slot->bitmap;
    const int w = int(bm.width), h = int(bm.rows);
    if (w <= 0 || h <= 0 || w > 4 * maxGlyphSide || h > 4 * maxGlyphSide || !bm.buffer)
        return std::nullopt;
    if (bm.pixel_mode != FT_PIXEL_MODE_GRAY && bm.pixel_mode != FT_PIXEL_MODE_MONO &&
        bm.pixel_mode != FT_PIXEL_MODE_BGRA)
        return std::nullopt;

    std::vector<std::uint8_t> pixels(std::size_t(w) * std::size_t(h) * 4);
    const std::size_t pitch = std::size_t(std::abs(bm.pitch));
    for (int y = 0; y < h; ++y) {
        // A negative pitch means the rows are stored bottom-up.
        const std::uint8_t* row =
            bm.pitch >= 0 ? bm.buffer + std::size_t(y) * pitch : bm.buffer + std::size_t(h - 1 - y) * pitch;
        std::uint8_t* out = pixels.data() + std::size_t(y) * std::size_t(w) * 4;
        for (int x = 0; x < w; ++x) {
            std::uint8_t* px = out + std::size_t(x) * 4;
            if (bm.pixel_mode == FT_PIXEL_MODE_BGRA) {
                std::copy(row + std::size_t(x) * 4, row + std::size_t(x) * 4 + 4, px);
            } else {
                const std::uint8_t c =
                    bm.pixel_mode == FT_PIXEL_MODE_GRAY ? row[x] : ((row[x >> 3] >> (7 - (x & 7))) & 1 ? 255 : 0);
                px[0] = px[1] = px[2] = px[3] = c;
            }
        }
    }

    GlyphBitmap out;
    int left = slot->bitmap_left, top = slot->bitmap_top;
    if (*bitmapScale != 1.0) {
        const double s = *bitmapScale;
        const int dw = std::max(1, int(std::lround(w * s))), dh = std::max(1, int(std::lround(h * s)));
        if (dw > maxGlyphSide || dh > maxGlyphSide)
            return std::nullopt;
        pixels = resample(pixels, w, h, dw, dh);
        out.width = dw;
        out.height = dh;
        // Where the painter puts a scaled strike: its origin floored, so
        // the top rounds up.
        left = int(std::floor(left * s + 1e-9));
        top = int(std::ceil(top * s - 1e-9));
    } else {
        if (w > maxGlyphSide || h > maxGlyphSide)
            return std::nullopt;
        out.width = w;
        out.height = h;
    }
    out.bearing = GpuPoint{double(left), double(top - out.height)};
    out.isColor = hasColour(pixels);
    out.pixels = std::move(pixels);
    return out;
}

}  // namespace ravelgrid
