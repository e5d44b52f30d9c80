#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ravelgrid/screen/BufferLine.h"

namespace ravelgrid {

class Terminal;

// The searchable text of one logical line: a row and the rows wrapped onto
// it, joined. Every cell that shows a character gives one unit (a wide
// character or an interned cluster is one unit however many UTF-16 code
// units it takes); the right half of a wide character gives none and an
// empty cell gives a space.
struct SearchLine {
    std::u16string text;
    // UTF-16 index where each unit begins, then text.size(); left empty while
    // every unit is a single code unit, which is the usual case.
    std::vector<int32_t> unitStarts;
    int unitCount = 0;

    // One entry per row of the line, then one for the row after it when
    // there is one: where the row's text begins (in units) and what the row
    // was when the line was built, to notice when the buffer moved on.
    struct Row {
        int offset = 0;
        std::weak_ptr<BufferLine> line;
        uint64_t generation = 0;
        uint64_t recycleGeneration = 0;
    };
    std::vector<Row> rows;
    bool hasNextRow = false;
    uint64_t cacheGeneration = 0;  // 0: never built
    uint64_t checkedEpoch = 0;

    int rowCount() const { return static_cast<int>(rows.size()) - (hasNextRow ? 1 : 0); }
    // The first unit of a row of the line.
    int lineOffset(int rowIndex) const { return rows[static_cast<size_t>(rowIndex)].offset; }
    int rowUnits(int rowIndex) const;
    // The last row whose text begins at or before `unit`.
    int rowIndexOfUnit(int unit) const;
    int utf16Index(int unit) const;
    // The unit that begins at a UTF-16 index, or -1 inside a unit.
    int unitAt(int index) const;
    // The UTF-16 index of the first unit that begins after `index`.
    int nextUnitStart(int index) const;
    // The text of units [start, end) as UTF-8.
    std::string utf8(int startUnit, int endUnit) const;
};

// The joined lines of the active buffer, built lazily, one logical line at a
// time, and kept so that repeated finds do not rebuild the scrollback's text.
// Besides the age and line-count rules, every entry is checked against the
// rows it came from once per operation, so output that arrives without an
// invalidation never yields matches at stale places.
class SearchLineCache {
public:
    static constexpr double maxAgeSeconds = 15.0;

    explicit SearchLineCache(Terminal& terminal);

    Terminal& terminal() const { return *terminal_; }

    // Replaces the cache by empty entries when it is missing, old, or sized
    // for another line count; always records the access time.
    void refreshIfStale();
    // Entries are checked against the buffer again from the next use on.
    void beginOperation() { ++epoch_; }
    void invalidate();

    bool hasCache() const { return hasCache_; }
    double lastAccessTimestamp() const { return lastAccessTimestamp_; }

    // The row where the logical line holding `row` begins. The ring's first
    // row begins a line even when marked wrapped: its head has left the ring.
    int lineStart(int row);
    // The logical line beginning at `startRow`, built when missing or out of
    // date; nullptr outside the ring. Valid until the next call.
    const SearchLine* line(int startRow);
    // The logical line beginning at `row`. With `trim` the last row ends at
    // its last non-empty cell.
    SearchLine buildLines(int row, bool trim) const;
    // Buffer rows read to build lines, cached or not, so far.
    uint64_t rowsRead() const { return rowsRead_; }

private:
    // Builds into `out`, reusing its storage.
    void buildInto(SearchLine& out, int row, bool trim) const;
    bool fresh(SearchLine& entry, int row) const;

    Terminal* terminal_;
    // One slot per buffer line. Dropping the cache only advances the
    // generation: the slots keep their storage for the next build, so the
    // first find after new output does not pay for a million allocations.
    std::vector<SearchLine> linesCache_;
    bool hasCache_ = false;
    uint64_t generation_ = 1;
    // Line start of each row whose line is cached; -1 when unknown.
    std::vector<int> startOf_;
    SearchLine scratch_;
    double lastAccessTimestamp_ = 0;
    uint64_t epoch_ = 1;
    mutable uint64_t rowsRead_ = 0;
};

}  // namespace ravelgrid
