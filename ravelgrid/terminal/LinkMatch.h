#pragma once

#include <string>
#include <vector>

#include "ravelgrid/screen/Position.h"

namespace ravelgrid {

// A half-open span of columns.
struct ColumnRange {
    int lowerBound = 0;
    int upperBound = 0;

    bool empty() const { return upperBound <= lowerBound; }
    friend bool operator==(const ColumnRange&, const ColumnRange&) = default;
};

// A link found under a cell: an OSC 8 hyperlink (explicit) or text that
// looks like a URL or a path (implicit).
struct LinkMatch {
    struct RowRange {
        int row = 0;
        ColumnRange range;
        friend bool operator==(const RowRange&, const RowRange&) = default;
    };

    std::string text;   // the URI, or the matched text
    int row = 0;        // buffer row of the looked-up cell
    ColumnRange range;  // the link's columns on `row`
    bool isExplicit = false;
    std::vector<RowRange> rowRanges;  // every row the link covers, ascending

    friend bool operator==(const LinkMatch&, const LinkMatch&) = default;
};

// Where a link is looked up: a buffer row (counted in the ring) or a row of
// the visible screen (the viewport).
struct LinkLookupLocation {
    enum class Kind : uint8_t { buffer, screen };
    Kind kind = Kind::buffer;
    Position position;

    static LinkLookupLocation buffer(Position p) { return {Kind::buffer, p}; }
    static LinkLookupLocation screen(Position p) { return {Kind::screen, p}; }
};

enum class LinkLookupMode : uint8_t { explicitOnly, explicitAndImplicit };

}  // namespace ravelgrid
