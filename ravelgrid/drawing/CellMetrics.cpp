#include "ravelgrid/drawing/CellMetrics.h"

#include <QRectF>

#include <algorithm>
#include <cmath>

namespace ravelgrid {
namespace {

constexpr qreal maximumCellHeight = 8192.0;
constexpr int maximumGridExtent = 65535;

int truncatedCount(qreal length, qreal cell)
{
    if (!(cell > 0) || !std::isfinite(length) || length <= 0)
        return 0;
    qreal n = std::trunc(length / cell);
    if (!std::isfinite(n))
        return 0;
    return int(std::clamp<qreal>(n, 0, maximumGridExtent));
}

}  // namespace

double roundHalfAwayFromZero(double v)
{
    return std::round(v);
}

QSize devicePixelCellSize(QSizeF cell, qreal scale)
{
    if (!(scale > 0) || !std::isfinite(scale))
        scale = 1.0;
    auto px = [scale](qreal v) {
        const double r = roundHalfAwayFromZero(double(v) * scale);
        return std::isfinite(r) && r > 0 ? int(std::min(r, 1e6)) : 0;
    };
    return QSize(px(cell.width()), px(cell.height()));
}

QSizeF computeCellDimension(const QRawFont& normal, qreal lineSpacing, qreal scale)
{
    if (!(scale > 0) || !std::isfinite(scale))
        scale = 1.0;
    if (!(lineSpacing > 0) || !std::isfinite(lineSpacing))
        lineSpacing = 1.0;

    qreal width = 1.0;
    if (normal.isValid()) {
        const QList<quint32> glyphs = normal.glyphIndexesForString(QStringLiteral("W"));
        if (!glyphs.isEmpty() && glyphs.first() != 0) {
            const QList<QPointF> advances = normal.advancesForGlyphIndexes(glyphs);
            if (!advances.isEmpty())
                width = roundHalfAwayFromZero(advances.first().x() * scale) / scale;
        }
    }
    width = std::max<qreal>(width, 1.0);

    qreal height = 1.0;
    if (normal.isValid()) {
        const qreal lineHeight = std::ceil((normal.ascent() + normal.descent() + normal.leading()) * lineSpacing);
        height = std::ceil(lineHeight * scale) / scale;
    }
    if (!std::isfinite(height))
        height = maximumCellHeight;
    height = std::clamp<qreal>(height, 1.0, maximumCellHeight);
    return {width, height};
}

QSize gridSizeFor(QSizeF size, QSizeF cell, qreal reservedWidth)
{
    const qreal available = std::max<qreal>(size.width() - reservedWidth, 0);
    return {truncatedCount(available, cell.width()), truncatedCount(size.height(), cell.height())};
}

qreal baselineOffset(const QRawFont& normal)
{
    if (!normal.isValid())
        return 0;
    return std::ceil(normal.descent() + normal.leading());
}

GlyphSlotFit glyphSlotFit(const QRawFont& font, quint32 glyph, int span, QSizeF cell, const QRawFont& normal)
{
    if (span < 2 || cell.isEmpty() || !font.isValid())
        return {};
    const QList<QPointF> advances = font.advancesForGlyphIndexes(QList<quint32>{glyph});
    const qreal advance = advances.isEmpty() ? 0 : advances.first().x();
    return glyphSlotFit(advance, font.boundingRect(glyph), span, cell, baselineOffset(normal));
}

GlyphSlotFit glyphSlotFit(qreal advance, const QRectF& box, int span, QSizeF cell, qreal normalBaselineOffset)
{
    GlyphSlotFit fit;
    if (span < 2 || cell.isEmpty() || !(advance > 0))
        return fit;
    const qreal slotWidth = span * cell.width();
    const qreal slotHeight = cell.height();
    if ((box.width() <= slotWidth && box.height() <= slotHeight) || box.width() <= 0 || box.height() <= 0) {
        fit.dx = (slotWidth - advance) * 0.5;
        return fit;
    }
    qreal scale = std::min({slotHeight / box.height(), slotWidth / box.width(), 1.0});
    scale = std::max(scale, 0.1);
    fit.scale = scale;
    fit.dx = (slotWidth - advance * scale) * 0.5;
    if (scale == 1.0)
        return fit;
    // Put the scaled box's vertical centre on the slot's centre. The box is
    // y-down around the baseline, the slot centre lies slotHeight / 2 above
    // the row's bottom edge, which is baselineOffset below the baseline.
    const qreal slotCentreBelowBaseline = normalBaselineOffset - slotHeight * 0.5;
    fit.dy = slotCentreBelowBaseline - box.center().y() * scale;
    return fit;
}

qreal bitmapGlyphSlotDy(const QRectF& drawn, QSizeF cell, qreal normalBaselineOffset)
{
    // The rasterisers put the bitmap's top on the pixel above its exact top.
    const qreal slotCentreBelowBaseline = normalBaselineOffset - cell.height() * 0.5;
    return slotCentreBelowBaseline - (std::floor(drawn.top() + 1e-9) + drawn.height() * 0.5);
}

}  // namespace ravelgrid
