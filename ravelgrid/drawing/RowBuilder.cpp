#include "ravelgrid/drawing/RowBuilder.h"

#include "ravelgrid/protocols/KittyPlaceholderCell.h"

#include <algorithm>

namespace ravelgrid {
namespace {

bool startsWithPlaceholder(const QString& text)
{
    return text.size() >= 2 && text[0].isHighSurrogate() &&
           QChar::surrogateToUcs4(text[0], text[1]) == kKittyPlaceholderCharacter;
}

// The placeholder a cell shows, if it is one. Cells with no marks take
// theirs from the placeholder on their left.
std::optional<KittyPlaceholderCell> placeholderOf(const CharData& cell, int bufferRow, int col,
                                                  const RowContext& context,
                                                  const std::optional<KittyPlaceholderCell::Previous>& previous)
{
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
              RowLayout& out, const BidiRowLayout* bidi)
{
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

    // One cell stored at `logical`, shown at `col`.
    auto visit = [&](int logical, int col, int width, const std::u32string* display) {
        const CharData& cell = cells[size_t(logical)];
        const bool selected = selection && logical < selection->second && logical + width > selection->first;
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
                run.style.foreground =
                    selectedTextColor(context.selectedBackground, context.selectedForeground, run.style.foreground,
                                      attributes.colors().effectiveForeground(context.reverseColors));
            }
            out.runs.push_back(run);
            runAttribute = &cell.attribute;
            runSelected = selected;
            runHidden = hidden;
            runLink = link;
        }
        RowRun& run = out.runs.back();
        // A shaped or mirrored form stands in for the stored character.
        const int32_t code = display && !display->empty() ? int32_t((*display)[0]) : cell.code;
        bool custom = false;
        if (!hidden && code > 0) {
            const char32_t cp = char32_t(code);
            if (context.customBlockGlyphs && code < CharData::firstClusterCode) {
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
            if (!custom && (code == int32_t(kKittyPlaceholderCharacter) || code >= CharData::firstClusterCode)) {
                if (auto placeholder = placeholderOf(cell, bufferRow, col, context, previousPlaceholder)) {
                    custom = true;
                    KittyPlaceholderRun* last = out.placeholderRuns.empty() ? nullptr : &out.placeholderRuns.back();
                    if (last && last->imageId == placeholder->imageId &&
                        last->placementId == placeholder->placementId && last->row == placeholder->placeholderRow &&
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
        RowCell drawn;
        drawn.column = col;
        drawn.width = width;
        drawn.code = (hidden || custom) ? 0 : code;
        drawn.hidden = hidden;
        drawn.custom = custom;
        drawn.logicalColumn = logical;
        if (!hidden && !custom && display && display->size() > 1)
            drawn.display = QString::fromUcs4(display->data(), qsizetype(display->size()));
        out.cells.push_back(std::move(drawn));
        ++run.cellCount;
        run.endColumn = col + width;
    };

    if (bidi) {
        int col = 0;
        for (const BidiCell& cell : bidi->visualCells) {
            const int width = std::clamp(cell.width, 1, 2);
            // Columns past the stored cells stay in the default background.
            if (cell.logicalCol >= 0 && cell.logicalCol < count && col < columns)
                visit(cell.logicalCol, col, width, &cell.display);
            col += cell.width;
        }
        return;
    }
    for (int col = 0; col < count; ++col) {
        const CharData& cell = cells[size_t(col)];
        // The second column of a wide character is covered by it.
        if (cell.width == 0 && col > 0 && cells[size_t(col - 1)].width > 1)
            continue;
        visit(col, col, std::clamp<int>(cell.width, 1, 2), nullptr);
    }
}

}  // namespace ravelgrid
