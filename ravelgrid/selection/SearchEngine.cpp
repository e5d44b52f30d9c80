#include "ravelgrid/selection/SearchEngine.h"

#include <algorithm>
#include <climits>

#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

namespace {

// The right half of a wide character stands for no unit of text.
bool isSpacer(const BufferLine& line, int col)
{
    return col > 0 && line[col].code == 0 && line[col - 1].width == 2;
}

}  // namespace

SearchEngine::SearchEngine(Terminal& terminal, SearchLineCache& lineCache)
    : terminal_(&terminal), lineCache_(&lineCache)
{}

int SearchEngine::cols() const
{
    return std::max(terminal_->cols, 1);
}

int SearchEngine::lineCount() const
{
    return terminal_->activeBuffer().lines().count();
}

int SearchEngine::characterOffset(const SearchLine& line, int startRow, int rowIndex, int col) const
{
    if (rowIndex < 0 || rowIndex >= line.rowCount())
        return line.unitCount;
    int counted = 0;
    if (const BufferLine* row = terminal_->activeBuffer().lines().peek(startRow + rowIndex)) {
        const int n = std::min(col, row->dataSize());
        for (int c = 0; c < n; ++c)
            if (!isSpacer(*row, c))
                ++counted;
    }
    const int offset = line.lineOffset(rowIndex) + std::min(counted, line.rowUnits(rowIndex));
    return std::min(offset, line.unitCount);
}

int SearchEngine::columnForOffset(int row, int offset) const
{
    const BufferLine* line = terminal_->activeBuffer().lines().peek(row);
    if (line == nullptr)
        return offset;
    int units = 0;
    int c = 0;
    for (; c < line->dataSize(); ++c) {
        if (isSpacer(*line, c))
            continue;
        if (units == offset)
            return c;
        ++units;
    }
    return c + (offset - units);
}

SearchResult SearchEngine::toResult(const SearchPattern& pattern, const SearchLine& line, int startRow,
                                    const SearchPattern::Match& match) const
{
    const int k = line.rowIndexOfUnit(match.start);
    const int startCol = columnForOffset(startRow + k, match.start - line.lineOffset(k));
    // The end is one past the last matched cell, found from that cell: the
    // unit after the match may stand on the next row (a wide character that
    // wrapped leaves a blank behind that is not text).
    int kEnd = k;
    int endCol = startCol;
    if (match.end > match.start) {
        const int last = match.end - 1;
        kEnd = line.rowIndexOfUnit(last);
        const int lastCol = columnForOffset(startRow + kEnd, last - line.lineOffset(kEnd));
        const BufferLine* row = terminal_->activeBuffer().lines().peek(startRow + kEnd);
        const int width = row != nullptr && lastCol < row->dataSize() && row->widthAt(lastCol) == 2 ? 2 : 1;
        endCol = lastCol + width;
    }
    const long long size = static_cast<long long>(endCol) - startCol + static_cast<long long>(cols()) * (kEnd - k);

    SearchResult result;
    result.term = pattern.options().regex ? line.utf8(match.start, match.end) : pattern.term();
    result.col = startCol;
    result.row = startRow + k;
    result.size = static_cast<int>(std::clamp<long long>(size, 0, INT_MAX));
    return result;
}

std::optional<SearchResult> SearchEngine::matchInLine(SearchPattern& pattern, Position position,
                                                      SearchDirection direction)
{
    if (!pattern.usable() || position.row < 0 || position.row >= lineCount())
        return std::nullopt;
    const int start = lineCache_->lineStart(position.row);
    const SearchLine* line = lineCache_->line(start);
    if (line == nullptr)
        return std::nullopt;
    const long long col = std::max(position.col, 0);
    const long long rowIndex = static_cast<long long>(position.row - start) + col / cols();
    const int offset = rowIndex >= line->rowCount()
                           ? line->unitCount
                           : characterOffset(*line, start, static_cast<int>(rowIndex), static_cast<int>(col % cols()));
    const auto match = direction == SearchDirection::forward ? pattern.findForward(*line, offset)
                                                             : pattern.findBackward(*line, offset);
    if (!match)
        return std::nullopt;
    return toResult(pattern, *line, start, *match);
}

std::optional<SearchResult> SearchEngine::forwardRows(SearchPattern& pattern, int first, int last,
                                                      bool rowAboveSearched)
{
    auto& ring = terminal_->activeBuffer().lines();
    for (int row = std::max(first, 0); row <= last && pattern.usable(); ++row) {
        // Its logical line was searched from an earlier place already.
        const bool continuation = row > 0 && ring.peek(row) != nullptr && ring.peek(row)->isWrapped();
        if (continuation && (row > first || rowAboveSearched))
            continue;
        if (auto r = matchInLine(pattern, {0, row}, SearchDirection::forward))
            return r;
    }
    return std::nullopt;
}

std::optional<SearchResult> SearchEngine::lastMatchOfLine(SearchPattern& pattern, int startRow)
{
    const SearchLine* line = lineCache_->line(startRow);
    if (line == nullptr)
        return std::nullopt;
    const auto match = pattern.findBackward(*line, line->unitCount);
    if (!match)
        return std::nullopt;
    return toResult(pattern, *line, startRow, *match);
}

std::optional<SearchResult> SearchEngine::firstMatchFrom(SearchPattern& pattern, Position position)
{
    if (auto r = matchInLine(pattern, position, SearchDirection::forward))
        return r;
    const int count = lineCount();
    const bool searched = position.row >= 0 && position.row < count;
    return forwardRows(pattern, position.row + 1, count - 1, searched);
}

std::optional<SearchResult> SearchEngine::scanForward(SearchPattern& pattern,
                                                      const std::optional<std::string>& cachedTerm,
                                                      const std::optional<SearchSelection>& lastSelection)
{
    if (pattern.term().empty())
        return std::nullopt;
    lineCache_->refreshIfStale();
    const int count = lineCount();
    if (count <= 0)
        return std::nullopt;

    Position from{0, 0};
    if (lastSelection)
        from = cachedTerm == pattern.term() ? lastSelection->end : lastSelection->start;

    if (auto r = firstMatchFrom(pattern, from))
        return r;
    // Wrap around to the top.
    if (auto r = forwardRows(pattern, 0, std::min(from.row - 1, count - 1), false))
        return r;
    // Matches on the start row before the start, or the current one when it
    // is the only one.
    if (lastSelection)
        return matchInLine(pattern, {0, from.row}, SearchDirection::forward);
    return std::nullopt;
}

std::optional<SearchResult> SearchEngine::scanBackward(SearchPattern& pattern,
                                                       const std::optional<std::string>& cachedTerm,
                                                       const std::optional<SearchSelection>& lastSelection)
{
    if (pattern.term().empty())
        return std::nullopt;
    lineCache_->refreshIfStale();
    const int count = lineCount();
    if (count <= 0)
        return std::nullopt;

    const Position from = lastSelection ? lastSelection->start : Position{terminal_->cols, count - 1};
    bool refined = false;
    if (lastSelection && cachedTerm != pattern.term()) {
        // A refined term may still match at or after the current place.
        refined = true;
        if (auto r = matchInLine(pattern, from, SearchDirection::forward))
            return r;
    }
    if (auto r = matchInLine(pattern, from, SearchDirection::backward))
        return r;

    const int row = refined ? lastSelection->end.row : from.row;
    const int firstLine = row >= count ? count : row < 0 ? 0 : lineCache_->lineStart(row);
    // Whole lines above, bottom to top.
    for (int r = firstLine - 1; r >= 0 && pattern.usable();) {
        const int start = lineCache_->lineStart(r);
        if (auto m = lastMatchOfLine(pattern, start))
            return m;
        r = start - 1;
    }
    // Wrap around: whole lines from the bottom up to the starting one.
    for (int r = count - 1; r >= firstLine && pattern.usable();) {
        const int start = lineCache_->lineStart(r);
        if (auto m = lastMatchOfLine(pattern, start))
            return m;
        r = start - 1;
    }
    return std::nullopt;
}

}  // namespace ravelgrid
