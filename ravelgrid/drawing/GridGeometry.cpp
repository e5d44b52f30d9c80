#include "ravelgrid/drawing/GridGeometry.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ravelgrid {
namespace {

std::optional<int> rowOf(qreal y, qreal cellHeight)
{
    const qreal q = std::trunc(y / cellHeight);
    if (!std::isfinite(q) || q < qreal(std::numeric_limits<int>::min()) || q > qreal(std::numeric_limits<int>::max()))
        return std::nullopt;
    return int(q);
}

}  // namespace

std::optional<std::pair<int, int>> GridGeometry::rowsIntersecting(const QRectF& rect) const
{
    if (rect.isEmpty() || !(cell_.height() > 0))
        return std::nullopt;
    auto first = rowOf(rect.top(), cell_.height());
    auto last = rowOf(rect.bottom(), cell_.height());
    if (!first || !last || *last < *first)
        return std::nullopt;
    return std::make_pair(*first, *last);
}

QRectF GridGeometry::bottomStrip() const
{
    if (!(cell_.height() > 0))
        return {};
    // Whole rows counted as the grid counts them: a remainder taken with
    // fmod can come out one rounding short of a whole cell when the height
    // is an exact multiple, and the strip would then cover the last row.
    const qreal rows = std::trunc(view_.height() / cell_.height());
    if (!std::isfinite(rows) || rows < 0)
        return {};
    const qreal top = std::min(rows * cell_.height(), view_.height());
    return {0, top, view_.width(), view_.height() - top};
}

QRectF GridGeometry::invalidationRect(int firstRow, int lastRow, int terminalRows, bool showingBottom) const
{
    if (!showingBottom)
        return {QPointF(0, 0), view_};
    const qreal top = rowTop(firstRow);
    if (lastRow >= terminalRows - 1)
        return {0, top, view_.width(), std::max<qreal>(view_.height() - top, 0)};
    const qreal bottom = std::min(rowBottom(lastRow + 1), view_.height());
    return {0, top, view_.width(), std::max<qreal>(bottom - top, 0)};
}

}  // namespace ravelgrid
