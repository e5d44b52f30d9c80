#pragma once

#include "ravelgrid/screen/Attribute.h"
#include "ravelgrid/screen/BufferLine.h"

#include <optional>
#include <vector>

namespace ravelgrid {

// A filled rectangle of a row: lower-left corner and size in device pixels
// (y up), straight colour.
struct ColorCell {
    float x = 0, y = 0;
    float width = 0, height = 0;
    float r = 0, g = 0, b = 0, a = 1;
};
static_assert(sizeof(ColorCell) == 32);

struct DeviceRect {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

// How a doubled line maps its rectangles: x doubled, and for the two
// double-height halves y doubled about the anchor and clipped to the row.
struct LineTransform {
    BufferLine::RenderLineMode mode = BufferLine::RenderLineMode::single;
    double anchor = 0;
    std::optional<DeviceRect> clip;

    // rowBottomPx/rowTopPx: the row's edges; viewportWidthPx: the clip's width.
    static LineTransform forRow(BufferLine::RenderLineMode mode, double rowBottomPx, double rowTopPx,
                                double viewportWidthPx);
};

// The transformed rectangle, corners ordered.
DeviceRect applyLineRenderMode(DeviceRect r, const LineTransform& t);

// Transformed, clipped and appended; false when nothing of it is left.
bool appendColorRect(std::vector<ColorCell>& out, DeviceRect r, const LineTransform& t, const float (&color)[4]);

// One decoration line from x0 to x1 at y (pixels): the pattern starts at x0,
// so a caller that passes one cell at a time restarts it per cell.
void appendDecorationQuads(std::vector<ColorCell>& out, double x0, double x1, double y, double thickness,
                           const float (&color)[4], double scale, UnderlineStyle style, const LineTransform& t);

// An underline in points at yPt (y up) over a span in pixels: a double one
// is two single lines, the second thickness + 1 pt lower.
void appendUnderline(std::vector<ColorCell>& out, DeviceRect span, double yPt, double thicknessPt,
                     const float (&color)[4], double scale, UnderlineStyle style, const LineTransform& t);

// Where an underline at yPt (points, y up) is drawn so that it stays above
// the row's bottom edge, which the next row's background would cover: a
// double one is lifted as a pair. Curly lines are left where they are.
double underlineKeptInRow(double yPt, double thicknessPt, UnderlineStyle style, double rowBottomPt);

// The pixel span a decoration covers under a cell `columnWidth` columns wide:
// all of its columns, not only the first.
DeviceRect decorationSpan(int column, int columnWidth, double cellWidth, double scale);

// Decoration thickness in points: the font's, rounded to device pixels, at
// least half a point.
double decorationThickness(double fontThickness, double scale);

// Where a strikethrough runs, in points above the baseline.
inline double strikethroughOffset(double xHeight, double thickness)
{
    return (xHeight + thickness) * 0.5;
}

}  // namespace ravelgrid
