#include "ravelgrid/drawing/RowBuilder.h"

#include "ravelgrid/protocols/KittyPlaceholderCell.h"

#include <algorithm>

namespace ravelgrid {
namespace {

bool startsWithPlaceholder(const QString& text) {
    return text.size() >= 2 && text[0].isHighSurrogate() &&
           QChar::surrogateToUcs4(text[0], text[1]) == kKittyPlaceholderCharacter;
}

// The placeholder a cell shows, if it is one. Cells with no marks take
// theirs from the placeholder on their left.
std::optional<KittyPlaceholderCell> placeholderOf(const CharData& cell, int bufferRow, int col,
                                                  const RowContext& context,
                                                  const std::optional<KittyPlaceholderCell::Previous>& previous) {
    std::string text;
    if (cell.code == int32_t(kKittyPlaceholderCharacter)) {
        text = "\xF4\x8E\xBB\xAE";
    } else if (cell.code >= CharData::firstClusterCode && context.clusterText) {
        const QString cluster = context.clusterText(cell.code);
        if (!startsWithPlaceholder(cluster))
            return std::nullopt;
        text = cluster.toStdString();
    } else {
        return std::nullopt;
    }
    return KittyPlaceholderCell::parse(text, cell.attribute.fg, cell.attribute.underlineColor, bufferRow, col,
                                       previous ? &*previous : nullptr);
}

}  // namespace

void buildRow(const BufferLine& line, int columns, int bufferRow, const RowContext& context, CellAttributes& attributes,
              RowLayout& out) {
    out.clear();
    const int count = std::min(columns, line.dataSize());
    if (count <= 0)
        return;

    std::optional<std::pair<int, int>> selection;
    if (context.selectedColumns)
        selection = context.selectedColumns(bufferRow);
    std::optional<std::pair<int, int>> linkColumns;
    if (context.linkColumns)
        linkColumns = context.linkColumns(bufferRow);

    const std::span<const CharData> cells = line.cellSpan();
    const Attribute* runAttribute = nullptr;
    bool runSelected = false;
    bool runHidden = false;
    bool runLink = false;
    std::optional<KittyPlaceholderCell::Previous> previousPlaceholder;

    for (int col = 0; col < count; ++col) {
        const CharData& cell = cells[size_t(col)];
        // The second column of a wide character is covered by it.
        if (cell.width == 0 && col > 0 && cells[size_t(col - 1)].width > 1)
            continue;
        const int width = std::clamp<int>(cell.width, 1, 2);
        const bool selected = selection && col < selection->second && col + width > selection->first;
        const bool hidden = cell.attribute.style.contains(CharacterStyle::invisible) ||
                            (cell.attribute.style.contains(CharacterStyle::blink) && !context.textBlinkVisible);

        const bool link = (linkColumns && col < linkColumns->second && col + width > linkColumns->first) ||
                          (context.underlineAllLinks && cell.payload.code != 0);

        if (!runAttribute || !(*runAttribute == cell.attribute) || runSelected != selected || runHidden != hidden ||
            runLink != link) {
            RowRun run;
            run.firstCell = out.cells.size();
            run.beginColumn = col;
            run.style = attributes.attributesForCell(cell.attribute, link, context.reverseColors);
            run.selected = selected;
            run.link = link;
            if (selected) {
                run.style.background = context.selectedBackground;
                run.style.foreground = context.selectedForeground;
            }
            out.runs.push_back(run);
            runAttribute = &cell.attribute;
            runSelected = selected;
            runHidden = hidden;
            runLink = link;
        }
        RowRun& run = out.runs.back();
        bool custom = false;
        if (!hidden && cell.code > 0) {
            const char32_t cp = char32_t(cell.code);
            if (context.customBlockGlyphs && cell.code < CharData::firstClusterCode) {
                if (isPowerlineShape(cp)) {
                    out.powerlineItems.push_back({col, width, cp, run.style.foreground});
                    custom = true;
                } else if (isBoxDrawing(cp)) {
                    out.boxItems.push_back({col, width, cp, run.style.foreground});
                    custom = true;
                } else if (auto rects = blockElementRects(cp); !rects.empty()) {
                    out.blockItems.push_back({col, width, cp, rects, run.style.foreground});
                    custom = true;
                }
            }
            if (!custom && (cell.code == int32_t(kKittyPlaceholderCharacter) || cell.code >= CharData::firstClusterCode)) {
                if (auto placeholder = placeholderOf(cell, bufferRow, col, context, previousPlaceholder)) {
                    custom = true;
                    KittyPlaceholderRun* last = out.placeholderRuns.empty() ? nullptr : &out.placeholderRuns.back();
                    if (last && last->imageId == placeholder->imageId && last->placementId == placeholder->placementId &&
                        last->row == placeholder->placeholderRow &&
                        last->col + last->width == placeholder->placeholderCol && last->column + last->width == col) {
                        last->width += 1;
                    } else {
                        out.placeholderRuns.push_back({col, 1, placeholder->imageId, placeholder->placementId,
                                                       placeholder->placeholderRow, placeholder->placeholderCol});
                    }
                    previousPlaceholder =
                        KittyPlaceholderCell::Previous{*placeholder, cell.attribute.fg, cell.attribute.underlineColor};
                }
            }
        }
        out.cells.push_back(RowCell{col, width, (hidden || custom) ? 0 : cell.code, hidden, custom});
        ++run.cellCount;
        run.endColumn = col + width;
    }
}

}  // namespace ravelgrid
