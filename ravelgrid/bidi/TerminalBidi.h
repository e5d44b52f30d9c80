#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "ravelgrid/screen/BidiPresentationState.h"

namespace ravelgrid {

class Buffer;
class BufferLine;

// Whether a view honours the terminal's bidirectional settings or shows
// every row left to right as stored.
enum class BidiHostPolicy : uint8_t { respectTerminal, legacyLeftToRight };

// One cell of a row in screen order.
struct BidiCell {
    int logicalCol = 0;  // first logical column of the cell
    int width = 1;       // columns, at least 1
    // Drawn instead of the buffer's text: a shaped form, a mirrored bracket or
    // box-drawing character, or " " for the second cell of a Lam-Alef.
    // Empty: draw the buffer's own text.
    std::u32string display;

    friend bool operator==(const BidiCell&, const BidiCell&) = default;
};

// The visual order of one row.
struct BidiRowLayout {
    std::vector<BidiCell> visualCells;    // left to right on screen
    std::vector<int> logicalToVisualCol;  // cols entries
    std::vector<int> visualToLogicalCol;  // cols entries
    BidiDirection baseDirection = BidiDirection::leftToRight;
    uint64_t paragraphRevision = 0;

    bool rightToLeft() const { return baseDirection == BidiDirection::rightToLeft; }
    // Visual column of a logical one; the column itself outside the table.
    int visualColumn(int logicalCol) const;
    // Logical column of a visual one; the column itself outside the table.
    int logicalColumn(int visualCol) const;
};

// Bidirectional layout of terminal rows and cursive joining of Arabic, over
// the screen model and ICU only, so that every renderer can share it.
//
// A paragraph is a row that is not a wrapped continuation plus the wrapped
// rows after it. Each paragraph is handed to the Unicode bidirectional
// algorithm as one string of one UTF-16 unit per cell (so string index is
// cell index) and every row of it is read back as a line of that paragraph.
// Results are kept process-wide in two caches of 256 entries under one lock:
// by the paragraph's place and identity, and by its text alone, so that a
// paragraph moved by scrolling is not laid out again.
namespace TerminalBidi {

inline constexpr size_t cacheCapacity = 256;

// The scalars of an interned grapheme-cluster code; empty when unknown.
using ClusterScalars = std::function<std::u32string(int32_t code)>;

// Layouts of the rows of one paragraph, by absolute buffer row.
struct ParagraphResult {
    int firstRow = 0;
    std::vector<std::optional<BidiRowLayout>> rowsByOffset;  // empty: nothing to lay out
    BidiDirection baseDirection = BidiDirection::leftToRight;

    bool empty() const { return rowsByOffset.empty(); }
    // The row's layout, or nullptr when it has none.
    const BidiRowLayout* row(int bufferRow) const;
};
using Paragraph = std::shared_ptr<const ParagraphResult>;

// The paragraph containing `row`: nothing when the row is outside the
// buffer, its line is in explicit mode or its paragraph holds more than
// `maximumRows` rows (0 or less counts as 1). A paragraph without
// right-to-left text and a left-to-right base has no rows. On a buffer that
// does not reorder (the alternate screen until the program asks) rows keep
// their stored order: only rows with joined Arabic letters have a layout.
Paragraph rowLayout(int row, const Buffer& buffer, int cols, int maximumRows, const ClusterScalars& clusters = {});

// A row in explicit mode with a right-to-left fallback, mirrored whole and
// unshaped. Nothing for rows outside the buffer.
std::optional<BidiRowLayout> layoutParagraph(int row, const Buffer& buffer, int cols,
                                             const ClusterScalars& clusters = {});

// A row as shown: its explicit or implicit layout by the line's state.
struct DisplayedRow {
    int row = 0;
    Paragraph paragraph;                       // implicit rows
    std::optional<BidiRowLayout> explicitRow;  // explicit right-to-left rows
    // nullptr: the row is drawn left to right as stored.
    const BidiRowLayout* layout() const;
};
DisplayedRow displayedRow(int row, const Buffer& buffer, int cols, int maximumRows,
                          const ClusterScalars& clusters = {});

// The revision of the paragraph holding `row`, or 0 when the row is outside
// the buffer, in explicit mode, or in an over-long paragraph. Renderers
// keep it beside a drawn row and rebuild the row when it changes.
uint64_t cachedRowLayout(int row, const Buffer& buffer, int maximumRows);

// The rows clamped to the buffer and widened to whole implicit paragraphs
// that are not over-long; an empty buffer gives the arguments back.
std::pair<int, int> expandToParagraphs(int firstRow, int lastRow, const Buffer& buffer, int maximumRows);

// First and last row of the paragraph holding `row`; nothing when the row is
// outside the buffer or the paragraph is over-long.
std::optional<std::pair<int, int>> paragraphBounds(int row, const Buffer& buffer, int maximumRows);

// Whether a line holds strongly right-to-left text within its first cols columns.
bool lineNeedsBidi(const BufferLine& line, int cols, const ClusterScalars& clusters = {});
bool isStrongRightToLeft(char32_t c);

// --- the pieces, exposed for tests and the GPU renderer -------------------------------

// One cell of a paragraph in logical order.
struct Cell {
    int row = 0;
    int logicalCol = 0;
    int width = 1;
    std::u32string text;  // at least one scalar

    friend bool operator==(const Cell&, const Cell&) = default;
};

// Direction of a paragraph by its first decisive letter or mark.
BidiDirection detectDirection(std::span<const Cell> cells, BidiDirection fallback);

// What the algorithm sees of a cell: one neutral stand-in for every Arabic
// letter (joining is done by shapeCells), so that one unit is one cell.
char16_t typesetterUnit(std::u32string_view text);

// Completes a visual order that left cells out (indices are cell indices
// 0 ..< count): each missing cell takes the direction of its nearest placed
// neighbour (left first; none: the base) and goes beside it. `directions`
// holds the known run direction per cell (true = right to left), nothing for
// unplaced cells. Nothing when the order still misses a cell.
std::optional<std::vector<int>> completeVisualOrder(std::vector<int> placed,
                                                    std::vector<std::optional<bool>>& directions, int count,
                                                    bool baseRightToLeft);

// The mirrored glyph of a scalar shown in a right-to-left run, if any
// (Bidi_Mirroring_Glyph), and the 38-entry box-drawing table.
std::optional<char32_t> mirroredScalar(char32_t c);
std::optional<char32_t> mirroredBoxDrawing(char32_t c);

// --- Arabic joining -------------------------------------------------------------------

enum class Joining : uint8_t { none, transparent, causing, right, left, dual };

// Joining type by the table; nothing for a scalar absent from it.
std::optional<Joining> tableJoining(char32_t c);
// One display text per cell (empty: none), same order.
std::vector<std::u32string> shapeCells(std::span<const Cell> cells);
bool precedingJoins(std::span<const Cell> cells, size_t index, Joining joining);
std::u32string composeShaped(char32_t form, std::span<const Cell> cells);

struct PresentationForms {
    char32_t isolated = 0;
    char32_t final = 0;
    char32_t initial = 0;  // 0: none
    char32_t medial = 0;   // 0: none
};
// The contextual forms of a letter, for the 76 letters that have them.
std::optional<PresentationForms> presentationForms(char32_t letter);
size_t presentationFormLetterCount();

// --- caches ---------------------------------------------------------------------------

struct CacheStatistics {
    size_t paragraphEntries = 0;
    size_t contentEntries = 0;
    uint64_t layoutPasses = 0;  // paragraphs handed to the bidi algorithm
};
CacheStatistics cacheStatistics();
void clearCaches();

}  // namespace TerminalBidi
}  // namespace ravelgrid
