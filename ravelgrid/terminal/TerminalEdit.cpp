#include <algorithm>

#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

namespace {

// Moves the lines of screen rows first..last by one row (up or down) n times,
// blanking the row that comes free each time. Line objects rotate inside
// the ring, so nothing is allocated or copied cell by cell.
void rotateRows(Terminal& t, Buffer& b, int first, int last, int n, bool up, const Attribute& fill)
{
    CircularBufferLineList& ring = b.lines();
    const int top = b.yBase() + first;
    const int bottom = b.yBase() + last;
    if (first > last || bottom >= ring.count())
        return;
    n = std::min(n, last - first + 1);
    for (int i = 0; i < n; ++i) {
        const int leaving = up ? top : bottom;
        const int arriving = up ? bottom : top;
        b.clearLineImages(leaving);
        BufferLinePtr line = ring.get(leaving);
        if (bottom > top && !ring.shiftElements(up ? top + 1 : top, bottom - top, up ? -1 : 1))
            return;
        line->resetForReuse(fill);
        if (line->dataSize() != b.cols()) {
            CharData blank;
            blank.attribute = fill;
            line->resize(b.cols(), blank);
        }
        line->setBidiState(t.currentBidiState);
        ring.set(arriving, line);
    }
    t.selectionsAdjustForScroll(top, bottom, up ? n : -n);
}

// The same between the margins only.
void shiftMarginColumns(Terminal& t, Buffer& b, int first, int last, int n, bool up, const Attribute& fill)
{
    const int left = std::max(b.marginLeft(), 0);
    const int right = std::min(b.marginRight(), t.cols - 1);
    CharData blank;
    blank.attribute = fill;
    n = std::min(n, last - first + 1);
    for (int i = 0; i < n; ++i) {
        if (up) {
            for (int r = first; r < last; ++r)
                b.screenLine(r).copyCellsFrom(b.screenLine(r + 1), left, left, right - left + 1);
            b.screenLine(last).fillRange(blank, left, right + 1);
        } else {
            for (int r = last; r > first; --r)
                b.screenLine(r).copyCellsFrom(b.screenLine(r - 1), left, left, right - left + 1);
            b.screenLine(first).fillRange(blank, left, right + 1);
        }
    }
    t.selectionsInvalidateForColumnRestrictedScroll(b.yBase() + first, b.yBase() + last, left, right);
}

bool cursorInsideMargins(const Terminal& t, Buffer& b)
{
    return !t.marginMode || (b.x() >= b.marginLeft() && b.x() <= b.marginRight());
}

}  // namespace

void Terminal::cmdInsertChars(const Params& p, Collect)
{
    Buffer& b = *buffer;
    const int right = rightLimit();
    if (b.x() > right || !cursorInsideMargins(*this, b))
        return;
    BufferLine& line = b.screenLine(b.y());
    CharData blank;
    blank.attribute = eraseAttr();
    clearWideCharacterAround(line, b.x(), 1);
    line.insertCells(b.x(), std::min(p.count1(), cols), right, blank);
    if (line[right].width >= 2)
        line.set(right, blank);
    updateRange(b.y());
}

void Terminal::cmdDeleteChars(const Params& p, Collect)
{
    Buffer& b = *buffer;
    const int right = rightLimit();
    if (b.x() > right || !cursorInsideMargins(*this, b))
        return;
    BufferLine& line = b.screenLine(b.y());
    CharData blank;
    blank.attribute = eraseAttr();
    clearWideCharacterAround(line, b.x(), 1);
    line.deleteCells(b.x(), std::min(p.count1(), cols), right, blank);
    if (line[b.x()].width == 0)
        line.set(b.x(), blank);
    updateRange(b.y());
}

void Terminal::cmdInsertLines(const Params& p, Collect)
{
    Buffer& b = *buffer;
    const int y = b.y();
    if (y < b.scrollTop() || y > b.scrollBottom())
        return;
    if (!marginMode || (b.marginLeft() <= 0 && b.marginRight() >= cols - 1))
        rotateRows(*this, b, y, b.scrollBottom(), p.count1(), false, eraseAttr());
    else if (cursorInsideMargins(*this, b))
        shiftMarginColumns(*this, b, y, b.scrollBottom(), p.count1(), false, eraseAttr());
    updateRange(y, b.scrollBottom(), false);
}

void Terminal::cmdDeleteLines(const Params& p, Collect)
{
    Buffer& b = *buffer;
    const int y = b.y();
    if (y < b.scrollTop() || y > b.scrollBottom())
        return;
    if (!marginMode || (b.marginLeft() <= 0 && b.marginRight() >= cols - 1))
        rotateRows(*this, b, y, b.scrollBottom(), p.count1(), true, eraseAttr());
    else if (cursorInsideMargins(*this, b))
        shiftMarginColumns(*this, b, y, b.scrollBottom(), p.count1(), true, eraseAttr());
    updateRange(y, b.scrollBottom(), false);
}

void Terminal::cmdScrollUp(const Params& p, Collect)
{
    Buffer& b = *buffer;
    if (marginMode)
        shiftMarginColumns(*this, b, b.scrollTop(), b.scrollBottom(), p.count1(), true, Attribute{});
    else
        rotateRows(*this, b, b.scrollTop(), b.scrollBottom(), p.count1(), true, Attribute{});
    updateRange(b.scrollTop(), b.scrollBottom(), false);
}

void Terminal::cmdScrollDown(const Params& p, Collect)
{
    Buffer& b = *buffer;
    if (marginMode)
        shiftMarginColumns(*this, b, b.scrollTop(), b.scrollBottom(), p.count1(), false, Attribute{});
    else
        rotateRows(*this, b, b.scrollTop(), b.scrollBottom(), p.count1(), false, Attribute{});
    updateRange(b.scrollTop(), b.scrollBottom(), false);
}

void Terminal::cmdRepeatPrecedingCharacter(const Params& p, Collect)
{
    if (lastPrintedCode_ == 0)
        return;
    // Bounded by the screen: repeating past it only overwrites itself.
    const int n = std::min(p.count1(), cols * rows);
    CharData cell;
    cell.code = lastPrintedCode_;
    cell.width = static_cast<int8_t>(lastPrintedWidth_);
    cell.attribute = curAttr;
    for (int i = 0; i < n; ++i)
        insertCharacter(cell);
    updateRange(buffer->y());
}

void Terminal::setLineRenderMode(BufferLine::RenderLineMode mode)
{
    buffer->screenLine(buffer->y()).setRenderMode(mode);
    updateRange(buffer->y());
}

void Terminal::cmdScreenAlignmentPattern()
{
    Buffer& b = *buffer;
    CharData e;
    e.code = 'E';
    e.attribute = curAttr;
    for (int r = 0; r < rows; ++r) {
        BufferLine& line = b.screenLine(r);
        line.fillRange(e, 0, std::min(cols, line.dataSize()));
        line.setWrapped(false);
        line.setRenderMode(BufferLine::RenderLineMode::single);
    }
    b.setScrollTop(0);
    b.setScrollBottom(rows - 1);
    b.setMarginLeft(0);
    b.setMarginRight(cols - 1);
    originMode = false;
    b.setX(0);
    b.setY(0);
    updateFullScreen();
}

// Rectangular area operations come with the editing handlers.
void Terminal::cmdDeleteColumns(const Params& p, Collect c)
{
    reportUnknownCsi(p, c, '~');
}

void Terminal::csiCopyRectangularArea(const Params& p, Collect c)
{
    reportUnknownCsi(p, c, 'v');
}

void Terminal::csiX(const Params& p, Collect c)
{
    reportUnknownCsi(p, c, 'x');
}

void Terminal::cmdDECRQCRA(const Params& p, Collect c)
{
    reportUnknownCsi(p, c, 'y');
}

void Terminal::csiZ(const Params& p, Collect c)
{
    reportUnknownCsi(p, c, 'z');
}

void Terminal::csiOpenBrace(const Params& p, Collect c)
{
    reportUnknownCsi(p, c, '{');
}

void Terminal::csiCloseBrace(const Params& p, Collect c)
{
    reportUnknownCsi(p, c, '}');
}

}  // namespace ravelgrid
