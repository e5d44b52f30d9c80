#pragma once

#include <QRawFont>
#include <QRectF>
#include <QSize>
#include <QSizeF>

namespace ravelgrid {

// Rounds to whole pixels with halves away from zero, so that a metric of
// exactly n.5 device pixels rounds the same way whatever its sign.
double roundHalfAwayFromZero(double v);

// One cell in whole device pixels: round-half-away(cell × scale), the one
// rule for the cell-size and text-area reports and the pty's pixel size.
// A non-finite or non-positive scale counts as 1.
QSize devicePixelCellSize(QSizeF cell, qreal scale);

// The cell size in logical pixels for a font, a line-spacing factor and a
// device pixel ratio. Width and height are whole device pixels, so cell
// edges never blur.
QSizeF computeCellDimension(const QRawFont& normal, qreal lineSpacing, qreal scale);

// Columns and rows that fit a size (fractions dropped), with the given width
// kept free on the right.
QSize gridSizeFor(QSizeF size, QSizeF cell, qreal reservedWidth = 0);

// Distance from a row's bottom edge up to the text baseline.
qreal baselineOffset(const QRawFont& normal);

// How a glyph is fitted into a slot of several cells: offset of its origin
// and a uniform scale.
struct GlyphSlotFit {
    qreal dx = 0;
    qreal dy = 0;
    qreal scale = 1.0;
};

// Centres a glyph in a slot of `span` cells and shrinks it when its box does
// not fit. dy is in Qt's y-down sense: add it to the baseline's y.
GlyphSlotFit glyphSlotFit(const QRawFont& font, quint32 glyph, int span, QSizeF cell, const QRawFont& normal);

// The same fit from measures taken elsewhere (the GPU path reads them from
// its own faces): the advance and the ink box, y down from the baseline,
// and the normal font's baselineOffset.
GlyphSlotFit glyphSlotFit(qreal advance, const QRectF& box, int span, QSizeF cell, qreal normalBaselineOffset);

// The dy that centres a shrunk bitmap-strike glyph (colour emoji) in its
// slot as it is really drawn: at the size the font scales it to, its top
// on a whole pixel. `drawn` is its box at that size. Both paths use it, as
// the fitted box alone leaves such a glyph up to a pixel out of its slot.
qreal bitmapGlyphSlotDy(const QRectF& drawn, QSizeF cell, qreal normalBaselineOffset);

}  // namespace ravelgrid
