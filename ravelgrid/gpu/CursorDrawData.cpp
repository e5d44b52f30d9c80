#include "ravelgrid/gpu/CursorDrawData.h"

#include "ravelgrid/terminal/Terminal.h"

#include <algorithm>

namespace ravelgrid {

namespace {

void pushRect(std::vector<ColorVertex>& out, double x0, double y0, double x1, double y1, CaretColor c)
{
    const auto v = [&](double x, double y) { return ColorVertex{float(x), float(y), c.r, c.g, c.b, c.a}; };
    out.insert(out.end(), {v(x0, y0), v(x1, y0), v(x0, y1), v(x1, y0), v(x1, y1), v(x0, y1)});
}

bool blinks(CursorStyle s)
{
    return s == CursorStyle::blinkBlock || s == CursorStyle::blinkUnderline || s == CursorStyle::blinkBar;
}

}  // namespace

CursorDrawData buildCursorDrawData(Terminal& terminal, const CursorFrameInput& in)
{
    CursorDrawData out;
    if (terminal.cursorHidden)
        return out;
    Buffer& buffer = terminal.activeBuffer();
    const int cols = buffer.cols();
    const int row = buffer.y() + buffer.yBase();
    if (row < 0 || row < in.firstLine || row > in.lastLine || row >= buffer.lines().count() || cols <= 0)
        return out;
    int column = buffer.x();
    if (column == cols)
        column = cols - 1;
    if (column < 0 || column >= cols)
        return out;

    const bool unfocused = in.tracksFocus && !in.focused;
    if (!unfocused && blinks(terminal.cursorStyle) && !in.blinkOn)
        return out;

    const BufferLine& line = buffer.lines()[row];
    const CharData& cell = line[column];
    const double widthFactor = line.renderMode() == BufferLine::RenderLineMode::single ? 1.0 : 2.0;
    const double s = in.scale;
    const double rowBottomPt = in.viewHeight - (row - in.topLine + 1) * in.cellHeight;
    const double y0 = rowBottomPt * s;
    const double y1 = y0 + in.cellHeight * s;
    const double x0 = column * in.cellWidth * s * widthFactor;
    const double x1 = x0 + in.cellWidth * s * widthFactor * std::max(1, int(cell.width));

    if (unfocused) {
        const double b = std::max(1.5 * s, 1.0);
        pushRect(out.colorVertices, x0, y0, x1, y0 + b, in.color);
        pushRect(out.colorVertices, x0, y1 - b, x1, y1, in.color);
        pushRect(out.colorVertices, x0, y0 + b, x0 + b, y1 - b, in.color);
        pushRect(out.colorVertices, x1 - b, y0 + b, x1, y1 - b, in.color);
        return out;
    }
    const double t = std::max(2 * s, 1.0);
    switch (terminal.cursorStyle) {
    case CursorStyle::blinkBlock:
    case CursorStyle::steadyBlock:
        pushRect(out.colorVertices, x0, y0, x1, y1, in.color);
        if (in.textBlinkVisible || !cell.attribute.style.contains(CharacterStyle::blink))
            out.glyph = CursorGlyphCell{column, row, x0, widthFactor, cell.code, int(cell.width), cell.attribute};
        break;
    case CursorStyle::blinkUnderline:
    case CursorStyle::steadyUnderline: pushRect(out.colorVertices, x0, y0, x1, y0 + t, in.color); break;
    case CursorStyle::blinkBar:
    case CursorStyle::steadyBar: pushRect(out.colorVertices, x0, y0, x0 + t, y1, in.color); break;
    }
    return out;
}

}  // namespace ravelgrid
