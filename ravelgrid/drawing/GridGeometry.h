#pragma once

#include <QRectF>
#include <QSizeF>

#include <optional>
#include <utility>

namespace ravelgrid {

// The one place where screen rows and columns become Qt coordinates (y
// grows downward, row 0 at the top edge of the view). Drawing, the caret and
// invalidation all go through here.
class GridGeometry {
public:
    GridGeometry() = default;
    GridGeometry(QSizeF cell, QSizeF viewSize, qreal baselineOffset)
        : cell_(cell), view_(viewSize), baselineOffset_(baselineOffset)
    {}

    QSizeF cell() const { return cell_; }
    QSizeF viewSize() const { return view_; }

    qreal columnX(int column) const { return column * cell_.width(); }
    qreal rowTop(int screenRow) const { return screenRow * cell_.height(); }
    qreal rowBottom(int screenRow) const { return rowTop(screenRow + 1); }
    qreal baselineY(int screenRow) const { return rowBottom(screenRow) - baselineOffset_; }

    // A row's bottom edge in device pixels counted up from the view's
    // bottom: where the GPU path's records place it.
    qreal deviceRowBottomUp(int screenRow, qreal scale) const
    {
        return (view_.height() - rowBottom(screenRow)) * scale;
    }

    QRectF cellRect(int column, int screenRow, int span = 1) const
    {
        return {columnX(column), rowTop(screenRow), span * cell_.width(), cell_.height()};
    }
    QRectF rowRect(int screenRow) const { return {0, rowTop(screenRow), view_.width(), cell_.height()}; }

    // Screen rows touched by a rectangle, first and last inclusive (a
    // rectangle covering half a row yields that row). Nothing for an empty
    // rectangle or one whose bounds do not convert to rows.
    std::optional<std::pair<int, int>> rowsIntersecting(const QRectF& rect) const;

    // The strip along the bottom edge that holds no whole row.
    QRectF bottomStrip() const;

    // What a display update invalidates for changed screen rows first..last:
    // the rows and one row below them, or down to the bottom edge when the
    // last screen row changed; the whole view while scrolled back.
    QRectF invalidationRect(int firstRow, int lastRow, int terminalRows, bool showingBottom) const;

private:
    QSizeF cell_{1, 1};
    QSizeF view_;
    qreal baselineOffset_ = 0;
};

}  // namespace ravelgrid
