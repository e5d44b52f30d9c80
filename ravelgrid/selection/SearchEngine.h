#pragma once

#include <optional>
#include <string>

#include "ravelgrid/screen/Position.h"
#include "ravelgrid/selection/SearchLineCache.h"
#include "ravelgrid/selection/SearchPattern.h"
#include "ravelgrid/selection/SearchTypes.h"

namespace ravelgrid {

class Terminal;

// Finds a prepared pattern in the terminal's active buffer, one logical line
// at a time, and maps matches back to cells. Each logical line is searched at
// most once per scan, however many rows it wraps over.
class SearchEngine {
public:
    SearchEngine(Terminal& terminal, SearchLineCache& lineCache);

    // Searches the logical line holding `position`: forward from it, or
    // backward for a match that ends before it. A column past the row's end
    // continues on the rows wrapped below it.
    std::optional<SearchResult> matchInLine(SearchPattern& pattern, Position position, SearchDirection direction);
    // The next match after the last selection (its end when the term is
    // unchanged, its start when it changed), wrapping around to the top.
    std::optional<SearchResult> scanForward(SearchPattern& pattern, const std::optional<std::string>& cachedTerm,
                                            const std::optional<SearchSelection>& lastSelection);
    // The previous match before the last selection, wrapping around to the
    // bottom.
    std::optional<SearchResult> scanBackward(SearchPattern& pattern, const std::optional<std::string>& cachedTerm,
                                             const std::optional<SearchSelection>& lastSelection);
    // The first match at or after `position`, without wrapping.
    std::optional<SearchResult> firstMatchFrom(SearchPattern& pattern, Position position);

    // Units of the line before column `col` of its row `rowIndex`.
    int characterOffset(const SearchLine& line, int startRow, int rowIndex, int col) const;
    // The column of the `offset`-th unit of a row.
    int columnForOffset(int row, int offset) const;

private:
    // Rows first..last from column 0, each logical line once. A wrapped row
    // is skipped when the row above it was already searched in this scan.
    std::optional<SearchResult> forwardRows(SearchPattern& pattern, int first, int last, bool rowAboveSearched);
    std::optional<SearchResult> lastMatchOfLine(SearchPattern& pattern, int startRow);
    SearchResult toResult(const SearchPattern& pattern, const SearchLine& line, int startRow,
                          const SearchPattern::Match& match) const;
    int cols() const;
    int lineCount() const;

    Terminal* terminal_;
    SearchLineCache* lineCache_;
};

}  // namespace ravelgrid
