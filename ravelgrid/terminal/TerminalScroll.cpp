#include <algorithm>
#include <optional>
#include <string>

#include "platform/Log.h"
#include "ravelgrid/terminal/EditHelpers.h"
#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

namespace {

// Rows a ring splice rewrote, as screen rows clamped to the screen.
class SpliceDirty : public RowDirtySink {
public:
    SpliceDirty(Terminal& t, Buffer& b) : t_(t), b_(b) {}
    void markSplicedRowDirty(int row) override { t_.updateRange(std::clamp(row - b_.yBase(), 0, t_.rows - 1)); }

private:
    Terminal& t_;
    Buffer& b_;
};

// The oldest line of a large ring is long out of cache; touching it one
// scroll ahead keeps the refill on the next scroll from stalling on memory.
void prefetchNextRecycledLine(CircularBufferLineList& ring)
{
    // A packed line is small, and reading its cells would unpack it.
    if (ring[0].isPacked())
        return;
    const auto cells = ring[0].storedCells();
    const auto* p = reinterpret_cast<const char*>(cells.data());
    const size_t bytes = cells.size_bytes();
    for (size_t off = 0; off < bytes; off += 64)
        __builtin_prefetch(p + off, 1, 3);
}

const char* boolText(bool v)
{
    return v ? "true" : "false";
}

}  // namespace

void Terminal::scroll(bool isWrapped)
{
    cursorLine_ = nullptr;  // lines move
    Buffer& b = *buffer;
    CircularBufferLineList& ring = b.lines();
    const int top = b.yBase() + b.scrollTop();
    const int bottom = b.yBase() + b.scrollBottom();
    const Attribute erase = eraseAttr();
    const BidiPresentationState bidi = isWrapped && bottom < ring.count() ? ring[bottom].bidiState() : currentBidiState;

    // The template of new bottom lines, prepared only when a line is added
    // rather than recycled.
    auto templateLine = [&]() -> const BufferLine& {
        if (!blankLine_ || blankLine_->dataSize() != b.cols() || !((*blankLine_)[0].attribute == erase))
            blankLine_ = b.getBlankLine(erase, isWrapped);
        blankLine_->setWrapped(isWrapped);
        blankLine_->setBidiState(bidi);
        return *blankLine_;
    };

    // Set when every line moved by the same number of ring rows, so image
    // placements follow without a search of the whole ring.
    std::optional<int> uniformShift;
    const bool columnRestricted = marginMode && (b.marginLeft() > 0 || b.marginRight() < cols - 1);
    if (columnRestricted) {
        const int left = std::max(b.marginLeft(), 0);
        const int right = std::min(b.marginRight(), cols - 1);
        CharData blank;
        blank.attribute = erase;
        for (int r = top; r < bottom && r + 1 < ring.count(); ++r) {
            BufferLine& line = ring[r];
            BufferLine& below = ring[r + 1];
            line.copyCellsFrom(below, left, left, right - left + 1);
            EditHelpers::mendSeam(line, left, blank);
            EditHelpers::mendSeam(line, right + 1, blank);
            line.setWrapped(false);
            line.setBidiState(below.bidiState());
            b.clearLineImages(r);
            line.setRenderMode(BufferLine::RenderLineMode::single);
        }
        if (bottom < ring.count()) {
            BufferLine& last = ring[bottom];
            last.fillRange(blank, left, right + 1);
            EditHelpers::mendSeam(last, left, blank);
            EditHelpers::mendSeam(last, right + 1, blank);
            last.setWrapped(false);
            last.setBidiState(currentBidiState);
            b.clearLineImages(bottom);
            last.setRenderMode(BufferLine::RenderLineMode::single);
        }
        selectionsInvalidateForColumnRestrictedScroll(top, bottom, left, right);
    } else if (b.scrollTop() == 0) {
        auto fullRingSteps = [&] {
            if (b.hasScrollback())
                b.setLinesTop(b.linesTop() + 1);
            selectionsAdjustForScroll(0, ring.count() - 1, 1);
            if (userScrolling)
                b.setYDisp(std::max(0, b.yDisp() - 1));
        };
        if (bottom >= ring.count() - 1) {
            if (ring.isFull()) {
                // The row leaving the screen keeps only the cells it uses; the
                // line recycled as the new bottom row takes its storage.
                if (b.yBase() > 0 && !b.ringFitsUnpacked()) {
                    BufferLine& oldest = ring[0];
                    b.rowLeavingScrollback(oldest);
                    b.rowLeftScreen(ring[b.yBase()], &oldest);
                }
                BufferLine& line = ring.recycle(erase);
                prefetchNextRecycledLine(ring);
                if (line.dataSize() != b.cols()) {
                    CharData blank;
                    blank.attribute = erase;
                    line.resize(b.cols(), blank);
                }
                line.setWrapped(isWrapped);
                line.setBidiState(bidi);
                if (line.renderMode() != BufferLine::RenderLineMode::single)
                    line.setRenderMode(BufferLine::RenderLineMode::single);
                fullRingSteps();
                uniformShift = -1;
            } else {
                ring.push(std::make_shared<BufferLine>(templateLine()));
                b.setYBase(b.yBase() + 1);
                // The new bottom line takes the storage of the row that left
                // the screen, then is blanked as the template was.
                BufferLine& added = ring[ring.count() - 1];
                if (!b.ringFitsUnpacked() && b.rowLeftScreen(ring[b.yBase() - 1], &added)) {
                    CharData blank;
                    blank.attribute = erase;
                    added.fill(blank, true);
                }
                uniformShift = 0;
                if (!userScrolling)
                    b.setYDisp(b.yDisp() + 1);
            }
        } else {
            const bool wasFull = ring.isFull();
            SpliceDirty dirty(*this, b);
            // On a full ring the oldest line falls out; it becomes the new line
            // unless somebody else still holds it.
            BufferLinePtr item;
            if (wasFull) {
                b.clearLineImages(0);
                item = ring.get(0);
                if (b.yBase() > 0 && !b.ringFitsUnpacked())
                    b.rowLeavingScrollback(*item);
                if (item.use_count() == 2 && item->dataSize() == b.cols()) {
                    item->resetForReuse(erase, true);
                    item->setWrapped(isWrapped);
                    item->setBidiState(bidi);
                    item->setRenderMode(BufferLine::RenderLineMode::single);
                } else {
                    item.reset();
                }
            }
            if (!item)
                item = std::make_shared<BufferLine>(templateLine());
            ring.splice(bottom + 1, 0, std::span<const BufferLinePtr>(&item, 1), &dirty);
            if (wasFull) {
                prefetchNextRecycledLine(ring);
                fullRingSteps();
            } else {
                b.setYBase(b.yBase() + 1);
                if (!userScrolling)
                    b.setYDisp(b.yDisp() + 1);
            }
            // The row that left the screen keeps what it uses; the new bottom
            // line takes its storage and is blanked again.
            if (b.yBase() > 0 && !b.ringFitsUnpacked() && b.rowLeftScreen(ring[b.yBase() - 1], item.get())) {
                CharData blank;
                blank.attribute = erase;
                item->fill(blank, true);
            }
        }
    } else {
        if (bottom >= ring.count()) {
            log("scroll: bottomRow " + std::to_string(bottom) + " >= lines.count " + std::to_string(ring.count()) +
                ", state: yBase=" + std::to_string(b.yBase()) + " scrollTop=" + std::to_string(b.scrollTop()) +
                " scrollBottom=" + std::to_string(b.scrollBottom()) +
                " isAlternate=" + boolText(isCurrentBufferAlternate()));
            return;
        }
        // The line leaving the region is reused as the new bottom line.
        b.clearLineImages(top);
        BufferLinePtr reused = ring.get(top);
        if (!ring.shiftElements(top + 1, bottom - top, -1)) {
            log("Assertion on scroll, state was: bottomRow=" + std::to_string(bottom) +
                " topRow=" + std::to_string(top) + " yDisp=" + std::to_string(b.yDisp()) +
                " linesTop=" + std::to_string(b.linesTop()) + " isAlternate=" + boolText(isCurrentBufferAlternate()));
            return;
        }
        // Reuse only a line nobody else holds (prompt bookkeeping, renderers).
        if (reused->dataSize() == b.cols() && reused.use_count() == 1) {
            reused->resetForReuse(erase, true);
            reused->setWrapped(isWrapped);
            reused->setBidiState(bidi);
            reused->setRenderMode(BufferLine::RenderLineMode::single);
        } else {
            reused = std::make_shared<BufferLine>(templateLine());
        }
        ring.set(bottom, reused);
        selectionsAdjustForScroll(top, bottom, 1);
    }

    if (!userScrolling)
        b.setYDisp(b.yBase());
    refreshStart = std::min(refreshStart, b.scrollTop());
    refreshEnd = std::max(refreshEnd, b.scrollBottom());
    if (!(b.scrollTop() == 0 && b.hasScrollback() && b.scrollBottom() == rows - 1)) {
        updateRange(b.scrollTop());
        updateRange(b.scrollBottom());
    }
    if (b.hasAnyImages()) {
        if (uniformShift)
            kittyShiftPlacementsForScroll(*uniformShift);
        else
            kittyAdjustPlacementsForScroll();
    }
    if (tdel_)
        tdel_->scrolled(*this, b.yDisp());
}

void Terminal::cmdIndex()
{
    Buffer& b = *buffer;
    restrictCursor(true);
    const int x = b.x(), y = b.y();
    bool moved = false;
    if (y == b.scrollBottom()) {
        // Only the region's bottom row scrolls it, and only from inside the margins.
        if (!marginMode || (x >= b.marginLeft() && x <= b.marginRight())) {
            scroll(false);
            moved = true;
        }
    } else if (y < rows - 1) {
        // Above the region, inside it, or below it short of the last row.
        b.setY(y + 1);
        moved = true;
    }
    if (moved)
        joinSemanticGroupAfterMove();
}

void Terminal::cmdNextLine()
{
    buffer->setX(originMode && marginMode ? buffer->marginLeft() : 0);
    cmdIndex();
}

void Terminal::reverseIndex()
{
    Buffer& b = *buffer;
    restrictCursor(true);
    const int x = b.x(), y = b.y();
    bool scrollDown = false;
    if (marginMode) {
        if (x < b.marginLeft()) {
            if (y != b.scrollTop() && y > 0)
                b.setY(y - 1);
        } else if (y != b.scrollTop()) {
            if (y > 0)
                b.setY(y - 1);
        } else if (x <= b.marginRight()) {
            scrollDown = true;
        }
    } else if (y != b.scrollTop()) {
        if (y > 0)
            b.setY(y - 1);
    } else {
        scrollDown = true;
    }
    if (!scrollDown)
        return;

    CircularBufferLineList& ring = b.lines();
    const int start = b.yBase() + y;
    const int bottom = b.yBase() + b.scrollBottom();
    if (start >= ring.count()) {
        log("reverseIndex: start index " + std::to_string(start) + " >= lines.count " + std::to_string(ring.count()) +
            ", state: y=" + std::to_string(y) + " yBase=" + std::to_string(b.yBase()) +
            " scrollTop=" + std::to_string(b.scrollTop()) + " scrollBottom=" + std::to_string(b.scrollBottom()) +
            " isAlternate=" + boolText(isCurrentBufferAlternate()));
        return;
    }
    const Attribute erase = eraseAttr();
    const bool columnRestricted = marginMode && (b.marginLeft() > 0 || b.marginRight() < cols - 1);
    if (!columnRestricted) {
        b.clearLineImages(bottom);
        BufferLinePtr reused = ring.get(bottom);
        if (bottom > start && !ring.shiftElements(start, bottom - start, 1)) {
            log("Assertion on reverseIndex, state was: y=" + std::to_string(y) +
                " scrollTop=" + std::to_string(b.scrollTop()) + "  yDisp=" + std::to_string(b.yDisp()) +
                " linesTop=" + std::to_string(b.linesTop()) + " isAlternate=" + boolText(isCurrentBufferAlternate()));
            return;
        }
        if (reused->dataSize() == b.cols() && reused.use_count() == (bottom > start ? 1 : 2)) {
            reused->resetForReuse(erase, true);
            reused->setBidiState(currentBidiState);
            reused->setRenderMode(BufferLine::RenderLineMode::single);
        } else {
            reused = b.getBlankLine(erase, false);
        }
        ring.set(start, reused);
        selectionsAdjustForScroll(start, bottom, -1);
    } else {
        const int left = std::max(b.marginLeft(), 0);
        const int right = std::min(b.marginRight(), cols - 1);
        CharData blank;
        blank.attribute = erase;
        for (int r = bottom; r > start; --r) {
            BufferLine& line = ring[r];
            line.copyCellsFrom(ring[r - 1], left, left, right - left + 1);
            EditHelpers::mendSeam(line, left, blank);
            EditHelpers::mendSeam(line, right + 1, blank);
            line.setWrapped(false);
            b.clearLineImages(r);
            line.setRenderMode(BufferLine::RenderLineMode::single);
        }
        BufferLine& first = ring[start];
        first.fillRange(blank, left, right + 1);
        EditHelpers::mendSeam(first, left, blank);
        EditHelpers::mendSeam(first, right + 1, blank);
        first.setWrapped(false);
        b.clearLineImages(start);
        first.setRenderMode(BufferLine::RenderLineMode::single);
        selectionsInvalidateForColumnRestrictedScroll(start, bottom, left, right);
    }
    updateRange(b.scrollTop());
    updateRange(b.scrollBottom());
}

void Terminal::columnIndex(bool back)
{
    Buffer& b = *buffer;
    const int left = EditHelpers::leftMargin(*this);
    const int right = EditHelpers::rightMargin(*this);
    if (!back) {
        if (b.x() != right) {
            if (b.x() != cols)
                cursorForward(1);
        } else {
            columnScroll(false, left);
        }
    } else {
        if (b.x() != left)
            cursorBackward(1);
        else
            columnScroll(true, b.x());
    }
}

void Terminal::columnScroll(bool back, int at)
{
    Buffer& b = *buffer;
    const int y = b.y(), x = b.x();
    const int left = EditHelpers::leftMargin(*this);
    const int right = EditHelpers::rightMargin(*this);
    if (y < b.scrollTop() || y > b.scrollBottom() || x < left || x > right)
        return;
    at = std::clamp(at, left, right);
    CharData space = EditHelpers::eraseCell(*this);
    space.code = 0x20;
    for (int row = b.scrollTop(); row <= b.scrollBottom(); ++row) {
        BufferLine& line = b.screenLine(row);
        if (right - at + 1 < 2) {
            line.fillRange(space, at, right + 1);
        } else if (!back) {
            line.deleteCells(at, 1, right, space);
            EditHelpers::mendSeam(line, right, space);
        } else {
            line.insertCells(at, 1, right, space);
            EditHelpers::mendSeam(line, at + 1, space);
        }
        EditHelpers::mendSeam(line, at, space);
        EditHelpers::mendSeam(line, right + 1, space);
    }
    updateRange(b.scrollTop());
    updateRange(b.scrollBottom());
}

void Terminal::resetToInitialState()
{
    forgetLastCell();
    currentBidiState = options_.initialBidiState;
    normalBuffer->defaultBidiState = currentBidiState;
    altBuffer->defaultBidiState = currentBidiState;
    altBuffer->detectsDirection = false;
    altBuffer->reordersRows = false;
    updateFullScreen();
    bidiArrowKeySwap = options_.initialBidiArrowKeySwap;
    savedBidiPrivateModes.clear();
    endSynchronizedOutput();
    options_.rows = rows;
    options_.cols = cols;
    const bool hidden = cursorHidden;
    setup(true);
    resetSemanticPromptState(true);
    // The old screens are gone, and with them every cell that named a link.
    releaseAllPayloads();
    resetKittyGraphics();
    // A full reset shows the cursor again, and the host hears of it.
    cursorHidden = hidden;
    showCursor();
    updateRange(0);
    updateRange(rows - 1);
    if (tdel_)
        tdel_->bufferActivated(*this);
}

void Terminal::setgLevel(uint8_t level)
{
    gLevel = level;
    charset = level < gCharsets.size() ? gCharsets[level] : nullptr;
}

void Terminal::setgCharset(uint8_t g, const CharsetMap* map)
{
    if (g >= gCharsets.size())
        return;
    gCharsets[g] = map;
    if (g == gLevel)
        charset = map;
}

void Terminal::selectCharset(std::span<const uint8_t> bytes)
{
    if (bytes.size() != 2) {
        setgLevel(0);
        setgCharset(0, nullptr);
        return;
    }
    const auto set = static_cast<uint8_t>((bytes[0] - 0x28) % 4);
    setgCharset(set, CharSets::map(bytes[1]));
}

void Terminal::clearScrollback()
{
    // Rows renumber: what the print path remembers of the cursor row is stale.
    forgetLastCell();
    normalBuffer->clearScrollback();
    updateRange(0);
    updateRange(rows - 1);
}

void Terminal::changeScrollback(std::optional<int> lines)
{
    if (lines)
        lines = std::clamp(*lines, 0, TerminalOptions::kMaxScrollback);
    forgetLastCell();
    normalBuffer->changeHistorySize(lines);
    options_.scrollback = lines.value_or(0);
    updateRange(0);
    updateRange(rows - 1);
}

void Terminal::showCursor()
{
    if (!cursorHidden)
        return;
    cursorHidden = false;
    if (tdel_)
        tdel_->showCursor(*this);
}

void Terminal::hideCursor()
{
    if (cursorHidden)
        return;
    cursorHidden = true;
    if (tdel_)
        tdel_->hideCursor(*this);
}

void Terminal::setTitle(const std::string& text)
{
    terminalTitle = text;
    if (tdel_)
        tdel_->setTerminalTitle(*this, text);
}

void Terminal::setIconTitle(const std::string& text)
{
    iconTitle = text;
    if (tdel_)
        tdel_->setTerminalIconTitle(*this, text);
}

}  // namespace ravelgrid
