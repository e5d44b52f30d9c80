#pragma once

#include "ravelgrid/drawing/CellAttributes.h"

#include <QPointF>
#include <QRawFont>

#include <span>

class QPainter;

namespace ravelgrid {

// Font and cell measures the decorations are drawn from, in logical pixels.
// Qt's underline position is positive below the baseline.
struct DecorationMetrics {
    qreal underlinePosition = 1;
    qreal underlineThickness = 1;
    qreal cellWidth = 8;
    qreal scale = 1;  // device pixels per logical pixel
    // From the baseline down to the row's bottom edge (0: no limit). Lines
    // are kept above it, so the next row's drawing cannot cut them.
    qreal belowBaseline = 0;
    // The colour used when a run names none: the native background under
    // reverse video, else the native foreground.
    QColor fallbackColor;

    static DecorationMetrics fromFont(const QRawFont& normal, qreal cellWidth, qreal scale, const QColor& fallback);
};

// Strikethrough measures of the run's own font.
struct StrikeMetrics {
    qreal thickness = 1;
    qreal xHeight = 5;
    static StrikeMetrics fromFont(const QRawFont& font);
};

// One cell's share of a run's decorations: its left edge on the baseline and
// the columns it covers. A wide cell is one piece, so a pattern runs on
// across its columns instead of starting again in the second.
struct DecorationPiece {
    QPointF origin;
    int columns = 1;
};

// How wide a decoration under a cell of `columns` columns is, in the unit of
// cellWidth: ceil() on the last column closes the hair-line gap a fractional
// cell width would leave.
qreal decorationWidth(int columns, qreal cellWidth);

// Strokes a run's underline and strikethrough cell by cell; every cell's
// segment starts its own dash pattern. Lines are whole device pixels thick
// and start on whole device pixels. The painter's state is left as it was.
void drawRunDecorations(QPainter& painter, const CellStyle& style, std::span<const DecorationPiece> pieces,
                        const DecorationMetrics& metrics, const StrikeMetrics& strike);

}  // namespace ravelgrid
