// The kitty delete command: every delete letter, over cells and records.
#include "ravelgrid/protocols/TerminalKittyGraphics.h"
#include "ravelgrid/terminal/Terminal.h"

#include <algorithm>
#include <cctype>

namespace ravelgrid {

namespace {

// A placement's area: columns col...col+cols-1, lines row...row+rows-1, a
// size of 0 counting as 1.
struct Area {
    int64_t col;
    int64_t cols;
    int64_t row;
    int64_t rows;

    bool coversColumn(int64_t c) const { return c >= col && c < col + cols; }
    bool coversLine(int64_t line) const { return line >= row && line < row + rows; }
    bool overlaps(int64_t firstCol, int64_t lastCol, int64_t firstLine, int64_t lastLine) const
    {
        return col <= lastCol && col + cols - 1 >= firstCol && row <= lastLine && row + rows - 1 >= firstLine;
    }
};

Area areaOf(const KittyPlacementImage& cell, int lineIndex)
{
    return {cell.kittyCol, std::max(cell.kittyCols, 1), int64_t{lineIndex} - cell.kittyRowOffset,
            std::max(cell.kittyRows, 1)};
}

Area areaOf(const KittyPlacementRecord& record)
{
    return {record.col, std::max(record.cols, 1), record.row, std::max(record.rows, 1)};
}

}  // namespace

void TerminalKittyGraphics::kittyDelete(const KittyGraphicsControl& control)
{
    const char letter = control.deleteMode.value_or('a');
    const unsigned char byte = static_cast<unsigned char>(letter);
    runDelete(static_cast<char>(std::tolower(byte)), control);
}

void TerminalKittyGraphics::runDelete(char op, const KittyGraphicsControl& control)
{
    syncRecordRows();
    const unsigned char given = static_cast<unsigned char>(control.deleteMode.value_or('a'));
    const bool freeImages = given == std::toupper(given);
    Buffer& active = *terminal_.buffer;
    const int64_t base = active.yBase();

    KittyPlacementKeySet keys;
    auto both = [&](const CellMatch& cells, const RecordMatch& records) {
        keys = scanAllCells(*terminal_.normalBuffer, cells);
        const KittyPlacementKeySet alt = scanAllCells(*terminal_.altBuffer, cells);
        keys.insert(alt.begin(), alt.end());
        const KittyPlacementKeySet taken = takeRecords(records);
        keys.insert(taken.begin(), taken.end());
    };
    auto activeOnly = [&](const CellMatch& cells, const RecordMatch& records) {
        keys = scanAllCells(active, cells);
        const KittyPlacementKeySet taken = takeRecords(records);
        keys.insert(taken.begin(), taken.end());
    };
    auto byId = [&](uint32_t id, std::optional<uint32_t> placement) {
        both([=](const KittyPlacementImage& cell,
                 int) { return cell.kittyImageId == id && (!placement || cell.kittyPlacementId == placement); },
             [=](const KittyPlacementRecord& record) {
                 return record.imageId == id && (!placement || record.placementId == *placement);
             });
    };
    // Cells and records covering a column and/or a line, with an optional z-index.
    auto byPosition = [&](std::optional<int64_t> col, std::optional<int64_t> line, std::optional<int64_t> z) {
        activeOnly(
            [=](const KittyPlacementImage& cell, int index) {
                const Area area = areaOf(cell, index);
                return (!col || area.coversColumn(*col)) && (!line || area.coversLine(*line)) &&
                       (!z || cell.kittyZIndex == *z);
            },
            [=](const KittyPlacementRecord& record) {
                const Area area = areaOf(record);
                return (!col || area.coversColumn(*col)) && (!line || area.coversLine(*line)) &&
                       (!z || record.zIndex == *z);
            });
    };
    auto fail = [&](std::string_view text) { graphics_.kittySendReply(control, text); };

    switch (op) {
    case 'a': {
        const int64_t firstLine = base;
        const int64_t lastLine = base + terminal_.rows - 1;
        const int64_t lastCol = terminal_.cols - 1;
        keys = scanCells(active, static_cast<int>(firstLine), static_cast<int>(lastLine),
                         [](const KittyPlacementImage&, int) { return true; });
        const KittyPlacementKeySet taken = takeRecords([=](const KittyPlacementRecord& record) {
            return areaOf(record).overlaps(0, lastCol, firstLine, lastLine);
        });
        keys.insert(taken.begin(), taken.end());
        break;
    }
    case 'i':
        if (!control.imageId)
            return fail(kKittyMissingImageId);
        byId(*control.imageId, control.placementId);
        break;
    case 'n': {
        if (!control.imageNumber)
            return fail(kKittyMissingImageNumber);
        const auto& numbers = graphics_.state().imageNumbers;
        if (auto it = numbers.find(*control.imageNumber); it != numbers.end())
            byId(it->second, control.placementId);
        break;
    }
    case 'c': byPosition(active.x(), base + active.y(), std::nullopt); break;
    case 'p':
    case 'q':
        if (control.cropX <= 0 || control.cropY <= 0)
            return fail(kKittyMissingCellPosition);
        byPosition(control.cropX - 1, base + control.cropY - 1,
                   op == 'q' ? std::optional<int64_t>(control.zIndex) : std::nullopt);
        break;
    case 'x':
        if (control.cropX <= 0)
            return fail(kKittyMissingColumn);
        byPosition(control.cropX - 1, std::nullopt, std::nullopt);
        break;
    case 'y':
        if (control.cropY <= 0)
            return fail(kKittyMissingRow);
        byPosition(std::nullopt, base + control.cropY - 1, std::nullopt);
        break;
    case 'z': {
        const int64_t z = control.zIndex;
        both([=](const KittyPlacementImage& cell, int) { return cell.kittyZIndex == z; },
             [=](const KittyPlacementRecord& record) { return record.zIndex == z; });
        break;
    }
    case 'r': {
        if (control.cropX <= 0 || control.cropY <= 0)
            return fail(kKittyMissingIdRange);
        const int64_t low = std::min(control.cropX, control.cropY);
        const int64_t high = std::max(control.cropX, control.cropY);
        both([=](const KittyPlacementImage& cell,
                 int) { return cell.kittyImageId && *cell.kittyImageId >= low && *cell.kittyImageId <= high; },
             [=](const KittyPlacementRecord& record) { return record.imageId >= low && record.imageId <= high; });
        break;
    }
    default: return fail(kKittyUnsupportedDelete);
    }
    // A placement whose cells reach past the scanned lines goes whole.
    removePlacementCells(keys);
    if (freeImages)
        kittyPurgeUnreferencedImages();
}

}  // namespace ravelgrid
