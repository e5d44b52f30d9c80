#include <algorithm>

#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

void Terminal::resize(int newCols, int newRows)
{
    newCols = std::clamp(newCols, Buffer::minCols, TerminalOptions::kMaxCols);
    newRows = std::clamp(newRows, Buffer::minRows, TerminalOptions::kMaxRows);
    if (newCols == cols && newRows == rows)
        return;
    endSynchronizedOutput();

    const int oldCols = cols;
    resizeBuffers(newCols, newRows);
    cols = newCols;
    rows = newRows;
    options_.cols = newCols;
    options_.rows = newRows;
    // Only new columns get stops; narrowing must not bring back cleared ones.
    if (newCols > oldCols) {
        normalBuffer->resetTabStops(oldCols, tabStopWidth);
        altBuffer->resetTabStops(oldCols, tabStopWidth);
    }

    updateRange(0);
    updateRange(rows - 1);
}

void Terminal::resizeBuffers(int newColumns, int newRows)
{
    // The saved cursor keeps its distance from the cursor, which the resize
    // moves along with its text.
    Buffer& normal = *normalBuffer;
    const int distance = normal.savedY - normal.y();
    normal.resize(newColumns, newRows);
    normal.savedY = std::clamp(normal.y() + distance, 0, normal.rows() - 1);
    altBuffer->resize(newColumns, newRows);
}

}  // namespace ravelgrid
