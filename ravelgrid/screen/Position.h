#pragma once

#include <compare>
#include <string>

namespace ravelgrid {

// A cell of a buffer: column and row (which row space depends on the caller:
// ring rows, screen rows or viewport rows).
struct Position {
    int col = 0;
    int row = 0;

    enum class CompareResult { before, after, equal };

    static CompareResult compare(const Position& a, const Position& b);

    friend bool operator==(const Position&, const Position&) = default;
    // Orders by row, then column.
    friend std::strong_ordering operator<=>(const Position& a, const Position& b)
    {
        if (auto r = a.row <=> b.row; r != 0)
            return r;
        return a.col <=> b.col;
    }

    std::string debugDescription() const;
};

}  // namespace ravelgrid
