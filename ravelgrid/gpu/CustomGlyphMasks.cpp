#include "ravelgrid/gpu/CustomGlyphMasks.h"

#include "ravelgrid/drawing/CustomGlyphs.h"
#include "ravelgrid/gpu/GlyphAtlas.h"
#include "ravelgrid/gpu/GlyphCache.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ravelgrid {

std::optional<PowerlineSolidShape> powerlineSolidGlyphShape(std::uint32_t codePoint)
{
    switch (codePoint) {
    case 0xE0B0: return PowerlineSolidShape{true, false};
    case 0xE0B2: return PowerlineSolidShape{false, false};
    case 0xE0B4: return PowerlineSolidShape{true, true};
    case 0xE0B6: return PowerlineSolidShape{false, true};
    default: return std::nullopt;
    }
}

std::optional<PixelRect> powerlineJoinRect(std::uint32_t codePoint, PixelRect cell)
{
    const auto shape = powerlineSolidGlyphShape(codePoint);
    if (!shape)
        return std::nullopt;
    const double minX = std::min(cell.x, cell.x + cell.width);
    const double maxX = std::max(cell.x, cell.x + cell.width);
    const double minY = std::min(cell.y, cell.y + cell.height);
    return PixelRect{shape->pointsRight ? minX - 1.0 : maxX, minY, 1.0, std::abs(cell.height)};
}

namespace {

void paintPowerline(QPainter& p, PowerlineSolidShape shape, double w, double h)
{
    // Qt's y grows downward; the shape is symmetric, so only the tip's
    // snapping needs care: it lands on a whole device-pixel row.
    const double flat = shape.pointsRight ? 0 : w;
    const double tip = shape.pointsRight ? w : 0;
    QPainterPath path;
    path.moveTo(flat, 0);
    if (shape.rounded) {
        const double reach = shape.pointsRight ? 4.0 / 3.0 * w : w - 4.0 / 3.0 * w;
        path.cubicTo(reach, 0, reach, h, flat, h);
    } else {
        path.lineTo(tip, std::round(h * 0.5));
        path.lineTo(flat, h);
    }
    path.closeSubpath();
    p.setRenderHint(QPainter::Antialiasing, true);
    p.fillPath(path, Qt::white);
}

bool paintBlock(QPainter& p, std::uint32_t cp, double w, double h, bool antiAlias)
{
    const auto rects = blockElementRects(char32_t(cp));
    if (rects.empty())
        return false;
    p.setRenderHint(QPainter::Antialiasing, antiAlias);
    for (const BlockElementRect& r : rects) {
        double x0 = r.x0 * w / 8, x1 = r.x1 * w / 8, y0 = r.y0 * h / 8, y1 = r.y1 * h / 8;
        if (!antiAlias) {
            // Outward to whole pixels, so neighbouring cells leave no seam.
            x0 = std::floor(x0);
            y0 = std::floor(y0);
            x1 = std::ceil(x1);
            y1 = std::ceil(y1);
        }
        if (x1 <= x0 || y1 <= y0)
            continue;
        p.fillRect(QRectF(x0, y0, x1 - x0, y1 - y0), QColor::fromRgbF(1, 1, 1, float(blockAlphaFactor(r.alpha))));
    }
    return true;
}

}  // namespace

std::optional<GlyphBitmap> paintCustomGlyphMask(std::uint32_t codePoint, int widthPx, int heightPx, int baseThicknessPx,
                                                double scale, bool antiAlias)
{
    (void)scale;  // the painters work in device pixels already
    if (widthPx < 1 || heightPx < 1)
        return std::nullopt;
    QImage image(widthPx, heightPx, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return std::nullopt;
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        if (const auto shape = powerlineSolidGlyphShape(codePoint)) {
            paintPowerline(p, *shape, widthPx, heightPx);
        } else if ((codePoint & ~0x7Fu) == 0x2500) {
            p.setRenderHint(QPainter::Antialiasing, false);
            paintBoxGlyphPx(p, char32_t(codePoint), Qt::white, std::max(baseThicknessPx, 1),
                            QRect(0, 0, widthPx, heightPx));
        } else if ((codePoint & ~0x1Fu) == 0x2580) {
            if (!paintBlock(p, codePoint, widthPx, heightPx, antiAlias))
                return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    GlyphBitmap bitmap;
    bitmap.width = widthPx;
    bitmap.height = heightPx;
    bitmap.pixels.resize(std::size_t(widthPx) * std::size_t(heightPx) * 4);
    // ARGB32 in native order is B, G, R, A in memory on the machines we build for.
    for (int row = 0; row < heightPx; ++row)
        std::memcpy(bitmap.pixels.data() + std::size_t(row) * std::size_t(widthPx) * 4, image.constScanLine(row),
                    std::size_t(widthPx) * 4);
    return bitmap;
}

std::optional<CustomGlyphEntry> customGlyphEntry(GlyphCache& cache, GlyphAtlas& grayscaleAtlas, double scale,
                                                 std::uint32_t codePoint, int widthPx, int heightPx,
                                                 int baseThicknessPx, bool antiAlias)
{
    const CustomGlyphKey key{codePoint, widthPx, heightPx, baseThicknessPx, std::max(1, int(std::lround(scale))),
                             antiAlias};
    if (auto hit = cache.customGlyphs().find(key); hit != cache.customGlyphs().end())
        return hit->second;
    const auto bitmap = paintCustomGlyphMask(codePoint, widthPx, heightPx, baseThicknessPx, scale, antiAlias);
    if (!bitmap)
        return std::nullopt;
    const int sizeBefore = grayscaleAtlas.size();
    const auto region = grayscaleAtlas.allocateRegion(widthPx, heightPx);
    cache.noteAtlasChange(grayscaleAtlas, sizeBefore);
    if (!region || !grayscaleAtlas.upload(*bitmap, *region))
        return std::nullopt;
    const CustomGlyphEntry entry{*region, GpuSize{double(widthPx), double(heightPx)}};
    cache.customGlyphs().insert_or_assign(key, entry);
    return entry;
}

}  // namespace ravelgrid
