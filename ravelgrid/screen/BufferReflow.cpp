#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Log.h"
#include "ravelgrid/screen/Buffer.h"

// Resizing a buffer, and reflowing soft-wrapped text to the new width on a
// buffer that keeps scrollback. A wrapped group is a row followed by the
// rows whose isWrapped flag says they continue it; its text is the
// concatenation of each row's wrapped length of cells.

namespace ravelgrid {

namespace {

bool isNullCell(const CharData& c)
{
    return c.code == 0 && c.width == 1 && c.attribute == Attribute{};
}

// Cells of group row i that carry text at width w. A row left one cell short
// because the wide character after it did not fit ends at w - 1.
int wrappedLength(const std::vector<BufferLine*>& group, size_t i, int w)
{
    if (i + 1 == group.size())
        return group[i]->trimmedLength();
    return isNullCell((*group[i])[w - 1]) && (*group[i + 1])[0].width == 2 ? w - 1 : w;
}

bool rowIsBlank(const BufferLine& line)
{
    return !line.hasAnyContent();
}

// An anchor whose row belongs to the group being reflowed, located by its
// offset in the group's text.
struct Tracked {
    int anchor = 0;
    int64_t offset = 0;
    int overshoot = 0;  // columns past the end of the text (a cursor in blank space)
    int groupRow = -1;  // new row within the group, -1 until placed
    int col = 0;
    bool pending = false;
};

template <typename Anchors>
void collectTracked(std::vector<Tracked>& tracked, const std::vector<BufferLine*>& group, int firstRow, int oldCols,
                    const Anchors& anchors)
{
    tracked.clear();
    const int end = firstRow + static_cast<int>(group.size());
    for (size_t a = 0; a < anchors.size(); ++a) {
        const int row = anchors[a].row;
        if (row < firstRow || row >= end)
            continue;
        const size_t gi = static_cast<size_t>(row - firstRow);
        int64_t prefix = 0;
        for (size_t i = 0; i < gi; ++i)
            prefix += wrappedLength(group, i, oldCols);
        const int len = wrappedLength(group, gi, oldCols);
        Tracked t;
        t.anchor = static_cast<int>(a);
        t.offset = prefix + std::min(anchors[a].col, len);
        t.overshoot = gi + 1 == group.size() ? std::max(0, anchors[a].col - len) : 0;
        tracked.push_back(t);
    }
}

// Cells [from, from + n) of the text now start at (row, col).
void placeCopied(std::vector<Tracked>& tracked, int64_t from, int n, int row, int col)
{
    for (auto& t : tracked)
        if (t.groupRow < 0 && t.offset >= from && t.offset < from + n) {
            t.groupRow = row;
            t.col = col + static_cast<int>(t.offset - from);
        }
}

// What is left unplaced lies at or past the end of the text; (row, col) is
// the position just after its last cell, col possibly equal to the width.
void placeAtEnd(std::vector<Tracked>& tracked, int row, int col, int newCols)
{
    for (auto& t : tracked) {
        if (t.groupRow >= 0)
            continue;
        t.groupRow = row;
        if (t.overshoot > 0) {
            t.col = std::min(col + t.overshoot, newCols - 1);
        } else if (col >= newCols) {
            t.col = newCols;
            t.pending = true;
        } else {
            t.col = col;
        }
    }
}

// An anchor left unplaced went with rows that were dropped.
template <typename Anchors>
void applyTracked(const std::vector<Tracked>& tracked, const std::vector<BufferLine*>& group, int keptRows,
                  Anchors& anchors)
{
    for (const auto& t : tracked) {
        auto& a = anchors[static_cast<size_t>(t.anchor)];
        a.moved = true;
        if (t.groupRow < 0) {
            a.line = nullptr;
            continue;
        }
        const int row = std::clamp(t.groupRow, 0, keptRows - 1);
        a.line = group[static_cast<size_t>(row)];
        a.newCol = row == t.groupRow ? t.col : 0;
        a.pendingWrap = row == t.groupRow && t.pending;
    }
}

// Joins one wrapped group in place at the wider width; returns how many of
// its trailing rows are left without text.
template <typename Anchors>
int joinGroup(const std::vector<BufferLine*>& g, int firstRow, int oldCols, int newCols, const CharData& nullCell,
              std::vector<Tracked>& tracked, Anchors& anchors, int cursorAnchor)
{
    const int rows = static_cast<int>(g.size());
    collectTracked(tracked, g, firstRow, oldCols, anchors);

    int destLine = 0;
    int destCol = wrappedLength(g, 0, oldCols);
    int srcLine = 1;
    int srcCol = 0;
    int64_t logical = destCol;
    placeCopied(tracked, 0, destCol, 0, 0);
    while (srcLine < rows) {
        const int srcLen = wrappedLength(g, static_cast<size_t>(srcLine), oldCols);
        const int n = std::min(srcLen - srcCol, newCols - destCol);
        g[static_cast<size_t>(destLine)]->copyCellsFrom(*g[static_cast<size_t>(srcLine)], srcCol, destCol, n);
        placeCopied(tracked, logical, n, destLine, destCol);
        logical += n;
        destCol += n;
        if (destCol == newCols) {
            ++destLine;
            destCol = 0;
        }
        srcCol += n;
        if (srcCol == srcLen) {
            ++srcLine;
            srcCol = 0;
        }
        // A wide character never straddles the new right edge: it moves down
        // whole, but only onto a cell whose text was already taken.
        const bool targetConsumed = srcLine > destLine || srcCol > 0 || srcLine >= rows;
        if (destCol == 0 && destLine != 0 && targetConsumed &&
            g[static_cast<size_t>(destLine - 1)]->widthAt(newCols - 1) == 2) {
            g[static_cast<size_t>(destLine)]->copyCellsFrom(*g[static_cast<size_t>(destLine - 1)], newCols - 1, 0, 1);
            g[static_cast<size_t>(destLine - 1)]->set(newCols - 1, nullCell);
            destCol = 1;
            for (auto& t : tracked)
                if (t.groupRow == destLine - 1 && t.col == newCols - 1) {
                    t.groupRow = destLine;
                    t.col = 0;
                }
        }
    }
    g[static_cast<size_t>(destLine)]->fillRange(nullCell, destCol, newCols);

    // Just past text that filled its row exactly is the pending-wrap place
    // at the end of that row, not the start of an empty one.
    if (destCol == 0 && destLine > 0)
        placeAtEnd(tracked, destLine - 1, newCols, newCols);
    else
        placeAtEnd(tracked, destLine, destCol, newCols);

    int keepAtLeast = 0;  // the cursor's row stays whatever it holds
    for (const auto& t : tracked)
        if (t.anchor == cursorAnchor)
            keepAtLeast = t.groupRow;
    int toRemove = 0;
    for (int j = rows - 1; j >= 1 && j > keepAtLeast; --j) {
        if (j > destLine || g[static_cast<size_t>(j)]->trimmedLength() == 0)
            ++toRemove;
        else
            break;
    }
    applyTracked(tracked, g, rows - toRemove, anchors);
    return toRemove;
}

// A row that keeps its place and its cells at the narrower width.
bool staysAtWidth(const BufferLine& row, int newCols)
{
    return !row.isWrapped() && row.trimmedLength() <= newCols;
}

// The wrapped group whose last row is ring row `last`, first row first;
// returns the ring row of its first row.
int collectGroup(CircularBufferLineList& lines, int last, std::vector<BufferLine*>& group)
{
    group.clear();
    int y = last;
    group.push_back(&lines[y]);
    while (group.back()->isWrapped() && y > 0)
        group.push_back(&lines[--y]);
    std::reverse(group.begin(), group.end());
    return y;
}

// The new row that holds text offset `offset`, given the new rows' lengths;
// past the end of the text it is the last row with text, as placeAtEnd has it.
int rowOfOffset(const std::vector<int>& lengths, int64_t offset)
{
    int64_t start = 0;
    int lastText = 0;
    for (size_t r = 0; r < lengths.size(); ++r) {
        if (lengths[r] == 0)
            continue;
        if (offset < start + lengths[r])
            return static_cast<int>(r);
        start += lengths[r];
        lastText = static_cast<int>(r);
    }
    return lastText;
}

}  // namespace

void Buffer::resize(int newCols, int newRows)
{
    newCols = std::max(newCols, minCols);
    newRows = std::max(newRows, minRows);
    const int oldCols = cols_;
    const int oldRows = rows_;

    marginRight_ = std::min(marginRight_, newCols - 1);
    if (marginLeft_ >= marginRight_)
        marginLeft_ = marginRight_;

    const int newMax = getCorrectBufferLength(newRows);
    if (lines_.maxLength() < newMax)
        lines_.setMaxLength(newMax);

    if (lines_.count() == 0) {
        scrollBottom_ = newRows - 1;
        tabStops.resize(static_cast<size_t>(newCols), false);
        rows_ = newRows;
        cols_ = newCols;
        return;
    }

    if (oldCols < newCols) {
        for (int i = 0; i < lines_.count(); ++i)
            if (lines_[i].dataSize() < newCols)
                lines_[i].resize(newCols, CharData::Null);
    }

    int pulled = 0;
    if (oldRows > newRows) {
        // With history to keep them in, rows that hold something are not cut
        // off below the cursor: the screen slides up instead.
        const bool keepBelow = hasScrollback_ && scrollback_.value_or(0) > 0;
        // With the cursor on the top row they stay for the reflow to place,
        // as a new width may make room for them (a wider screen needs fewer
        // rows); those the new screen has no room for go after the reflow,
        // before any history.
        const bool reflowFollows = keepBelow && oldCols != newCols;
        for (int i = 0; i < oldRows - newRows; ++i) {
            const int count = lines_.count();
            if (newRows + yBase_ >= count)
                continue;
            if (y_ + yBase_ + 1 >= count) {
                ++yBase_;
                ++yDisp_;
            } else if (keepBelow && y_ > 0 && !rowIsBlank(lines_[count - 1])) {
                ++yBase_;
                ++yDisp_;
                --y_;
            } else if (reflowFollows && !rowIsBlank(lines_[count - 1])) {
                break;
            } else {
                lines_.setCount(count - 1);
            }
        }
    } else if (oldRows < newRows) {
        for (int r = oldRows; r < newRows; ++r) {
            if (lines_.count() >= newRows + yBase_)
                continue;
            if (yBase_ > 0 && yBase_ + r + pulled + 1 >= lines_.count()) {
                --yBase_;
                ++pulled;
                if (yDisp_ > 0)
                    --yDisp_;
            } else {
                lines_.push(std::make_shared<BufferLine>(newCols, CharData::Null, false, defaultBidiState));
            }
        }
    }

    const int cursorX = std::clamp(x_, 0, oldCols);
    // At an unchanged width a pending wrap stays pending, so the next
    // character still wraps instead of overwriting the last one.
    if (!(x_ == oldCols && newCols == oldCols))
        x_ = std::min(x_, newCols - 1);
    y_ = std::min(y_, newRows - 1);
    if (pulled > 0)
        y_ = std::min(y_ + pulled, newRows - 1);
    savedX = std::min(savedX, newCols - 1);
    scrollTop_ = 0;
    scrollBottom_ = newRows - 1;

    tabStops.resize(static_cast<size_t>(newCols), false);

    const bool reflows = hasScrollback_ && oldCols != newCols;
    if (reflows) {
        ReflowAnchors anchors;
        const int last = lines_.count() - 1;
        auto anchor = [&](ReflowAnchorIndex i, int row, int col) {
            ReflowAnchor& a = anchors[i];
            a.row = std::clamp(row, 0, last);
            a.col = col;
            a.line = lines_.get(a.row).get();
            a.newCol = col;
        };
        anchor(anchorCursor, yBase_ + y_, cursorX);
        anchor(anchorSavedRow, yBase_ + savedY, 0);
        anchor(anchorViewportTop, yDisp_, 0);
        anchor(anchorScreenTop, yBase_, 0);
        if (oldCols < newCols)
            reflowLarger(oldCols, newCols, newRows, anchors);
        else
            reflowSmaller(oldCols, newCols, newRows, anchors);
    }

    // Trimming comes last, once the reflow has placed the text and the
    // screen has dropped the rows below it that it has no room for: only
    // history rows go then, oldest first, and only those the ring cannot
    // hold. savedY is a screen row and stays.
    if (newMax < lines_.maxLength()) {
        const int n = lines_.count() - newMax;
        if (n > 0) {
            dropOldestRows(n);
            yBase_ = std::max(yBase_ - n, 0);
            yDisp_ = std::max(yDisp_ - n, 0);
        }
        lines_.setMaxLength(newMax);
    }

    if (reflows) {
        recountLinesWithImages();
        if (newCols < oldCols)
            for (int i = 0; i < lines_.count(); ++i)
                lines_[i].resize(newCols, CharData::Null);
    }
    savedY = std::clamp(savedY, 0, newRows - 1);

    // Every row is at least as wide as the screen; a shorter one would be an
    // internal fault, said once and mended rather than left to crash a reader.
    for (int i = 0; i < lines_.count(); ++i) {
        const BufferLine* line = lines_.peek(i);
        if (line != nullptr && line->dataSize() < newCols) {
            platform::logError("ravelgrid", "stop here newCols=" + std::to_string(newCols) +
                                                " but the element has: " + std::to_string(line->dataSize()));
            lines_[i].resize(newCols, CharData::Null);
        }
    }

    // Rows the reflow made full go back to what they use, oldest first,
    // while the scrollback's unpacked rows hold more than the budget; all of
    // them when the ring at its new width does not fit it.
    const int scrollbackRows = std::min(yBase_, lines_.count());
    const bool ringFits =
        static_cast<size_t>(lines_.maxLength()) * static_cast<size_t>(std::max(newCols, 0)) * sizeof(CharData) <=
        unpackedScrollbackBudget;
    const size_t keepUnpacked = ringFits ? unpackedScrollbackBudget : 0;
    size_t unpacked = 0;
    for (int i = 0; i < scrollbackRows; ++i)
        if (const BufferLine* line = lines_.peek(i))
            unpacked += line->unpackedBytes();
    for (int i = 0; i < scrollbackRows && unpacked > keepUnpacked; ++i) {
        if (lines_.peek(i) == nullptr)
            continue;
        BufferLine& line = lines_[i];
        const size_t before = line.unpackedBytes();
        line.compact();
        unpacked -= before - std::min(before, line.unpackedBytes());
    }
    unpackedScrollbackBytes_ = unpacked;

    rows_ = newRows;
    cols_ = newCols;
}

// ---- wider ----------------------------------------------------------------------

std::vector<int> Buffer::reflowLargerGetLinesToRemove(int oldCols, int newCols, ReflowAnchors& anchors,
                                                      const CharData& nullCell)
{
    std::vector<int> toRemove;
    std::vector<BufferLine*> group;
    std::vector<Tracked> tracked;
    const int count = lines_.count();
    for (int y = 0; y < count - 1;) {
        if (!lines_[y + 1].isWrapped()) {
            ++y;
            continue;
        }
        group.clear();
        group.push_back(&lines_[y]);
        int e = y + 1;
        while (e < count && lines_[e].isWrapped())
            group.push_back(&lines_[e++]);
        const int removed = joinGroup(group, y, oldCols, newCols, nullCell, tracked, anchors, anchorCursor);
        if (removed > 0) {
            toRemove.push_back(e - removed);
            toRemove.push_back(removed);
        }
        y = e;
    }
    return toRemove;
}

void Buffer::reflowLarger(int oldCols, int newCols, int newRows, ReflowAnchors& anchors)
{
    const int countBefore = lines_.count();
    const bool atBottom = yDisp_ == yBase_;
    const std::vector<int> toRemove = reflowLargerGetLinesToRemove(oldCols, newCols, anchors, CharData::Null);
    if (!toRemove.empty()) {
        std::vector<BufferLinePtr> layout;
        layout.reserve(static_cast<size_t>(countBefore));
        size_t next = 0;
        for (int i = 0; i < countBefore;) {
            if (next < toRemove.size() && i == toRemove[next]) {
                i += toRemove[next + 1];
                next += 2;
                continue;
            }
            layout.push_back(lines_.get(i));
            ++i;
        }
        for (size_t i = 0; i < layout.size(); ++i)
            lines_.set(static_cast<int>(i), std::move(layout[i]));
        lines_.setCount(static_cast<int>(layout.size()));
    }
    placeViewportAfterReflow(newCols, newRows, anchors, countBefore, atBottom);
}

// ---- narrower ---------------------------------------------------------------------

std::vector<int> Buffer::reflowSmallerGetNewLineLengths(const std::vector<BufferLine*>& group, int oldCols, int newCols)
{
    int64_t cellsNeeded = 0;
    for (size_t i = 0; i < group.size(); ++i)
        cellsNeeded += wrappedLength(group, i, oldCols);

    std::vector<int> result;
    int64_t cellsAvailable = 0;
    int srcCol = 0;
    size_t srcLine = 0;
    while (cellsAvailable < cellsNeeded) {
        if (cellsNeeded - cellsAvailable < newCols) {
            result.push_back(static_cast<int>(cellsNeeded - cellsAvailable));
            break;
        }
        srcCol += newCols;
        const int len = srcLine < group.size() ? wrappedLength(group, srcLine, oldCols) : 0;
        if (srcCol > len) {
            srcCol -= len;
            ++srcLine;
        }
        int rowLength = newCols;
        if (srcLine < group.size() && srcCol > 0 && (*group[srcLine])[srcCol - 1].width == 2) {
            --srcCol;
            rowLength = newCols - 1;  // the wide character moves to the next row
        }
        result.push_back(rowLength);
        cellsAvailable += rowLength;
    }
    return result;
}

void Buffer::reflowSmaller(int oldCols, int newCols, int newRows, ReflowAnchors& anchors)
{
    const int countBefore = lines_.count();
    const bool atBottom = yDisp_ == yBase_;
    const int cursorRingRow = anchors[anchorCursor].row;
    std::vector<InsertionSet> toInsert;
    int countToInsert = 0;
    std::vector<BufferLine*> group;
    std::vector<Tracked> tracked;
    std::vector<int> srcLengths;
    std::vector<BufferLine*> dest;

    // The group ending at ring row `last` and the lengths of its rows at the
    // new width (its blank rows at the end carry no text but keep their
    // place); no lengths for a row that stays as it is. Returns its first row.
    auto unitAt = [&](int last, std::vector<int>& lengths) {
        lengths.clear();
        if (staysAtWidth(lines_[last], newCols))
            return last;
        const int first = collectGroup(lines_, last, group);
        lengths = reflowSmallerGetNewLineLengths(group, oldCols, newCols);
        if (!lengths.empty() && lengths.size() < group.size())
            lengths.resize(group.size(), 0);
        return first;
    };
    // The cursor's new row within its group (tracked holds the group's anchors).
    auto cursorRowIn = [&](const std::vector<int>& lengths) {
        for (const auto& t : tracked)
            if (t.anchor == anchorCursor)
                return rowOfOffset(lengths, t.offset);
        return 0;
    };
    std::vector<int> lengths;

    // The rows of the result below the cursor's. The screen keeps newRows - 1
    // of them; the others go first, before any history, and are not built.
    int64_t below = 0;
    for (int y = countBefore - 1; y >= 0; --y) {
        const int first = unitAt(y, lengths);
        if (lengths.empty()) {
            if (y <= cursorRingRow)
                break;
            ++below;
            continue;
        }
        if (first <= cursorRingRow) {
            collectTracked(tracked, group, first, oldCols, anchors);
            below += static_cast<int64_t>(lengths.size()) - 1 - cursorRowIn(lengths);
            break;
        }
        below += static_cast<int64_t>(lengths.size());
        y = first;
    }
    int64_t skip = std::max<int64_t>(0, below - (newRows - 1));
    // Rows of the result from the cursor's up that the ring keeps. Once they
    // are all built, everything above falls out, so it is neither built nor
    // kept: the memory of a reflow is bounded by its result, however narrow.
    int64_t budget = getCorrectBufferLength(newRows);
    int cut = 0;  // old rows at the bottom that go with the skipped rows

    for (int y = countBefore - 1; y >= 0 && budget > 0; --y) {
        const int last = y;
        const int first = unitAt(last, lengths);
        if (lengths.empty()) {
            if (last <= cursorRingRow) {
                --budget;
            } else if (skip > 0) {
                --skip;
                ++cut;
            }
            continue;
        }
        y = first;
        const int groupSize = static_cast<int>(group.size());
        const int totalRows = static_cast<int>(lengths.size());
        collectTracked(tracked, group, first, oldCols, anchors);

        // Rows [0, counted) count against the budget, the rest lie below the
        // cursor; of those, the last ones are skipped.
        const int counted = first > cursorRingRow ? 0 : last < cursorRingRow ? totalRows : cursorRowIn(lengths) + 1;
        const int end = totalRows - static_cast<int>(std::min<int64_t>(skip, totalRows - counted));
        skip -= totalRows - end;
        cut += std::max(0, groupSize - end);
        if (end == 0)
            continue;
        const int firstKept = static_cast<int>(std::max<int64_t>(0, counted - budget));
        budget -= counted - firstKept;

        srcLengths.clear();
        int64_t text = 0;
        for (size_t i = 0; i < group.size(); ++i) {
            srcLengths.push_back(wrappedLength(group, i, oldCols));
            text += srcLengths.back();
        }
        int64_t textEnd = 0;  // of the rows kept
        for (int i = 0; i < end; ++i)
            textEnd += lengths[static_cast<size_t>(i)];
        const int firstNew = std::max(groupSize, firstKept);
        const int linesToAdd = std::max(0, end - firstNew);
        dest.assign(group.begin(), group.end());
        dest.resize(static_cast<size_t>(totalRows), nullptr);

        if (linesToAdd > 0) {
            InsertionSet set;
            set.lines.reserve(static_cast<size_t>(linesToAdd));
            for (int i = 0; i < linesToAdd; ++i) {
                // Made at the new width: rows built at the old one would
                // cost the old width each until the end of the resize.
                auto line = std::make_shared<BufferLine>(newCols, CharData::Null, true, group.front()->bidiState());
                line->owningBuffer_ = self_;
                dest[static_cast<size_t>(firstNew + i)] = line.get();
                set.lines.push_back(std::move(line));
            }
            set.start = first + groupSize + countToInsert;
            countToInsert += linesToAdd;
            toInsert.push_back(std::move(set));
        }
        for (BufferLine* row : group)
            row->setBidiState(group.front()->bidiState());

        // Backwards and in place from the end of the kept text: every cell
        // moves to the same or a later row, so nothing is overwritten before
        // it was copied.
        int destLine = end - 1;
        int destCol = lengths[static_cast<size_t>(destLine)];
        while (destCol == 0 && destLine > 0)
            destCol = lengths[static_cast<size_t>(--destLine)];
        const int lastTextRow = destLine;
        int srcLine = 0;
        int64_t srcStart = 0;
        while (srcLine + 1 < groupSize && srcStart + srcLengths[static_cast<size_t>(srcLine)] < textEnd)
            srcStart += srcLengths[static_cast<size_t>(srcLine++)];
        int srcCol = static_cast<int>(textEnd - srcStart);
        int64_t logicalEnd = textEnd;
        while (srcLine >= 0 && destLine >= firstKept) {
            const int n = std::min(srcCol, destCol);
            if (n > 0) {
                dest[static_cast<size_t>(destLine)]->copyCellsFrom(*group[static_cast<size_t>(srcLine)], srcCol - n,
                                                                   destCol - n, n);
                placeCopied(tracked, logicalEnd - n, n, destLine, destCol - n);
            }
            logicalEnd -= n;
            destCol -= n;
            srcCol -= n;
            while (destCol == 0 && destLine >= 0) {
                --destLine;
                destCol = destLine >= 0 ? lengths[static_cast<size_t>(destLine)] : 0;
            }
            while (srcCol == 0 && srcLine >= 0) {
                --srcLine;
                srcCol = srcLine >= 0 ? srcLengths[static_cast<size_t>(srcLine)] : 0;
            }
        }
        // Blank the place a wide character left when it moved down a row.
        for (int i = firstKept; i < end; ++i)
            if (lengths[static_cast<size_t>(i)] < newCols)
                dest[static_cast<size_t>(i)]->set(lengths[static_cast<size_t>(i)], CharData::Null);

        // What lies in the rows left out above goes with them, and what lies
        // in text skipped below is dropped; past the end of the text is the
        // last row with text.
        if (firstKept > 0)
            for (auto& t : tracked)
                if (t.groupRow < 0 && t.offset < logicalEnd)
                    t.groupRow = firstKept - 1;
        if (textEnd == text)
            placeAtEnd(tracked, lastTextRow, lengths[static_cast<size_t>(lastTextRow)], newCols);
        applyTracked(tracked, dest, static_cast<int>(dest.size()), anchors);
    }

    // The skipped rows' old rows are the last of the ring, after every
    // insertion point.
    if (cut > 0) {
        lines_.setCount(countBefore - cut);
        for (auto& a : anchors)
            if (!a.moved && a.row >= countBefore - cut)
                a.line = nullptr;
    }
    // Rows above the budget that were not built are the oldest; they stay
    // until the resize trims the ring, so that rows the screen later drops
    // below the cursor leave room for history rather than a gap.
    const int64_t needed = int64_t{lines_.count()} + countToInsert;
    if (needed > lines_.maxLength())
        lines_.setMaxLength(static_cast<int>(std::min<int64_t>(needed, INT_MAX)));
    applyInsertions(toInsert, countToInsert);
    placeViewportAfterReflow(newCols, newRows, anchors, countBefore, atBottom);
}

void Buffer::applyInsertions(std::vector<InsertionSet>& toInsert, int countToInsert)
{
    if (toInsert.empty())
        return;
    const int origCount = lines_.count();
    std::vector<BufferLinePtr> saved(static_cast<size_t>(origCount));
    for (int i = 0; i < origCount; ++i)
        saved[static_cast<size_t>(i)] = lines_.get(i);

    const int newCount = static_cast<int>(std::min<int64_t>(lines_.maxLength(), int64_t{origCount} + countToInsert));
    lines_.setCount(newCount);
    int origIndex = origCount - 1;
    int inserted = 0;
    size_t next = 0;
    // From the bottom up; when the ring cannot hold everything, the oldest
    // rows are the ones left out.
    for (int i = newCount - 1; i >= 0;) {
        if (next < toInsert.size() && toInsert[next].start > origIndex + inserted) {
            auto& lines = toInsert[next].lines;
            for (size_t j = lines.size(); j-- > 0 && i >= 0;)
                lines_.set(i--, std::move(lines[j]));
            inserted += static_cast<int>(lines.size());
            ++next;
        } else if (origIndex >= 0) {
            lines_.set(i--, std::move(saved[static_cast<size_t>(origIndex--)]));
        } else {
            break;
        }
    }
}

// ---- viewport ----------------------------------------------------------------------

void Buffer::placeViewportAfterReflow(int newCols, int newRows, ReflowAnchors& anchors, int countBefore,
                                      bool viewportAtBottom)
{
    const int shift = lines_.count() - countBefore;
    auto resolve = [&](ReflowAnchorIndex i) -> std::optional<int> {
        const ReflowAnchor& a = anchors[i];
        if (a.line == nullptr)
            return std::nullopt;
        return findRowOfLine(a.row + shift, a.line);
    };

    ReflowAnchor& cursor = anchors[anchorCursor];
    const auto cursorFound = resolve(anchorCursor);
    const int cursorRow = cursorFound.value_or(0);
    const int top = resolve(anchorScreenTop).value_or(0);

    // Rows the text gained on screen are taken from blank rows below the
    // cursor first, so the text above does not leave the screen needlessly.
    int count = lines_.count();
    int excess = count - (top + newRows);
    while (excess > 0 && count - 1 > cursorRow && rowIsBlank(lines_[count - 1])) {
        --count;
        --excess;
    }
    int base = std::max(0, count - newRows);
    if (cursorRow < base) {
        // More rows below the cursor than the screen holds: the cursor stays
        // on screen and what lies past the bottom goes.
        platform::logDebug("ravelgrid", "reflow: rows below the cursor did not fit on the screen");
        base = cursorRow;
        count = base + newRows;
    }
    lines_.setCount(count);
    while (lines_.count() < base + newRows)
        lines_.push(std::make_shared<BufferLine>(newCols, CharData::Null, false, defaultBidiState));

    yBase_ = base;
    y_ = std::clamp(cursorRow - base, 0, newRows - 1);
    if (!cursorFound) {
        x_ = 0;
    } else if (cursor.pendingWrap) {
        x_ = newCols;
    } else if (cursor.newCol >= newCols) {
        // Right after the text of a row that fills the new width exactly is
        // a pending wrap; anywhere else past the edge clamps.
        const bool pending = !cursor.moved && cursor.newCol == newCols && lines_[cursorRow].trimmedLength() == newCols;
        x_ = pending ? newCols : newCols - 1;
    } else {
        x_ = cursor.newCol;
    }
    if (viewportAtBottom)
        yDisp_ = base;
    else
        yDisp_ = std::clamp(resolve(anchorViewportTop).value_or(base), 0, base);
    if (const auto saved = resolve(anchorSavedRow))
        savedY = std::clamp(*saved - base, 0, newRows - 1);
}

}  // namespace ravelgrid
