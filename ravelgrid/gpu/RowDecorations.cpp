#include "ravelgrid/gpu/RowDecorations.h"

#include "ravelgrid/drawing/LineDecorations.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace ravelgrid {

LineTransform LineTransform::forRow(BufferLine::RenderLineMode mode, double rowBottomPx, double rowTopPx,
                                    double viewportWidthPx)
{
    LineTransform t;
    t.mode = mode;
    switch (mode) {
    case BufferLine::RenderLineMode::single:
    case BufferLine::RenderLineMode::doubleWidth: break;
    case BufferLine::RenderLineMode::doubledTop:
        t.anchor = rowTopPx;
        t.clip = DeviceRect{0, rowBottomPx, viewportWidthPx, rowTopPx};
        break;
    case BufferLine::RenderLineMode::doubledDown:
        t.anchor = rowBottomPx;
        t.clip = DeviceRect{0, rowBottomPx, viewportWidthPx, rowTopPx};
        break;
    }
    return t;
}

DeviceRect applyLineRenderMode(DeviceRect r, const LineTransform& t)
{
    using Mode = BufferLine::RenderLineMode;
    if (t.mode != Mode::single) {
        r.x0 *= 2;
        r.x1 *= 2;
    }
    if (t.mode == Mode::doubledTop || t.mode == Mode::doubledDown) {
        r.y0 = 2 * (r.y0 - t.anchor) + t.anchor;
        r.y1 = 2 * (r.y1 - t.anchor) + t.anchor;
    }
    return {std::min(r.x0, r.x1), std::min(r.y0, r.y1), std::max(r.x0, r.x1), std::max(r.y0, r.y1)};
}

bool appendColorRect(std::vector<ColorCell>& out, DeviceRect r, const LineTransform& t, const float (&color)[4])
{
    r = applyLineRenderMode(r, t);
    if (t.clip) {
        r.x0 = std::max(r.x0, t.clip->x0);
        r.y0 = std::max(r.y0, t.clip->y0);
        r.x1 = std::min(r.x1, t.clip->x1);
        r.y1 = std::min(r.y1, t.clip->y1);
    }
    if (!(r.x1 > r.x0) || !(r.y1 > r.y0))
        return false;
    out.push_back(ColorCell{float(r.x0), float(r.y0), float(r.x1 - r.x0), float(r.y1 - r.y0), color[0], color[1],
                            color[2], color[3]});
    return true;
}

void appendDecorationQuads(std::vector<ColorCell>& out, double x0, double x1, double y, double thickness,
                           const float (&color)[4], double scale, UnderlineStyle style, const LineTransform& t)
{
    if (!(x1 > x0))
        return;
    const double half = thickness * 0.5;
    const double step = std::max(thickness, scale);
    switch (style) {
    case UnderlineStyle::none: return;
    case UnderlineStyle::single:
    case UnderlineStyle::double_: appendColorRect(out, {x0, y - half, x1, y + half}, t, color); return;
    case UnderlineStyle::curly: {
        const double wavelength = std::max(4 * thickness, 4 * scale);
        for (double x = x0; x < x1;) {
            const double yc = y + step * std::sin((x - x0) / wavelength * 2 * std::numbers::pi);
            const double next = std::min(x + step, x1);
            appendColorRect(out, {x, yc - half, next, yc + half}, t, color);
            x = next;
        }
        return;
    }
    case UnderlineStyle::dotted:
        for (double x = x0; x < x1; x += 3 * step)
            appendColorRect(out, {x, y - half, std::min(x + step, x1), y + half}, t, color);
        return;
    case UnderlineStyle::dashed: {
        const double dash = std::max(2 * thickness, 2 * scale);
        for (double x = x0; x < x1; x += 2 * dash)
            appendColorRect(out, {x, y - half, std::min(x + dash, x1), y + half}, t, color);
        return;
    }
    }
}

void appendUnderline(std::vector<ColorCell>& out, DeviceRect span, double yPt, double thicknessPt,
                     const float (&color)[4], double scale, UnderlineStyle style, const LineTransform& t)
{
    if (style == UnderlineStyle::double_) {
        appendDecorationQuads(out, span.x0, span.x1, yPt * scale, thicknessPt * scale, color, scale,
                              UnderlineStyle::single, t);
        appendDecorationQuads(out, span.x0, span.x1, (yPt - thicknessPt - 1.0) * scale, thicknessPt * scale, color,
                              scale, UnderlineStyle::single, t);
        return;
    }
    appendDecorationQuads(out, span.x0, span.x1, yPt * scale, thicknessPt * scale, color, scale, style, t);
}

double underlineKeptInRow(double yPt, double thicknessPt, UnderlineStyle style, double rowBottomPt)
{
    if (style == UnderlineStyle::curly || style == UnderlineStyle::none)
        return yPt;
    const double lowest = (style == UnderlineStyle::double_ ? yPt - thicknessPt - 1.0 : yPt) - thicknessPt * 0.5;
    return lowest < rowBottomPt ? yPt + (rowBottomPt - lowest) : yPt;
}

DeviceRect decorationSpan(int column, int columnWidth, double cellWidth, double scale)
{
    const double left = column * cellWidth;
    return {left * scale, 0, (left + decorationWidth(columnWidth, cellWidth)) * scale, 0};
}

double decorationThickness(double fontThickness, double scale)
{
    if (!(scale > 0))
        return 0.5;
    return std::max(0.5, std::round(fontThickness * scale) / scale);
}

}  // namespace ravelgrid
