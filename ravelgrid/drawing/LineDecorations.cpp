#include "ravelgrid/drawing/LineDecorations.h"

#include "ravelgrid/drawing/CellMetrics.h"

#include <QPainter>
#include <QPolygonF>

#include <algorithm>
#include <climits>
#include <cmath>
#include <numbers>

namespace ravelgrid {
namespace {

int roundInt(double v)
{
    return int(roundHalfAwayFromZero(v));
}

// One horizontal line, in device pixels: the painter's unit is one device
// pixel here. `on` and `off` make a dash pattern that starts at x0; off 0
// draws solid.
void fillLine(QPainter& painter, int x0, int x1, int top, int thickness, int on, int off, const QColor& color)
{
    if (x1 <= x0 || thickness <= 0)
        return;
    if (off <= 0) {
        painter.fillRect(QRect(x0, top, x1 - x0, thickness), color);
        return;
    }
    for (int x = x0; x < x1; x += on + off)
        painter.fillRect(QRect(x, top, std::min(on, x1 - x), thickness), color);
}

}  // namespace

DecorationMetrics DecorationMetrics::fromFont(const QRawFont& normal, qreal cellWidth, qreal scale,
                                              const QColor& fallback)
{
    DecorationMetrics m;
    m.underlinePosition = normal.underlinePosition();
    m.underlineThickness = normal.lineThickness();
    m.cellWidth = cellWidth;
    m.scale = scale > 0 ? scale : 1.0;
    m.fallbackColor = fallback;
    return m;
}

StrikeMetrics StrikeMetrics::fromFont(const QRawFont& font)
{
    StrikeMetrics m;
    m.thickness = font.lineThickness();
    m.xHeight = font.xHeight();
    return m;
}

qreal decorationWidth(int columns, qreal cellWidth)
{
    return (std::max(columns, 1) - 1) * cellWidth + std::ceil(cellWidth);
}

void drawRunDecorations(QPainter& painter, const CellStyle& style, std::span<const DecorationPiece> pieces,
                        const DecorationMetrics& metrics, const StrikeMetrics& strike)
{
    if (pieces.empty() || !style.hasDecorations())
        return;
    const qreal s = metrics.scale > 0 ? metrics.scale : 1.0;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);

    // A line of width lw centred on y, as whole device pixels.
    auto lineTop = [s](qreal y, int thicknessPx) { return roundInt(y * s - thicknessPx * 0.5); };

    if (style.underlineStyle != UnderlineStyle::none) {
        const QColor color = style.underlineColor.isValid() ? style.underlineColor : metrics.fallbackColor;
        const qreal lw = std::max(0.5, roundHalfAwayFromZero(metrics.underlineThickness * s) / s);
        const int thPx = std::max(1, roundInt(lw * s));
        const qreal a = std::max(1.0, lw);
        const qreal period = std::max(4.0, 4 * lw);
        const qreal dash = std::max(2.0, 2 * lw);
        const qreal second = metrics.underlinePosition + lw + 1.0;

        if (style.underlineStyle == UnderlineStyle::curly) {
            QPen pen(color, lw);
            pen.setCapStyle(Qt::FlatCap);
            painter.setPen(pen);
            QPolygonF wave;
            for (const DecorationPiece& piece : pieces) {
                const QPointF p = piece.origin;
                const qreal w = decorationWidth(piece.columns, metrics.cellWidth);
                const qreal y0 = p.y() + metrics.underlinePosition;
                wave.clear();
                for (qreal x = p.x(); x <= p.x() + w + 1e-9; x += a)
                    wave << QPointF(x, y0 + a * std::sin(2 * std::numbers::pi * (x - p.x()) / period));
                painter.drawPolyline(wave);
            }
        } else {
            painter.save();
            painter.scale(1 / s, 1 / s);
            for (const DecorationPiece& piece : pieces) {
                const QPointF p = piece.origin;
                const int x0 = roundInt(p.x() * s);
                const int x1 = roundInt((p.x() + decorationWidth(piece.columns, metrics.cellWidth)) * s);
                int top = lineTop(p.y() + metrics.underlinePosition, thPx);
                const int bottom = metrics.belowBaseline > 0 ? roundInt((p.y() + metrics.belowBaseline) * s) : INT_MAX;
                const int singleTop = bottom == INT_MAX ? top : std::min(top, bottom - thPx);
                switch (style.underlineStyle) {
                case UnderlineStyle::double_: {
                    int secondTop = lineTop(p.y() + second, thPx);
                    // Both lines stay inside the row, one gap apart.
                    const int over = std::max(0, secondTop + thPx - bottom);
                    top -= over;
                    secondTop -= over;
                    fillLine(painter, x0, x1, top, thPx, 0, 0, color);
                    fillLine(painter, x0, x1, secondTop, thPx, 0, 0, color);
                    break;
                }
                case UnderlineStyle::dotted: {
                    const int on = std::max(1, roundInt(a * s));
                    fillLine(painter, x0, x1, singleTop, thPx, on, 2 * on, color);
                    break;
                }
                case UnderlineStyle::dashed: {
                    const int on = std::max(1, roundInt(dash * s));
                    fillLine(painter, x0, x1, singleTop, thPx, on, on, color);
                    break;
                }
                default: fillLine(painter, x0, x1, singleTop, thPx, 0, 0, color); break;
                }
            }
            painter.restore();
        }
    }

    if (style.strikethrough) {
        const QColor color = style.strikethroughColor.isValid() ? style.strikethroughColor : metrics.fallbackColor;
        const qreal lw = std::max(0.5, roundHalfAwayFromZero(strike.thickness * s) / s);
        const int thPx = std::max(1, roundInt(lw * s));
        const qreal off = (strike.xHeight + lw) * 0.5;
        painter.scale(1 / s, 1 / s);
        for (const DecorationPiece& piece : pieces) {
            const QPointF p = piece.origin;
            const int x0 = roundInt(p.x() * s);
            const int x1 = roundInt((p.x() + decorationWidth(piece.columns, metrics.cellWidth)) * s);
            fillLine(painter, x0, x1, lineTop(p.y() - off, thPx), thPx, 0, 0, color);
        }
    }
    painter.restore();
}

}  // namespace ravelgrid
