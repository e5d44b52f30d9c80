#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "ravelgrid/screen/UnicodeUtil.h"
#include "ravelgrid/terminal/EditHelpers.h"
#include "ravelgrid/terminal/LogText.h"
#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

namespace {

using H = EditHelpers;

// A line for a row that comes free: the one that left the region when
// nobody else holds it (prompt bookkeeping keeps lines by identity), else a
// new one.
// `owners` counts the references we know of (ours, and the ring's when the
// line is still in it).
BufferLinePtr blankLineFrom(Terminal& t, Buffer& b, BufferLinePtr line, const Attribute& fill, long owners)
{
    if (line && line.use_count() == owners && line->dataSize() == b.cols()) {
        line->resetForReuse(fill, true);
        line->setRenderMode(BufferLine::RenderLineMode::single);
        line->setBidiState(t.currentBidiState);
        return line;
    }
    auto fresh = b.getBlankLine(fill, false);
    fresh->setBidiState(t.currentBidiState);
    return fresh;
}

// Moves the lines of screen rows first..last by n rows (up: towards first)
// and fills the n rows that come free with blank lines. Line objects rotate
// inside the ring, so nothing is copied cell by cell.
void rotateRows(Terminal& t, Buffer& b, int first, int last, int n, bool up, const Attribute& fill)
{
    CircularBufferLineList& ring = b.lines();
    const int top = b.yBase() + first;
    const int bottom = b.yBase() + last;
    if (first > last || top < 0 || bottom >= ring.count() || n <= 0)
        return;
    const int height = last - first + 1;
    n = std::min(n, height);
    // Small counts one row at a time (no scratch storage); larger ones in one move.
    const int step = n <= 4 ? 1 : n;
    std::vector<BufferLinePtr> leaving;
    for (int done = 0; done < n; done += step) {
        const int k = std::min(step, n - done);
        const int leaveFrom = up ? top : bottom - k + 1;
        BufferLinePtr single;
        if (k == 1) {
            b.clearLineImages(leaveFrom);
            single = ring.get(leaveFrom);
        } else {
            leaving.clear();
            for (int i = 0; i < k; ++i) {
                b.clearLineImages(leaveFrom + i);
                leaving.push_back(ring.get(leaveFrom + i));
            }
        }
        if (height > k && up && top == 0) {
            // The ring moves no line onto its first row; a region there lies
            // in a ring that holds only the screen, so one by one is cheap.
            for (int i = 0; i + k < height; ++i)
                ring.set(i, ring.get(i + k));
        } else if (height > k && !ring.shiftElements(up ? top + k : top, height - k, up ? -k : k)) {
            return;
        }
        const int arriveFrom = up ? bottom - k + 1 : top;
        // When the whole region leaves, nothing moved and the ring still holds the lines.
        const long owners = height > k ? 1 : 2;
        if (k == 1) {
            ring.set(arriveFrom, blankLineFrom(t, b, std::move(single), fill, owners));
        } else {
            for (int i = 0; i < k; ++i)
                ring.set(arriveFrom + i, blankLineFrom(t, b, std::move(leaving[static_cast<size_t>(i)]), fill, owners));
        }
    }
    t.selectionsAdjustForScroll(top, bottom, up ? n : -n);
}

// The same between the margins only: the columns outside them stay.
void shiftMarginColumns(Terminal& t, Buffer& b, int first, int last, int n, bool up, const Attribute& fill)
{
    const int left = H::leftMargin(t);
    const int right = H::rightMargin(t);
    const int width = right - left + 1;
    if (first > last || b.yBase() + last >= b.lines().count() || n <= 0)
        return;
    CharData blank;
    blank.attribute = fill;
    n = std::min(n, last - first + 1);
    auto finish = [&](BufferLine& line) {
        H::mendSeam(line, left, blank);
        H::mendSeam(line, right + 1, blank);
    };
    if (up) {
        for (int r = first; r <= last - n; ++r) {
            BufferLine& line = b.screenLine(r);
            line.copyCellsFrom(b.screenLine(r + n), left, left, width);
            finish(line);
        }
        for (int r = last - n + 1; r <= last; ++r) {
            BufferLine& line = b.screenLine(r);
            line.fillRange(blank, left, right + 1);
            finish(line);
        }
    } else {
        for (int r = last; r >= first + n; --r) {
            BufferLine& line = b.screenLine(r);
            line.copyCellsFrom(b.screenLine(r - n), left, left, width);
            finish(line);
        }
        for (int r = first; r < first + n; ++r) {
            BufferLine& line = b.screenLine(r);
            line.fillRange(blank, left, right + 1);
            finish(line);
        }
    }
    t.selectionsInvalidateForColumnRestrictedScroll(b.yBase() + first, b.yBase() + last, left, right);
}

bool marginsSpanTheRow(const Terminal& t)
{
    return H::leftMargin(t) == 0 && H::rightMargin(t) == t.cols - 1;
}

bool insideMargins(const Terminal& t, int x)
{
    return x >= H::leftMargin(t) && x <= H::rightMargin(t);
}

// A row that continued a line which has just moved away starts its own.
void unwrapRow(Buffer& b, int ringRow)
{
    if (ringRow >= 0 && ringRow < b.lines().count() && b.lines()[ringRow].isWrapped())
        b.lines()[ringRow].setWrapped(false);
}

// --- rectangles ------------------------------------------------------------------

struct Rectangle {
    int top, left, bottom, right;  // 0-based, inclusive
};

// The area a rectangle request names. top and left are 1-based with the
// parameter rule applied; bottom and right are 1-based, absent meaning the
// screen's edge and 0 meaning nothing. In origin mode the numbers count
// from the scroll region and the margins, and stay inside them.
std::optional<Rectangle> rectangleOf(const Terminal& t, int top, int left, std::optional<int> bottom,
                                     std::optional<int> right)
{
    const Buffer& b = *t.buffer;
    int minRow = 0, maxRow = t.rows - 1, minCol = 0, maxCol = t.cols - 1;
    long long bot = bottom && *bottom >= 0 ? *bottom : t.rows;
    long long rgt = right && *right >= 0 ? *right : t.cols;
    long long tp = top, lft = left;
    if (t.originMode) {
        minRow = b.scrollTop();
        maxRow = b.scrollBottom();
        minCol = H::leftMargin(t);
        maxCol = H::rightMargin(t);
        tp += minRow;
        bot += minRow;
        lft += minCol;
        rgt += minCol;
    }
    if (bot < tp || rgt < lft)
        return std::nullopt;
    Rectangle r;
    r.top = static_cast<int>(std::clamp<long long>(tp - 1, minRow, maxRow));
    r.left = static_cast<int>(std::clamp<long long>(lft - 1, minCol, maxCol));
    r.bottom = static_cast<int>(std::clamp<long long>(bot - 1, minRow, maxRow));
    r.right = static_cast<int>(std::clamp<long long>(rgt - 1, minCol, maxCol));
    if (r.bottom < r.top || r.right < r.left)
        return std::nullopt;
    return r;
}

// The rectangle from the request parameters starting at index `first`.
std::optional<Rectangle> rectangleFromRequest(const Terminal& t, const CsiParams& p, int first)
{
    auto param = [&](int i) -> std::optional<int> {
        if (first + i < p.size())
            return p[first + i];
        return std::nullopt;
    };
    auto rule = [](std::optional<int> v) { return v && *v > 1 ? *v : 1; };
    return rectangleOf(t, rule(param(0)), rule(param(1)), param(2), param(3));
}

// Hands the callback each row of the area with its first and last column,
// then mends the wide characters cut by the area's edges and marks the rows.
template <typename Change>
void forEachRectangleRow(Terminal& t, const Rectangle& r, Change change)
{
    Buffer& b = *t.buffer;
    const CharData blank = H::eraseCell(t);
    for (int row = r.top; row <= r.bottom; ++row) {
        BufferLine& line = b.screenLine(row);
        const int end = std::min(r.right, line.dataSize() - 1);
        if (end < r.left)
            continue;
        change(line, r.left, end);
        H::mendSeam(line, r.left, blank);
        H::mendSeam(line, end + 1, blank);
    }
    t.updateRange(r.top);
    t.updateRange(r.bottom);
}

void fillRectangle(Terminal& t, const CsiParams& p)
{
    // Only a printable character one column wide; anything else would leave
    // cells the rest of the terminal cannot place.
    const int c = p[0];
    const bool printable = c >= 0x20 && c != 0x7F && (c < 0x80 || c >= 0xA0) &&
                           isUnicodeScalar(static_cast<uint32_t>(c)) &&
                           UnicodeUtil::width(static_cast<uint32_t>(c)) == 1;
    if (!printable)
        return;
    const auto r = rectangleFromRequest(t, p, 1);
    if (!r)
        return;
    CharData cell;
    cell.code = c;
    cell.attribute = t.curAttr;
    forEachRectangleRow(t, *r, [&](BufferLine& line, int from, int to) { line.fillRange(cell, from, to + 1); });
}

void eraseRectangle(Terminal& t, const CsiParams& p)
{
    const auto r = rectangleFromRequest(t, p, 0);
    if (!r)
        return;
    CharData space = H::eraseCell(t);
    space.code = ' ';
    forEachRectangleRow(t, *r, [&](BufferLine& line, int from, int to) { line.fillRange(space, from, to + 1); });
}

void selectiveEraseRectangle(Terminal& t, const CsiParams& p)
{
    const auto r = rectangleFromRequest(t, p, 0);
    if (!r)
        return;
    // Nothing is protected, so every cell is erasable; only the character goes.
    forEachRectangleRow(t, *r, [](BufferLine& line, int from, int to) {
        CharData* cells = line.writableCells().data();
        for (int c = from; c <= to; ++c) {
            cells[c].code = ' ';
            cells[c].width = 1;
        }
    });
}

void copyRectangle(Terminal& t, const CsiParams& p)
{
    // Each of the eight values counts when given and not 0.
    auto value = [&](int i, int fallback) { return i < p.size() && p[i] != 0 ? p[i] : fallback; };
    const int sourcePage = value(4, 1);
    const int destinationPage = value(7, 1);
    if (sourcePage != 1 || destinationPage != 1)
        return;
    const auto source =
        rectangleOf(t, std::max(value(0, 1), 1), std::max(value(1, 1), 1), value(2, t.rows), value(3, t.cols));
    if (!source)
        return;
    // The destination counts from the same origin as the source and stays on
    // the screen (inside the region and margins in origin mode).
    Buffer& b = *t.buffer;
    const int minRow = t.originMode ? b.scrollTop() : 0;
    const int maxRow = t.originMode ? b.scrollBottom() : t.rows - 1;
    const int minCol = t.originMode ? H::leftMargin(t) : 0;
    const int maxCol = t.originMode ? H::rightMargin(t) : t.cols - 1;
    const int dTop = std::clamp(minRow + std::max(value(5, 1), 1) - 1, minRow, maxRow);
    const int dLeft = std::clamp(minCol + std::max(value(6, 1), 1) - 1, minCol, maxCol);
    const int width = std::min(source->right - source->left + 1, maxCol - dLeft + 1);
    const int height = std::min(source->bottom - source->top + 1, maxRow - dTop + 1);
    if (width <= 0 || height <= 0)
        return;
    // Copied out first, so that overlapping areas copy correctly.
    std::vector<CharData> cells(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int i = 0; i < height; ++i) {
        const BufferLine& line = b.screenLine(source->top + i);
        for (int j = 0; j < width; ++j)
            cells[static_cast<size_t>(i) * static_cast<size_t>(width) + static_cast<size_t>(j)] =
                line[source->left + j];
    }
    const CharData blank = H::eraseCell(t);
    for (int i = 0; i < height; ++i) {
        BufferLine& line = b.screenLine(dTop + i);
        const int count = std::min(width, line.dataSize() - dLeft);
        if (count <= 0)
            continue;
        CharData* out = line.writableCells().data() + dLeft;
        std::copy_n(cells.begin() + static_cast<std::ptrdiff_t>(i) * width, count, out);
        H::mendSeam(line, dLeft, blank);
        H::mendSeam(line, dLeft + count, blank);
    }
    t.updateRange(dTop);
    t.updateRange(dTop + height - 1);
}

// Inserts (or deletes) n cells at x of one line, up to `right`, keeping wide
// characters whole at the edges the shift creates.
void shiftCells(BufferLine& line, int x, int n, int right, const CharData& blank, bool insert)
{
    if (insert)
        line.insertCells(x, n, right, blank);
    else
        line.deleteCells(x, n, right, blank);
    H::mendSeam(line, x, blank);
    H::mendSeam(line, insert ? x + n : right - n + 1, blank);
    H::mendSeam(line, right + 1, blank);
}

// ICH and DCH.
void shiftCellsAtCursor(Terminal& t, int count, bool insert)
{
    Buffer& b = *t.buffer;
    // From the pending-wrap column the edit happens at the last column.
    if (b.x() >= t.cols)
        b.setX(t.cols - 1);
    const int x = b.x();
    if (!insideMargins(t, x))
        return;
    BufferLine& line = b.screenLine(b.y());
    const int right = std::min(H::rightMargin(t), line.dataSize() - 1);
    if (x > right)
        return;
    shiftCells(line, x, std::min(count, right - x + 1), right, H::eraseCell(t), insert);
    t.updateRange(b.y());
}

// DECIC and DECDC: the shift at the cursor column on every row of the region.
// DECIC and DECDC from the cursor column, SR and SL from the left margin.
void shiftColumns(Terminal& t, int x, int count, bool insert)
{
    Buffer& b = *t.buffer;
    const int limit = H::rightMargin(t);
    const int n = std::min(count, limit - x + 1);
    CharData blank = H::eraseCell(t);
    blank.code = ' ';
    for (int r = b.scrollTop(); r <= b.scrollBottom(); ++r) {
        BufferLine& line = b.screenLine(r);
        shiftCells(line, x, n, limit, blank, insert);
        line.setWrapped(false);
    }
    t.updateRange(b.scrollTop());
    t.updateRange(b.scrollBottom());
}

// SU and SD. The lines leave the region for good: SU never feeds the scrollback.
void scrollRegion(Terminal& t, int count, bool up)
{
    Buffer& b = *t.buffer;
    const int n = std::min(count, b.scrollBottom() - b.scrollTop() + 1);
    if (t.marginMode && !marginsSpanTheRow(t)) {
        shiftMarginColumns(t, b, b.scrollTop(), b.scrollBottom(), n, up, t.eraseAttr());
    } else {
        rotateRows(t, b, b.scrollTop(), b.scrollBottom(), n, up, t.eraseAttr());
        t.hardenBidiScrollBoundaries(!up, n);
        unwrapRow(b, b.yBase() + b.scrollBottom() + 1);
    }
    t.updateRange(b.scrollTop());
    t.updateRange(b.scrollBottom());
}

// IL and DL mark the cursor row and the region's ends.
void markLineShift(Terminal& t, int y)
{
    const Buffer& b = *t.buffer;
    t.updateRange(y);
    t.updateRange(b.scrollBottom());
    if (!(b.scrollTop() == 0 && b.scrollBottom() == t.rows - 1))
        t.updateRange(b.scrollTop());
}

// XTSMGRAPHICS (CSI ? Pi ; Pa ; Pv S) asks about graphics resources; the
// answer is a failure, so that the asker need not wait for one.
void answerGraphicsAttributes(Terminal& t, const CsiParams& p)
{
    const int item = p[0];
    const int status = item >= 1 && item <= 3 ? 3 : 1;
    std::string body = "?";
    body += std::to_string(item);
    body += ';';
    body += std::to_string(status);
    body += ";0S";
    t.sendResponse({t.cc.csi(), body});
}

}  // namespace

void Terminal::cmdInsertChars(const Params& p, Collect)
{
    shiftCellsAtCursor(*this, p.count1(), true);
}

void Terminal::cmdDeleteChars(const Params& p, Collect)
{
    shiftCellsAtCursor(*this, p.count1(), false);
}

void Terminal::cmdInsertLines(const Params& p, Collect)
{
    Buffer& b = *buffer;
    const int y = b.y();
    if (y < b.scrollTop() || y > b.scrollBottom())
        return;
    const int n = std::min(p.count1(), b.scrollBottom() - y + 1);
    if (marginsSpanTheRow(*this)) {
        rotateRows(*this, b, y, b.scrollBottom(), n, false, eraseAttr());
        const int row = b.yBase() + y;
        const int bottom = b.yBase() + b.scrollBottom();
        hardenBidiLineShiftBoundaries(row, row + n <= bottom ? std::optional<int>(row + n) : std::nullopt, bottom);
    } else if (insideMargins(*this, b.x())) {
        shiftMarginColumns(*this, b, y, b.scrollBottom(), n, false, eraseAttr());
    }
    markLineShift(*this, y);
}

void Terminal::cmdDeleteLines(const Params& p, Collect)
{
    Buffer& b = *buffer;
    restrictCursor(true);
    const int y = b.y();
    if (y >= b.scrollTop() && y <= b.scrollBottom()) {
        const int n = std::min(p.count1(), b.scrollBottom() - y + 1);
        if (marginsSpanTheRow(*this)) {
            rotateRows(*this, b, y, b.scrollBottom(), n, true, eraseAttr());
            hardenBidiLineShiftBoundaries(b.yBase() + y, std::nullopt, b.yBase() + b.scrollBottom());
        } else if (insideMargins(*this, b.x())) {
            shiftMarginColumns(*this, b, y, b.scrollBottom(), n, true, eraseAttr());
        }
    }
    markLineShift(*this, y);
}

void Terminal::cmdScrollUp(const Params& p, Collect c)
{
    if (c.size() == 1 && c[0] == '?') {
        answerGraphicsAttributes(*this, p);
        return;
    }
    scrollRegion(*this, p.count1(), true);
}

void Terminal::cmdScrollDown(const Params& p, Collect)
{
    scrollRegion(*this, p.count1(), false);
}

void Terminal::cmdRepeatPrecedingCharacter(const Params& p, Collect)
{
    Buffer& b = *buffer;
    const int requested = p.get(0, 1) >= 2 ? p[0] : 1;
    const long long limit = 2LL * cols * rows;
    const int n = static_cast<int>(std::min<long long>(requested, limit));
    CharData cell;  // at column 0: the default blank
    const int x = b.x();
    if (x > 0) {
        const BufferLine& line = b.screenLine(b.y());
        int col = std::min(x - 1, line.dataSize() - 1);
        // The right half of a wide character stands for the character.
        if (col > 0 && line[col].width == 0 && line[col - 1].width >= 2)
            --col;
        cell = line[col];
        if (cell.width == 0)
            cell = CharData{};
    }
    for (int i = 0; i < n; ++i)
        insertCharacter(cell);
    updateRange(b.y());
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
    e.attribute.style = CharacterStyle::none;
    e.attribute.underlineStyle = UnderlineStyle::none;
    setCursor(0, 0);
    for (int r = 0; r < rows; ++r) {
        BufferLine& line = b.screenLine(r);
        line.fillRange(e, 0, line.dataSize());
        line.setWrapped(false);
    }
    updateFullScreen();
    setCursor(0, 0);
}

void Terminal::cmdScrollColumns(const Params& p, bool left)
{
    // The whole region moves, from its left margin, but only while the
    // cursor is inside it; the cursor stays.
    const Buffer& b = *buffer;
    if (b.y() < b.scrollTop() || b.y() > b.scrollBottom() || b.x() >= cols || !insideMargins(*this, b.x()))
        return;
    shiftColumns(*this, EditHelpers::leftMargin(*this), p.count1(), !left);
}

void Terminal::cmdDeleteColumns(const Params& p, Collect)
{
    Buffer& b = *buffer;
    const int x = b.x();
    if (b.y() < b.scrollTop() || b.y() > b.scrollBottom() || x >= cols || !insideMargins(*this, x))
        return;
    shiftColumns(*this, x, p.count1(), false);
}

void Terminal::csiCopyRectangularArea(const Params& p, Collect c)
{
    if (c.size() == 1 && c[0] == '$')
        copyRectangle(*this, p);
}

void Terminal::csiX(const Params& p, Collect c)
{
    if (c.size() == 1 && c[0] == '$') {
        fillRectangle(*this, p);
        return;
    }
    reportUnknownCsi(p, c, 'x');
}

void Terminal::cmdDECRQCRA(const Params& p, Collect c)
{
    const int id = p[0];
    uint32_t sum = 0;
    bool computed = false;
    bool trusted = false;
    // Reading the screen back is for programs we started ourselves only.
    if (p.size() >= 3) {
        const auto answer = gatedRequest(
            [this, params = p, collect = std::vector<uint8_t>(c.begin(), c.end())] { cmdDECRQCRA(params, collect); });
        if (!answer)
            return;  // answered once that is known
        trusted = *answer;
    }
    if (trusted) {
        if (const auto r = rectangleFromRequest(*this, p, 2)) {
            computed = true;
            for (int row = r->top; row <= r->bottom; ++row) {
                const BufferLine& line = buffer->screenLine(row);
                for (int col = r->left; col <= r->right; ++col) {
                    const int32_t code = line[col].code;
                    if (code == 0) {
                        sum += 32;
                    } else if (code < CharData::firstClusterCode) {
                        sum += isUnicodeScalar(static_cast<uint32_t>(code)) ? static_cast<uint32_t>(code) : 32u;
                    } else {
                        // A cluster counts each of its scalars.
                        for (char32_t scalar : clusters_.lookup(code))
                            sum += static_cast<uint32_t>(scalar);
                    }
                }
            }
        }
    }
    char checksum[16];
    std::snprintf(checksum, sizeof checksum, "%04x", computed ? sum : 0u);
    sendResponse({cc.dcs(), std::to_string(id) + "!~" + checksum, cc.st()});
}

void Terminal::csiZ(const Params& p, Collect c)
{
    if (c.size() == 1 && c[0] == '$')
        eraseRectangle(*this, p);
    else
        reportUnknownCsi(p, c, 'z');  // the locator (DECELR) is not offered
}

void Terminal::csiOpenBrace(const Params& p, Collect c)
{
    if (c.size() == 1 && c[0] == '$') {
        selectiveEraseRectangle(*this, p);
        return;
    }
    reportUnknownCsi(p, c, '{');
}

void Terminal::csiCloseBrace(const Params& p, Collect c)
{
    if (!(c.size() == 1 && c[0] == '\'')) {
        reportUnknownCsi(p, c, '}');
        return;
    }
    // DECIC: columns are inserted at the cursor column on every row of the region.
    if (!insideMargins(*this, buffer->x()))
        return;
    shiftColumns(*this, buffer->x(), p.count1(), true);
}

}  // namespace ravelgrid
