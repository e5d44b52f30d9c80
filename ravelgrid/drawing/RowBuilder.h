#pragma once

#include "ravelgrid/bidi/TerminalBidi.h"
#include "ravelgrid/drawing/CellAttributes.h"
#include "ravelgrid/drawing/CustomGlyphs.h"
#include "ravelgrid/screen/BufferLine.h"

#include <QString>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace ravelgrid {

// What the row builder needs beyond the line itself.
struct RowContext {
    // Text of an interned grapheme cluster code (empty when unknown).
    std::function<QString(int32_t code)> clusterText;
    // Selected columns [first, end) of a buffer row, if any.
    std::function<std::optional<std::pair<int, int>>(int bufferRow)> selectedColumns;
    QColor selectedBackground;
    // Used where it stands out from the selection background; invalid:
    // each cell keeps its own colour where that does.
    QColor selectedForeground;
    bool textBlinkVisible = true;
    bool reverseColors = false;
    // Block elements, box drawing and Powerline separators as shapes.
    bool customBlockGlyphs = true;
    // Rows laid out by the bidirectional layout (off: every row left to
    // right as stored), paragraphs of at most this many rows.
    bool bidi = false;
    int maximumBidiParagraphRows = 500;
    // Scalars of interned clusters, for the layout, which knows no Qt.
    TerminalBidi::ClusterScalars clusterScalars;
    // Columns [first, end) of a buffer row under the hovered link, if any.
    std::function<std::optional<std::pair<int, int>>(int bufferRow)> linkColumns;
    // Every cell carrying an OSC 8 link takes the link look.
    bool underlineAllLinks = false;
};

// One drawn cell of a row.
struct RowCell {
    int column = 0;
    int width = 1;          // columns covered, 1 or 2
    int32_t code = 0;       // 0 draws nothing; cluster codes come with text
    bool hidden = false;    // keeps its background, shows no glyph
    bool custom = false;    // painted as a shape or a picture, not as text
    int logicalColumn = 0;  // where the cell is stored; `column` is where it shows
    // Text drawn instead of the code when it is more than one scalar (a
    // shaped letter with its marks); laid out with font fallback.
    QString display{};
};

// Neighbouring kitty placeholder cells showing one image row.
struct KittyPlaceholderRun {
    int column = 0;
    int width = 0;  // cells
    uint32_t imageId = 0;
    uint32_t placementId = 0;
    int row = 0;  // row inside the image
    int col = 0;  // column inside the image of the first cell
};

// A stretch of cells with one look.
struct RowRun {
    size_t firstCell = 0;  // index into RowLayout::cells
    size_t cellCount = 0;
    int beginColumn = 0;
    int endColumn = 0;  // exclusive
    CellStyle style;    // selection colours already applied
    bool selected = false;
    bool link = false;  // drawn with the link look
};

// A row turned into runs. Built into reused storage, one row at a time.
struct RowLayout {
    std::vector<RowCell> cells;
    std::vector<RowRun> runs;
    std::vector<BlockElementRenderItem> blockItems;
    std::vector<BoxDrawingRenderItem> boxItems;
    std::vector<PowerlineRenderItem> powerlineItems;
    std::vector<KittyPlaceholderRun> placeholderRuns;
    void clear()
    {
        cells.clear();
        runs.clear();
        blockItems.clear();
        boxItems.clear();
        powerlineItems.clear();
        placeholderRuns.clear();
    }
};

// Cells are visited from column 0 upward, or in the order of a bidi row
// layout: then each cell shows at its visual column with its display text (a
// shaped, mirrored or ligature form), and selection follows logical columns.
// A run ends where the attribute, the
// selection, the link look or the hidden state changes; the cell after a wide character
// (width 0) belongs to that character and is skipped. Concealed (SGR 8)
// and hidden blinking cells keep their place and background but draw no glyph.
// Beside the runs it collects the cells painted as shapes (while
// customBlockGlyphs is on) and the kitty placeholder cells; those keep their
// background in the runs but draw no text.
void buildRow(const BufferLine& line, int columns, int bufferRow, const RowContext& context, CellAttributes& attributes,
              RowLayout& out, const BidiRowLayout* bidi = nullptr);

}  // namespace ravelgrid
