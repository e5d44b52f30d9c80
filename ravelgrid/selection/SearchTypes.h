#pragma once

#include <optional>
#include <string>

#include "ravelgrid/screen/Position.h"

namespace ravelgrid {

// The small records a search passes around. Positions are buffer positions.

struct SearchOptions {
    bool caseSensitive = false;
    bool regex = false;
    bool wholeWord = false;

    friend bool operator==(const SearchOptions&, const SearchOptions&) = default;
};

struct SearchResult {
    // The term for a plain search, the matched text for a regular expression.
    std::string term;
    int col = 0;
    int row = 0;
    // Cells from the first to one past the last, counted across rows.
    int size = 0;

    friend bool operator==(const SearchResult&, const SearchResult&) = default;
};

struct SearchSelection {
    Position start;
    Position end;  // one past the last cell

    friend bool operator==(const SearchSelection&, const SearchSelection&) = default;
};

// What carries over from one find to the next.
struct SearchState {
    std::optional<std::string> cachedSearchTerm;
    std::optional<SearchOptions> lastSearchOptions;
};

enum class SearchDirection { forward, backward };

}  // namespace ravelgrid
