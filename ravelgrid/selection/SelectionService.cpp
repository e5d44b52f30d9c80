#include "ravelgrid/selection/SelectionService.h"

#include <algorithm>
#include <vector>

#include <unicode/uchar.h>

#include "ravelgrid/screen/Utf8.h"
#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

namespace {

enum class CellClass { empty, space, word, none };

bool isLetterOrNumber(char32_t c)
{
    if (c < 0x80)
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    const auto u = static_cast<UChar32>(c);
    return u_hasBinaryProperty(u, UCHAR_ALPHABETIC) || u_getIntPropertyValue(u, UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

bool isWordCharacter(char32_t c)
{
    return c == '.' || c == '_' || c == '-' || isLetterOrNumber(c);
}

bool matches(CellClass cls, char32_t c)
{
    switch (cls) {
    case CellClass::empty: return c == SelectionService::nullChar;
    case CellClass::space: return c == U' ';
    case CellClass::word: return isWordCharacter(c);
    case CellClass::none: break;
    }
    return false;
}

// ".", "_" and "-" continue a word but never start one.
CellClass classOf(char32_t c)
{
    if (c == SelectionService::nullChar)
        return CellClass::empty;
    if (c == U' ')
        return CellClass::space;
    if (isLetterOrNumber(c))
        return CellClass::word;
    return CellClass::none;
}

// A cell outside the ring or past the end of its row reads as empty, so no
// scan ever reads beyond a row, whatever its length.
int32_t codeAt(const Buffer& b, int col, int row)
{
    const BufferLine* line = b.lines().peek(row);
    if (line == nullptr || col < 0 || col >= line->dataSize())
        return 0;
    return (*line)[col].code;
}

// The character a cell stands for in word decisions: its scalar, or the first
// scalar of an interned cluster.
char32_t characterOf(const Terminal& t, int32_t code)
{
    if (code == 0)
        return SelectionService::nullChar;
    if (code < CharData::firstClusterCode)
        return isUnicodeScalar(static_cast<uint32_t>(code)) ? static_cast<char32_t>(code) : U' ';
    const std::string text = t.character(code);
    if (text.empty())
        return U' ';
    size_t pos = 0;
    return utf8::next(text, pos);
}

// The right half of a wide character reads as the character itself, so runs
// take in or stop at whole wide characters.
char32_t charAt(const Terminal& t, const Buffer& b, int col, int row)
{
    const BufferLine* line = b.lines().peek(row);
    if (line == nullptr || col < 0 || col >= line->dataSize())
        return SelectionService::nullChar;
    int32_t code = (*line)[col].code;
    if (code == 0 && col > 0 && (*line)[col - 1].width == 2)
        code = (*line)[col - 1].code;
    return characterOf(t, code);
}

int backwardScan(const Terminal& t, const Buffer& b, int col, int row, CellClass cls)
{
    int c = col;
    while (c > 0 && matches(cls, charAt(t, b, c - 1, row)))
        --c;
    return c;
}

int forwardScan(const Terminal& t, const Buffer& b, int col, int row, CellClass cls, int cols)
{
    int c = col;
    while (c < cols && matches(cls, charAt(t, b, c, row)))
        ++c;
    return c;
}

// The closer an opening bracket expects; 0 for any other code.
char32_t closerOf(int32_t code)
{
    switch (code) {
    case '(': return U')';
    case '[': return U']';
    case '{': return U'}';
    default: return 0;
    }
}

// The opener a closing bracket expects; 0 for any other code.
char32_t openerOf(int32_t code)
{
    switch (code) {
    case ')': return U'(';
    case ']': return U'[';
    case '}': return U'{';
    default: return 0;
    }
}

}  // namespace

std::shared_ptr<SelectionService> SelectionService::create(Terminal& terminal)
{
    std::shared_ptr<SelectionService> service(new SelectionService(terminal));
    terminal.registerSelection(service);
    return service;
}

SelectionService::SelectionService(Terminal& terminal) : terminal_(&terminal)
{}

Buffer& SelectionService::activeBuffer() const
{
    return terminal_->activeBuffer();
}

int SelectionService::terminalCols() const
{
    return terminal_->cols;
}

void SelectionService::notify()
{
    if (TerminalDelegate* d = terminal_->delegate())
        d->selectionChanged(*terminal_);
}

void SelectionService::activateAndNotify()
{
    active_ = true;
    notify();
}

Position SelectionService::toBuffer(int row, int col) const
{
    return {col, row + activeBuffer().yDisp()};
}

void SelectionService::setActive(bool active)
{
    if (active != active_) {
        active_ = active;
        notify();
    }
    if (!active)
        pivot_.reset();
}

void SelectionService::setStart(Position p)
{
    start_ = p;
    updateRange();
}

void SelectionService::setEnd(Position p)
{
    end_ = p;
    updateRange();
}

void SelectionService::invalidate()
{
    pivot_.reset();
    wordSelectionAnchor_.reset();
    rowSelectionAnchor_.reset();
    selectingRows_ = false;
    selectionMode_ = SelectionMode::character;
}

void SelectionService::drop()
{
    setActive(false);
    selectionMode_ = SelectionMode::character;
    wordSelectionAnchor_.reset();
    rowSelectionAnchor_.reset();
    selectingRows_ = false;
}

void SelectionService::adjustForScroll(int top, int bottom, int delta)
{
    if (delta == 0 || !active_)
        return;
    const Position first = std::min(start_, end_);
    const Position last = std::max(start_, end_);
    if (last.row < top || first.row > bottom)
        return;
    if (first.row < top || last.row > bottom) {
        drop();
        return;
    }

    bool leaves = false;
    auto move = [&](int row) {
        if (row < top || row > bottom)
            return row;
        const long long moved = static_cast<long long>(row) - delta;
        if (moved < top || moved > bottom) {
            leaves = true;
            return row;
        }
        return static_cast<int>(moved);
    };

    Position newStart{start_.col, move(start_.row)};
    Position newEnd{end_.col, move(end_.row)};
    std::optional<Position> newPivot = pivot_;
    if (pivot_ && (*pivot_ == start_ || *pivot_ == end_))
        newPivot->row = move(pivot_->row);
    std::optional<WordAnchor> newWord = wordSelectionAnchor_;
    if (newWord) {
        newWord->start.row = move(newWord->start.row);
        newWord->end.row = move(newWord->end.row);
    }
    std::optional<int> newRow = rowSelectionAnchor_;
    if (newRow)
        newRow = move(*newRow);
    if (leaves) {
        drop();
        return;
    }

    start_ = newStart;
    end_ = newEnd;
    pivot_ = newPivot;
    wordSelectionAnchor_ = newWord;
    rowSelectionAnchor_ = newRow;
    updateRange();
    notify();
}

void SelectionService::startSelection(int row, int col)
{
    start_ = end_ = toBuffer(row, col);
    hasSelectionRange_ = false;
    selectingRows_ = false;
    selectionMode_ = SelectionMode::character;
    wordSelectionAnchor_.reset();
    rowSelectionAnchor_.reset();
    activateAndNotify();
}

void SelectionService::startSelection()
{
    end_ = start_;
    hasSelectionRange_ = false;
    selectingRows_ = false;
    selectionMode_ = SelectionMode::character;
    wordSelectionAnchor_.reset();
    rowSelectionAnchor_.reset();
    activateAndNotify();
}

void SelectionService::setSelection(Position start, Position end)
{
    const Buffer& b = activeBuffer();
    const int maxCol = b.cols() - 1;
    const int maxRow = std::max(b.lines().count() - 1, 0);
    auto clamp = [&](Position p) { return Position{std::min(p.col, maxCol), std::min(p.row, maxRow)}; };
    start_ = clamp(start);
    end_ = clamp(end);
    updateRange();
    activateAndNotify();
}

void SelectionService::setSoftStart(int row, int col)
{
    setSoftStart(toBuffer(row, col));
}

void SelectionService::setSoftStart(Position bufferPosition)
{
    start_ = end_ = bufferPosition;
    hasSelectionRange_ = false;
    activateAndNotify();
}

Position SelectionService::snap(Position p, bool backward, Buffer& b) const
{
    const CellClass cls = classOf(charAt(*terminal_, b, p.col, p.row));
    if (cls == CellClass::none)
        return p;
    p.col = backward ? backwardScan(*terminal_, b, p.col, p.row, cls)
                     : forwardScan(*terminal_, b, p.col, p.row, cls, terminalCols());
    return p;
}

void SelectionService::shiftExtend(int row, int col)
{
    shiftExtend(toBuffer(row, col));
}

void SelectionService::shiftExtend(Position p)
{
    if (selectionMode_ == SelectionMode::row) {
        selectRowRange(rowSelectionAnchor_.value_or(start_.row), p.row);
        activateAndNotify();
        return;
    }
    if (selectionMode_ == SelectionMode::word)
        p = snap(p, p < start_, activeBuffer());
    // Shift-clicking beyond the start turns the selection around its far end.
    if ((start_ < end_ && p < start_) || (start_ > end_ && p > start_))
        start_ = end_;
    end_ = p;
    updateRange();
    activateAndNotify();
}

void SelectionService::pivotExtend(int row, int col)
{
    pivotExtend(toBuffer(row, col));
}

void SelectionService::pivotExtend(Position p)
{
    if (!pivot_)
        return;
    const Position pivot = *pivot_;
    if (selectionMode_ == SelectionMode::row) {
        selectRowRange(pivot.row, p.row);
        activateAndNotify();
        return;
    }
    if (selectionMode_ == SelectionMode::word)
        p = snap(p, p < pivot, activeBuffer());
    if (p == pivot) {
        start_ = end_ = pivot;
    } else if (p > pivot) {
        start_ = pivot;
        end_ = p;
    } else {
        start_ = p;
        end_ = pivot;
    }
    updateRange();
    activateAndNotify();
}

void SelectionService::dragExtend(int row, int col)
{
    dragExtend(toBuffer(row, col));
}

void SelectionService::dragExtend(Position p)
{
    switch (selectionMode_) {
    case SelectionMode::row:
        selectRowRange(rowSelectionAnchor_.value_or(start_.row), p.row);
        activateAndNotify();
        return;
    case SelectionMode::character: end_ = p; break;
    case SelectionMode::word:
        if (!wordSelectionAnchor_) {
            end_ = snap(p, p < start_, activeBuffer());
            break;
        }
        {
            // Dragging never shrinks the selection below the double-clicked word.
            const WordAnchor anchor = *wordSelectionAnchor_;
            if (p < anchor.start) {
                start_ = snap(p, true, activeBuffer());
                end_ = anchor.end;
            } else if (p <= anchor.end) {
                start_ = anchor.start;
                end_ = anchor.end;
            } else {
                start_ = anchor.start;
                end_ = snap(p, false, activeBuffer());
            }
        }
        break;
    }
    updateRange();
    activateAndNotify();
}

void SelectionService::selectAll()
{
    // Up to what has been written (the cursor's row or the last row holding
    // a character), not the ring's empty capacity; the end is exclusive, so
    // the last row keeps its last cell.
    Buffer& buffer = activeBuffer();
    const int count = buffer.lines().count();
    int last = std::min(buffer.yBase() + buffer.y(), count - 1);
    for (int row = count - 1; row > last; --row) {
        const BufferLine& line = buffer.lines()[row];
        bool written = false;
        for (int c = 0; c < line.dataSize() && !written; ++c)
            written = line[c].code != 0;
        if (written) {
            last = row;
            break;
        }
    }
    start_ = {0, 0};
    end_ = {terminalCols(), std::max(last, 0)};
    hasSelectionRange_ = end_ != Position{0, 0};
    activateAndNotify();
}

void SelectionService::select(int row)
{
    const int cols = terminalCols();
    start_ = {0, row};
    end_ = {cols - 1, row};
    hasSelectionRange_ = cols != 1;
    selectingRows_ = true;
    selectionMode_ = SelectionMode::row;
    wordSelectionAnchor_.reset();
    rowSelectionAnchor_ = row;
    activateAndNotify();
}

void SelectionService::selectRowRange(int a, int b)
{
    const int cols = terminalCols();
    start_ = {0, std::min(a, b)};
    end_ = {cols - 1, std::max(a, b)};
    hasSelectionRange_ = a != b || cols != 1;
}

void SelectionService::selectWordOrExpression(Position at, Buffer& in)
{
    const int cols = terminalCols();
    // The column count itself names no cell: clicks past the edge take the last one.
    const int col = std::clamp(at.col, 0, std::max(cols - 1, 0));
    const int row = std::max(at.row, 0);
    const Terminal& t = *terminal_;
    const int32_t code = codeAt(in, col, row);
    const CellClass cls = classOf(charAt(t, in, col, row));

    if (cls != CellClass::none) {
        const int left = backwardScan(t, in, col, row, cls);
        const int right = forwardScan(t, in, col, row, cls, cols);
        start_ = {left, row};
        end_ = {right, row};
        hasSelectionRange_ = left != right;
    } else if (closerOf(code) != 0) {
        start_ = end_ = {col, row};
        hasSelectionRange_ = false;
        const int limit = std::min(in.yDisp() + in.rows(), in.lines().count());
        std::vector<char32_t> expected;
        bool found = false;
        for (int r = row; r < limit && !found; ++r) {
            for (int c = r == row ? col : 0; c < cols; ++c) {
                const int32_t k = codeAt(in, c, r);
                if (const char32_t closer = closerOf(k)) {
                    expected.push_back(closer);
                } else if (!expected.empty() && static_cast<char32_t>(k) == expected.back()) {
                    expected.pop_back();
                    if (expected.empty()) {
                        end_ = {c + 1, r};
                        found = true;
                        break;
                    }
                }
            }
        }
        updateRange();
    } else if (openerOf(code) != 0) {
        start_ = end_ = {col, row};
        hasSelectionRange_ = false;
        std::vector<char32_t> expected;
        bool found = false;
        for (int r = row; r >= 0 && !found; --r) {
            for (int c = r == row ? col : cols - 1; c >= 0; --c) {
                const int32_t k = codeAt(in, c, r);
                if (const char32_t opener = openerOf(k)) {
                    expected.push_back(opener);
                } else if (!expected.empty() && static_cast<char32_t>(k) == expected.back()) {
                    expected.pop_back();
                    if (expected.empty()) {
                        start_ = {c, r};
                        end_ = {col + 1, row};
                        found = true;
                        break;
                    }
                }
            }
        }
        updateRange();
    } else {
        start_ = end_ = {col, row};
        hasSelectionRange_ = false;
    }

    selectionMode_ = SelectionMode::word;
    wordSelectionAnchor_ = WordAnchor{start_, end_};
    rowSelectionAnchor_.reset();
    selectingRows_ = false;
    activateAndNotify();
}

void SelectionService::selectNone()
{
    if (!active_)
        return;
    drop();
}

std::string SelectionService::getSelectedText() const
{
    if (start_ == end_)
        return {};
    const Position first = std::min(start_, end_);
    Position last = std::max(start_, end_);
    // A row selection holds whole rows: its last row's last cell included.
    if (selectionMode_ == SelectionMode::row)
        last.col = terminalCols();
    const int count = activeBuffer().lines().count();
    if (first.row < 0 || first.row >= count)
        return {};
    std::string text = terminal_->getText(first, {last.col, std::min(last.row, count - 1)});
    // A gap inside a row is a blank to the reader, and a NUL would cut the
    // text short wherever it is pasted.
    std::replace(text.begin(), text.end(), '\0', ' ');
    return text;
}

std::string SelectionService::debugDescription() const
{
    auto flag = [](bool v) { return v ? std::string("true") : std::string("false"); };
    return "[Selection (active=" + flag(active_) + ", start=" + start_.debugDescription() +
           " end=" + end_.debugDescription() + " hasSR=" + flag(hasSelectionRange_) +
           " pivot=" + (pivot_ ? pivot_->debugDescription() : std::string("nil")) + "]";
}

}  // namespace ravelgrid
