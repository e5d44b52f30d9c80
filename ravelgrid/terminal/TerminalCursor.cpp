#include <algorithm>

#include "ravelgrid/terminal/EditHelpers.h"
#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

namespace {

// Erases columns from..end-1 of a line; a wide character cut in half by
// either edge goes as a whole.
void eraseCells(BufferLine& line, int from, int end, const CharData& blank)
{
    end = std::min(end, line.dataSize());
    if (from >= end) {
        line.bumpGeneration();
        return;
    }
    line.fillRange(blank, from, end);
    EditHelpers::mendSeam(line, from, blank);
    EditHelpers::mendSeam(line, end, blank);
}

}  // namespace

void Terminal::restrictCursor(bool pendingWrapNotAllowed)
{
    Buffer& b = *buffer;
    const int maxCol = cols - (pendingWrapNotAllowed ? 1 : 0);
    if (maxCol >= 0)
        b.setX(std::clamp(b.x(), 0, maxCol));
    if (originMode)
        b.setY(std::clamp(b.y(), b.scrollTop(), b.scrollBottom()));
    else
        b.setY(std::clamp(b.y(), 0, rows - 1));
    updateRange(b, b.y(), false);
}

void Terminal::setCursor(int col, int row)
{
    Buffer& b = *buffer;
    updateRange(b.y());
    if (originMode) {
        // Columns count from the left margin and stop at the right one.
        if (marginMode)
            b.setX(std::min(col + b.marginLeft(), b.marginRight()));
        else
            b.setX(col);
        b.setY(row + b.scrollTop());
    } else {
        b.setX(col);
        b.setY(row);
    }
    restrictCursor(true);
}

void Terminal::cursorForward(int count)
{
    Buffer& b = *buffer;
    int limit = marginMode ? b.marginRight() : cols - 1;
    if (b.x() > limit)
        limit = b.cols() - 1;
    b.setX(std::min(b.x() + std::max(count, 1), limit));
}

void Terminal::cursorBackward(int count)
{
    Buffer& b = *buffer;
    int left = marginMode ? b.marginLeft() : 0;
    if (b.x() < left)
        left = 0;
    // From the pending-wrap position the count starts at the last column.
    b.setX(std::max(std::min(b.x(), cols - 1) - std::max(count, 1), left));
}

void Terminal::cmdCursorUp(const Params& p, Collect)
{
    Buffer& b = *buffer;
    const int top = b.y() < b.scrollTop() ? 0 : b.scrollTop();
    b.setY(std::max(b.y() - p.count1(), top));
}

void Terminal::cmdCursorDown(const Params& p, Collect)
{
    Buffer& b = *buffer;
    const int bottom = b.y() > b.scrollBottom() ? b.rows() - 1 : b.scrollBottom();
    b.setY(std::min(b.y() + p.count1(), bottom));
    if (b.x() >= cols)
        b.setX(b.x() - 1);
}

void Terminal::cmdCursorNextLine(const Params& p, Collect c)
{
    cmdCursorDown(p, c);
    buffer->setX(EditHelpers::leftMargin(*this));
}

void Terminal::cmdCursorPrecedingLine(const Params& p, Collect c)
{
    cmdCursorUp(p, c);
    buffer->setX(EditHelpers::leftMargin(*this));
}

// In origin mode, as for CUP, columns count from the left margin and stop
// at the right one.
void Terminal::cmdCursorCharAbsolute(const Params& p, Collect)
{
    Buffer& b = *buffer;
    const bool margins = originMode && marginMode;
    const int left = margins ? b.marginLeft() : 0;
    const int right = margins ? b.marginRight() : cols - 1;
    b.setX(std::max(std::min(left + std::min(p.count1() - 1, cols - 1), right), 0));
}

void Terminal::cmdCursorPosition(const Params& p, Collect)
{
    const int row = p.count1(0) - 1;
    const int col = p.size() >= 2 ? p.count1(1) - 1 : 0;
    setCursor(col, row);
}

void Terminal::cmdCursorForwardTab(const Params& p, Collect)
{
    Buffer& b = *buffer;
    const int param = p.get(0, 1);
    const int n = param >= 2 ? std::min(param, cols - 1) : std::min(1, cols - 1);
    for (int i = 0; i < n; ++i) {
        const int next = b.nextTabStop(marginMode);
        if (next >= 0)
            b.setX(next);
    }
}

void Terminal::cmdCursorBackwardTab(const Params& p, Collect)
{
    Buffer& b = *buffer;
    if (b.x() > cols)
        return;
    const int param = p.get(0, 1);
    const int n = param >= 2 ? std::min(param, b.cols()) : std::min(1, b.cols());
    for (int i = 0; i < n; ++i) {
        const int prev = b.previousTabStop();
        if (prev >= 0)
            b.setX(prev);
    }
}

// HPA is CHA under another name, origin mode included.
void Terminal::cmdCharPosAbsolute(const Params& p, Collect c)
{
    cmdCursorCharAbsolute(p, c);
}

void Terminal::cmdHPositionRelative(const Params& p, Collect)
{
    Buffer& b = *buffer;
    const int limit = originMode && marginMode && b.x() <= b.marginRight() ? b.marginRight() : cols - 1;
    b.setX(std::min(b.x() + p.count1(), limit));
}

// In origin mode rows count from the region's top and stop at its bottom.
void Terminal::cmdLinePosAbsolute(const Params& p, Collect)
{
    Buffer& b = *buffer;
    const int row = std::min(p.count1(), rows) - 1;
    b.setY(originMode ? std::min(b.scrollTop() + row, b.scrollBottom()) : row);
}

void Terminal::cmdVPositionRelative(const Params& p, Collect)
{
    Buffer& b = *buffer;
    const int bottom = originMode && b.y() <= b.scrollBottom() ? b.scrollBottom() : rows - 1;
    b.setY(std::min(b.y() + p.count1(), bottom));
    if (b.x() >= cols)
        b.setX(b.x() - 1);
}

// HVP is CUP under another name, origin mode included.
void Terminal::cmdHVPosition(const Params& p, Collect c)
{
    cmdCursorPosition(p, c);
}

void Terminal::cmdTabClear(const Params& p, Collect)
{
    Buffer& b = *buffer;
    const int v = p.get(0, 0);
    if (v == 0)
        b.clearTabStop(b.x());
    else if (v == 3)
        std::fill(b.tabStops.begin(), b.tabStops.end(), false);
}

void Terminal::cmdTabSet()
{
    buffer->setTabStop(buffer->x());
}

void Terminal::resetBufferLine(int y, bool clearImages, std::optional<BidiPresentationState> bidiState)
{
    Buffer& b = *buffer;
    BufferLine& line = b.screenLine(y);
    line.fillRange(EditHelpers::eraseCell(*this), 0, std::min(cols, line.dataSize()));
    line.setWrapped(false);
    line.setRenderMode(BufferLine::RenderLineMode::single);
    if (bidiState)
        line.setBidiState(*bidiState);
    if (clearImages)
        b.clearLineImages(b.yBase() + y);
    updateRange(y);
}

void Terminal::cmdEraseInDisplay(const Params& p, Collect)
{
    Buffer& b = *buffer;
    const CharData blank = EditHelpers::eraseCell(*this);
    const int y = b.y();
    switch (p.get(0, 0)) {
    case 0: {
        updateRange(y);
        BufferLine& line = b.screenLine(y);
        eraseCells(line, b.x(), std::min(cols, line.dataSize()), blank);
        if (b.x() == 0)
            line.setWrapped(false);
        for (int r = y + 1; r < rows; ++r)
            resetBufferLine(r, false, currentBidiState);
        updateRange(y + 1 < rows ? rows - 1 : y);
        break;
    }
    case 1: {
        updateRange(y);
        BufferLine& line = b.screenLine(y);
        eraseCells(line, 0, b.x() + 1, blank);
        line.setWrapped(false);
        // The next row no longer continues an erased line.
        if (b.x() + 1 >= cols && y + 1 < rows)
            b.screenLine(y + 1).setWrapped(false);
        for (int r = y - 1; r >= 0; --r)
            resetBufferLine(r, false, currentBidiState);
        updateRange(0);
        break;
    }
    case 2:
        updateRange(rows - 1);
        for (int r = rows - 1; r >= 0; --r)
            resetBufferLine(r, true, currentBidiState);
        resetKittyGraphics();
        updateRange(0);
        break;
    case 3: {
        CircularBufferLineList& ring = b.lines();
        const int count = ring.count();
        const int excess = count - rows;
        if (excess < 1)
            break;
        const bool scrolledBack = b.yDisp() != b.yBase();
        ring.trimStart(excess);
        b.setLinesTop(0);
        b.setYBase(std::max(b.yBase() - excess, 0));
        b.setYDisp(std::max(b.yDisp() - excess, 0));
        selectionsAdjustForScroll(0, count - 1, excess);
        // A viewport that showed the dropped lines now shows other ones.
        if (scrolledBack)
            updateFullScreen();
        if (tdel_)
            tdel_->scrolled(*this, b.yDisp());
        break;
    }
    default: break;
    }
}

void Terminal::cmdEraseInLine(const Params& p, Collect)
{
    Buffer& b = *buffer;
    BufferLine& line = b.screenLine(b.y());
    const CharData blank = EditHelpers::eraseCell(*this);
    switch (p.get(0, 0)) {
    case 0: eraseCells(line, b.x(), std::min(cols, line.dataSize()), blank); break;
    case 1: eraseCells(line, 0, b.x() + 1, blank); break;
    case 2: eraseCells(line, 0, std::min(cols, line.dataSize()), blank); break;
    default: break;
    }
    updateRange(b.y());
}

void Terminal::cmdEraseChars(const Params& p, Collect)
{
    Buffer& b = *buffer;
    BufferLine& line = b.screenLine(b.y());
    const long end = std::min<long>(static_cast<long>(b.x()) + p.count1(), line.dataSize());
    eraseCells(line, b.x(), static_cast<int>(end), EditHelpers::eraseCell(*this));
    // The view redraws what is marked, so the row is marked too.
    updateRange(b.y());
}

void Terminal::cmdSaveCursor(const Params&, Collect c)
{
    if (!c.empty())
        return;
    Buffer& b = *buffer;
    b.savedX = b.x();
    b.savedY = b.y();
    b.savedAttr = curAttr;
    b.savedCharset = charset;
    b.savedOriginMode = originMode;
    b.savedMarginMode = marginMode;
    b.savedWrapAtMargin = wrapPendingAtMargin();
}

// A wrap pending at the save is pending again, so a status-line writer that
// saves after filling a line still wraps. Autowrap and reverse wraparound
// are not part of the saved state.
void Terminal::cmdRestoreCursor(const Params&, Collect c)
{
    if (!c.empty())
        return;
    Buffer& b = *buffer;
    if (cols - 1 >= 0)
        b.setX(std::clamp(b.savedX, 0, cols));
    if (rows - 1 >= 0)
        b.setY(std::clamp(b.savedY, 0, rows - 1));
    curAttr = b.savedAttr;
    charset = b.savedCharset;
    originMode = b.savedOriginMode;
    marginMode = b.savedMarginMode;
    normalBuffer->marginMode = altBuffer->marginMode = marginMode;
    clearMarginWrap();
    if (b.savedWrapAtMargin)
        noteMarginWrap();
}

void Terminal::cmdSelectPresentationDirection(const Params& p, Collect)
{
    const int v = p.get(0, 0);
    BidiPresentationState next = currentBidiState;
    if (v == 0)
        next.fallbackDirection = BidiDirection::leftToRight;
    else if (v == 3)
        next.fallbackDirection = BidiDirection::rightToLeft;
    else
        return;
    installBidiState(next, static_cast<uint8_t>(BidiStateProperty::fallbackDirection));
}

void Terminal::cmdSelectCharacterPath(const Params& p, Collect)
{
    const int v = p.get(0, 0);
    BidiPresentationState next = currentBidiState;
    if (v == 0)
        next.fallbackDirection = options_.initialBidiState.fallbackDirection;
    else if (v == 1)
        next.fallbackDirection = BidiDirection::leftToRight;
    else if (v == 2)
        next.fallbackDirection = BidiDirection::rightToLeft;
    else
        return;
    installBidiState(next, static_cast<uint8_t>(BidiStateProperty::fallbackDirection));
}

}  // namespace ravelgrid
