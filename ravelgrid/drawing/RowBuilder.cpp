#include "ravelgrid/drawing/RowBuilder.h"

#include <algorithm>

namespace ravelgrid {

void buildRow(const BufferLine& line, int columns, int bufferRow, const RowContext& context, CellAttributes& attributes,
              RowLayout& out) {
    out.clear();
    const int count = std::min(columns, line.dataSize());
    if (count <= 0)
        return;

    std::optional<std::pair<int, int>> selection;
    if (context.selectedColumns)
        selection = context.selectedColumns(bufferRow);

    const std::span<const CharData> cells = line.cellSpan();
    const Attribute* runAttribute = nullptr;
    bool runSelected = false;
    bool runHidden = false;

    for (int col = 0; col < count; ++col) {
        const CharData& cell = cells[size_t(col)];
        // The second column of a wide character is covered by it.
        if (cell.width == 0 && col > 0 && cells[size_t(col - 1)].width > 1)
            continue;
        const int width = std::clamp<int>(cell.width, 1, 2);
        const bool selected = selection && col < selection->second && col + width > selection->first;
        const bool hidden = cell.attribute.style.contains(CharacterStyle::invisible) ||
                            (cell.attribute.style.contains(CharacterStyle::blink) && !context.textBlinkVisible);

        if (!runAttribute || !(*runAttribute == cell.attribute) || runSelected != selected || runHidden != hidden) {
            RowRun run;
            run.firstCell = out.cells.size();
            run.beginColumn = col;
            run.style = attributes.attributesForCell(cell.attribute, false, context.reverseColors);
            run.selected = selected;
            if (selected) {
                run.style.background = context.selectedBackground;
                run.style.foreground = context.selectedForeground;
            }
            out.runs.push_back(run);
            runAttribute = &cell.attribute;
            runSelected = selected;
            runHidden = hidden;
        }
        RowRun& run = out.runs.back();
        out.cells.push_back(RowCell{col, width, hidden ? 0 : cell.code, hidden});
        ++run.cellCount;
        run.endColumn = col + width;
    }
}

}  // namespace ravelgrid
