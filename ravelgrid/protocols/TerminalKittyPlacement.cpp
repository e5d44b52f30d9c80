// Placing kitty images: virtual placements, parents, cropping, image cells
// and the cursor policy.
#include "ravelgrid/protocols/KittyPng.h"
#include "ravelgrid/protocols/TerminalKittyGraphics.h"
#include "ravelgrid/terminal/Terminal.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace ravelgrid {

namespace {

int clampToInt(int64_t value)
{
    return static_cast<int>(std::clamp<int64_t>(value, INT_MIN, INT_MAX));
}

int cellCount(int64_t value)
{
    return static_cast<int>(std::clamp<int64_t>(value, 0, kKittyMaxCells));
}

int cellOffset(int64_t value)
{
    return static_cast<int>(std::clamp<int64_t>(value, -kKittyMaxCells, kKittyMaxCells));
}

struct CropResult {
    std::optional<KittyGraphicsPayload> picture;
    std::string_view error;
};

CropResult crop(const KittyGraphicsPayload& payload, const KittyGraphicsControl& control)
{
    if (control.cropX == 0 && control.cropY == 0 && control.cropWidth == 0 && control.cropHeight == 0) {
        return {payload, {}};
    }
    std::shared_ptr<const std::vector<uint8_t>> source = payload.sharedBytes();
    int64_t width = payload.width();
    int64_t height = payload.height();
    if (payload.isPng()) {
        std::optional<KittyBitmap> bitmap = kittyDecodePng(payload.bytes());
        if (!bitmap)
            return {std::nullopt, kKittyCannotCropPng};
        width = bitmap->width;
        height = bitmap->height;
        source = std::make_shared<const std::vector<uint8_t>>(std::move(bitmap->bytes));
    }
    const int64_t x0 = std::clamp<int64_t>(control.cropX, 0, width);
    const int64_t y0 = std::clamp<int64_t>(control.cropY, 0, height);
    const int64_t availableWidth = width - x0;
    const int64_t availableHeight = height - y0;
    int64_t cropWidth =
        control.cropWidth > 0 && control.cropWidth < availableWidth ? control.cropWidth : availableWidth;
    int64_t cropHeight =
        control.cropHeight > 0 && control.cropHeight < availableHeight ? control.cropHeight : availableHeight;
    cropWidth = std::max<int64_t>(cropWidth, 0);
    cropHeight = std::max<int64_t>(cropHeight, 0);
    if (control.cropX <= 0 && control.cropY <= 0 && cropWidth == width && cropHeight == height)
        return {payload, {}};
    if (cropWidth == 0 || cropHeight == 0)
        return {std::nullopt, kKittyBadCrop};

    // Sides are at most 10,000 pixels, so these products fit easily.
    std::vector<uint8_t> out(static_cast<size_t>(cropWidth * cropHeight * 4));
    const size_t rowBytes = static_cast<size_t>(cropWidth * 4);
    for (int64_t row = 0; row < cropHeight; ++row) {
        const size_t from = static_cast<size_t>(((y0 + row) * width + x0) * 4);
        std::copy_n(source->data() + from, rowBytes, out.data() + static_cast<size_t>(row) * rowBytes);
    }
    return {KittyGraphicsPayload::rgba(std::move(out), cropWidth, cropHeight), {}};
}

}  // namespace

bool TerminalKittyGraphics::kittyPlaceImage(const KittyGraphicsPayload& payload, const KittyGraphicsControl& control,
                                            std::optional<uint32_t> imageId, std::optional<uint32_t> imageNumber)
{
    if (control.unicodePlaceholder == 1)
        return placeVirtual(control, imageId);
    return placeNormal(payload, control, imageId, imageNumber);
}

std::optional<std::pair<int, int>> TerminalKittyGraphics::cellSize() const
{
    TerminalDelegate* delegate = terminal_.delegate();
    if (!delegate)
        return std::nullopt;
    auto size = delegate->cellSizeInPixels(terminal_);
    if (!size || size->first <= 0 || size->second <= 0)
        return std::nullopt;
    return size;
}

std::pair<int, int> TerminalKittyGraphics::clampPixelOffsets(int64_t x, int64_t y) const
{
    int64_t px = std::clamp<int64_t>(x, 0, kKittyMaxPixelOffset);
    int64_t py = std::clamp<int64_t>(y, 0, kKittyMaxPixelOffset);
    if (px > 0 || py > 0) {
        if (auto size = cellSize()) {
            px = std::min<int64_t>(px, std::max(size->first - 1, 0));
            py = std::min<int64_t>(py, std::max(size->second - 1, 0));
        }
    }
    return {static_cast<int>(px), static_cast<int>(py)};
}

bool TerminalKittyGraphics::storeRecord(const KittyGraphicsControl& control, const KittyPlacementRecord& record)
{
    auto& records = graphics_.state().placementsByKey;
    const KittyPlacementKey key{record.imageId, record.placementId};
    if (!records.contains(key) && records.size() >= kKittyMaxPlacementRecords) {
        graphics_.kittySendReply(control, kKittyTooManyPlacements);
        return false;
    }
    records.insert_or_assign(key, record);
    return true;
}

bool TerminalKittyGraphics::placeVirtual(const KittyGraphicsControl& control, std::optional<uint32_t> imageId)
{
    if (control.parentImageId || control.parentPlacementId) {
        graphics_.kittySendReply(control, kKittyVirtualParent);
        return false;
    }
    if (!imageId)
        return true;
    KittyGraphicsState& s = graphics_.state();
    uint32_t placementId = 0;
    if (control.placementId) {
        placementId = *control.placementId;
    } else {
        placementId = s.nextPlacementId == 0 ? 1 : s.nextPlacementId;
        s.nextPlacementId = placementId + 1;
    }
    kittyRemovePlacement({*imageId, placementId});

    const Buffer& buffer = *terminal_.buffer;
    const auto [px, py] = clampPixelOffsets(control.pixelOffsetX, control.pixelOffsetY);
    KittyPlacementRecord record;
    record.imageId = *imageId;
    record.placementId = placementId;
    record.pixelOffsetX = px;
    record.pixelOffsetY = py;
    record.col = buffer.x();
    record.row = buffer.y() + buffer.yBase();
    record.cols = cellCount(control.columns);
    record.rows = cellCount(control.rows);
    record.zIndex = clampToInt(control.zIndex);
    record.isVirtual = true;
    record.isAlternateBuffer = terminal_.isCurrentBufferAlternate();
    return storeRecord(control, record);
}

std::optional<std::pair<int, int>> TerminalKittyGraphics::coveredCells(const KittyGraphicsPayload& picture,
                                                                       const KittyPlacementContext& context,
                                                                       int64_t columns, int64_t rows) const
{
    if (columns > 0 && rows > 0)
        return std::pair{static_cast<int>(columns), static_cast<int>(rows)};
    const auto size = cellSize();
    if (!size)
        return std::nullopt;
    int64_t width = picture.width();
    int64_t height = picture.height();
    if (picture.isPng()) {
        const auto pixels = kittyPngPixelSize(picture.bytes());
        if (!pixels)
            return std::nullopt;
        width = pixels->width;
        height = pixels->height;
    }
    if (width <= 0 || height <= 0)
        return std::nullopt;
    const double cellWidth = size->first;
    const double cellHeight = size->second;
    double drawnWidth = columns > 0 ? static_cast<double>(columns) * cellWidth : static_cast<double>(width);
    double drawnHeight = rows > 0 ? static_cast<double>(rows) * cellHeight : static_cast<double>(height);
    if (context.preserveAspectRatio) {
        const double ratio = static_cast<double>(width) / static_cast<double>(height);
        if (columns > 0 && rows == 0)
            drawnHeight = drawnWidth / ratio;
        if (rows > 0 && columns == 0)
            drawnWidth = drawnHeight * ratio;
    }
    // Everything here is bounded (cells, pixels and offsets), so the counts are finite.
    auto count = [](double extent, double cell) {
        return static_cast<int>(std::clamp<double>(std::ceil(extent / cell), 1.0, static_cast<double>(kKittyMaxCells)));
    };
    return std::pair{count(context.pixelOffsetX + drawnWidth, cellWidth),
                     count(context.pixelOffsetY + drawnHeight, cellHeight)};
}

void TerminalKittyGraphics::insertCells(const KittyGraphicsPayload& picture, const KittyPlacementContext& context,
                                        int col, int topLine, int cols, int rows,
                                        std::vector<std::shared_ptr<KittyPlacementImage>>& pending)
{
    Buffer& buffer = *terminal_.buffer;
    const int lineCount = std::max(rows, 1);
    if (context.imageId && context.placementId)
        noteKeyWithCells({*context.imageId, *context.placementId});
    for (int offset = 0; offset < lineCount; ++offset) {
        auto cell = std::make_shared<KittyPlacementImage>(picture);
        cell->kittyImageId = context.imageId;
        cell->kittyImageNumber = context.imageNumber;
        cell->kittyPlacementId = context.placementId;
        cell->kittyZIndex = context.zIndex;
        cell->kittyCol = col;
        cell->kittyCols = cols;
        cell->kittyRows = rows;
        if (context.widthRequest.kind == ImageSizeRequest::Kind::cells)
            cell->kittyRequestedCols = context.widthRequest.value;
        if (context.heightRequest.kind == ImageSizeRequest::Kind::cells)
            cell->kittyRequestedRows = context.heightRequest.value;
        cell->kittyRowOffset = offset;
        cell->pixelOffsetX = context.pixelOffsetX;
        cell->pixelOffsetY = context.pixelOffsetY;
        const int64_t line = int64_t{topLine} + offset;
        if (line >= buffer.lines().count()) {
            // Below the last line: placed once the cursor policy has scrolled.
            pending.push_back(std::move(cell));
            continue;
        }
        buffer.addLineImage(static_cast<int>(line), std::move(cell));
    }
    markLinesDirty(buffer, topLine, topLine + lineCount - 1);
}

bool TerminalKittyGraphics::placeNormal(const KittyGraphicsPayload& payload, const KittyGraphicsControl& control,
                                        std::optional<uint32_t> imageId, std::optional<uint32_t> imageNumber)
{
    Buffer& buffer = *terminal_.buffer;
    const bool alternate = terminal_.isCurrentBufferAlternate();

    std::optional<CellPosition> relative;
    if (control.parentImageId && control.parentPlacementId) {
        const KittyPlacementKey parent{*control.parentImageId, *control.parentPlacementId};
        syncRecordRows();
        const auto& records = graphics_.state().placementsByKey;
        auto it = records.find(parent);
        if (it == records.end()) {
            graphics_.kittySendReply(control, kKittyParentNotFound);
            return false;
        }
        if (it->second.isAlternateBuffer != alternate) {
            graphics_.kittySendReply(control, kKittyParentOtherBuffer);
            return false;
        }
        PositionMap memo;
        const auto position = kittyResolvePlacementPosition(parent, cellPositions(buffer), memo);
        if (!position) {
            graphics_.kittySendReply(control, kKittyParentNotFound);
            return false;
        }
        relative =
            CellPosition{position->first + cellOffset(control.offsetV), position->second + cellOffset(control.offsetH)};
    }

    CropResult cropped = crop(payload, control);
    if (!cropped.picture) {
        graphics_.kittySendReply(control, cropped.error);
        return false;
    }
    const KittyGraphicsPayload& picture = *cropped.picture;

    const int columns = cellCount(control.columns);
    const int rows = cellCount(control.rows);
    const auto [px, py] = clampPixelOffsets(control.pixelOffsetX, control.pixelOffsetY);
    KittyPlacementContext context;
    context.imageId = imageId ? imageId : control.imageId;
    context.imageNumber = imageNumber ? imageNumber : control.imageNumber;
    context.placementId = control.placementId;
    context.parentImageId = control.parentImageId;
    context.parentPlacementId = control.parentPlacementId;
    context.parentOffsetH = cellOffset(control.offsetH);
    context.parentOffsetV = cellOffset(control.offsetV);
    context.zIndex = clampToInt(control.zIndex);
    if (columns > 0)
        context.widthRequest = {ImageSizeRequest::Kind::cells, columns};
    if (rows > 0)
        context.heightRequest = {ImageSizeRequest::Kind::cells, rows};
    context.preserveAspectRatio = !(columns != 0 && rows != 0);
    context.cursorPolicy = clampToInt(control.cursorPolicy);
    context.isRelative = relative.has_value();
    context.pixelOffsetX = px;
    context.pixelOffsetY = py;

    const int savedX = buffer.x();
    const int savedY = buffer.y();
    std::optional<KittyPlacementKey> key;
    if (context.imageId && context.placementId)
        key = KittyPlacementKey{*context.imageId, *context.placementId};
    if (key)
        kittyRemovePlacement(*key);

    if (relative) {
        // Only a row on the screen can take the cursor.
        const int64_t screenRow = int64_t{relative->first} - buffer.yBase();
        if (screenRow < 0 || screenRow >= terminal_.rows) {
            graphics_.kittySendReply(control, kKittyOutOfRange);
            return false;
        }
        buffer.setY(static_cast<int>(screenRow));
        buffer.setX(std::clamp(relative->second, 0, terminal_.cols - 1));
    }

    const int col = buffer.x();
    const int topLine = buffer.yBase() + buffer.y();
    const std::optional<std::pair<int, int>> covered = coveredCells(picture, context, columns, rows);
    const int cellCols = covered ? covered->first : columns;
    const int cellRows = covered ? covered->second : rows;
    std::vector<std::shared_ptr<KittyPlacementImage>> pending;
    insertCells(picture, context, col, topLine, cellCols, cellRows, pending);
    const TerminalImageList* topImages = buffer.lines()[topLine].images();
    const TerminalImagePtr top = topImages ? topImages->back() : nullptr;

    if (context.cursorPolicy == 1 || relative) {
        buffer.setX(savedX);
        buffer.setY(savedY);
    } else if (covered) {
        buffer.setX(col);
        buffer.setY(topLine - buffer.yBase());
        for (int i = 0; i < covered->second; ++i)
            terminal_.cmdIndex();
        buffer.setX(col + covered->first);
        terminal_.restrictCursor(false);
    }

    // The placement's top line now, after any scrolling the cursor caused.
    std::optional<int> topNow;
    const int cursorLine = buffer.yBase() + buffer.y();
    for (int index = cursorLine; top && index >= 0 && index >= cursorLine - cellRows - 1; --index) {
        ++rowsSearched_;
        const TerminalImageList* images = buffer.lines().peek(index) ? buffer.lines().peek(index)->images() : nullptr;
        if (!images)
            continue;
        // Just added, so found from the back at once however many share the line.
        const auto found = std::find(images->rbegin(), images->rend(), top);
        placementsVisited_ += static_cast<uint64_t>(found - images->rbegin()) + 1;
        if (found != images->rend()) {
            topNow = index;
            break;
        }
    }
    if (topNow) {
        for (auto& cell : pending) {
            const int64_t line = int64_t{*topNow} + cell->kittyRowOffset;
            if (line >= buffer.lines().count())
                continue;
            const int index = static_cast<int>(line);
            buffer.addLineImage(index, std::move(cell));
            markLinesDirty(buffer, index, index);
        }
    }

    // Pixels of their own (a crop, an image not stored) count against the
    // cache limit too, so the cells cannot hold more than it.
    graphics_.kittyShowPicture(picture);

    // Placements with a key are recorded so that they can be parents and
    // be found after scrolling.
    if (key && graphics_.state().placementsByKey.size() < kKittyMaxPlacementRecords) {
        KittyPlacementRecord record;
        record.imageId = key->imageId;
        record.placementId = key->placementId;
        if (relative) {
            record.parentImageId = control.parentImageId;
            record.parentPlacementId = control.parentPlacementId;
            record.parentOffsetH = context.parentOffsetH;
            record.parentOffsetV = context.parentOffsetV;
            mayHaveParents_ = true;
        }
        record.pixelOffsetX = px;
        record.pixelOffsetY = py;
        record.col = col;
        record.row = storedRow(topNow.value_or(topLine), alternate);
        record.cols = cellCols;
        record.rows = cellRows;
        record.zIndex = context.zIndex;
        record.isAlternateBuffer = alternate;
        graphics_.state().placementsByKey.insert_or_assign(*key, record);
    }
    return true;
}

}  // namespace ravelgrid
