#pragma once

#include "ravelgrid/protocols/KittyGraphics.h"
#include "ravelgrid/protocols/KittyGraphicsHost.h"
#include "ravelgrid/protocols/KittyPlacementImage.h"
#include "ravelgrid/terminal/KittyGraphicsHook.h"

#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace ravelgrid {

class Buffer;
class Terminal;

inline constexpr std::string_view kKittyBadCrop = "EINVAL: bad crop";
inline constexpr std::string_view kKittyCannotCropPng = "ENOTSUP: cannot crop png";
inline constexpr std::string_view kKittyOutOfRange = "EINVAL: placement out of range";
inline constexpr std::string_view kKittyVirtualParent = "EINVAL: virtual placement cannot refer to parent";
inline constexpr std::string_view kKittyParentNotFound = "ENOPARENT: parent placement not found";
inline constexpr std::string_view kKittyParentOtherBuffer = "ENOPARENT: parent placement not in current buffer";
inline constexpr std::string_view kKittyTooManyPlacements = "ENOSPC: too many placements";
inline constexpr std::string_view kKittyMissingImageId = "EINVAL: missing image id";
inline constexpr std::string_view kKittyMissingImageNumber = "EINVAL: missing image number";
inline constexpr std::string_view kKittyMissingCellPosition = "EINVAL: missing cell position";
inline constexpr std::string_view kKittyMissingColumn = "EINVAL: missing column";
inline constexpr std::string_view kKittyMissingRow = "EINVAL: missing row";
inline constexpr std::string_view kKittyMissingIdRange = "EINVAL: missing id range";
inline constexpr std::string_view kKittyUnsupportedDelete = "EINVAL: unsupported delete";

// The most placement records kept; a client cannot grow the store without end.
inline constexpr size_t kKittyMaxPlacementRecords = 65'536;
// Cell counts and cell offsets of a placement are read within these.
inline constexpr int64_t kKittyMaxCells = 10'000;
inline constexpr int64_t kKittyMaxPixelOffset = 65'535;

// The graphics protocols inside a Terminal: kitty graphics commands (APC
// "G"), their placements on the buffers and the sixel DCS handler. The
// terminal owns it once attached.
//
// A normal kitty placement puts a KittyPlacementImage on every line it
// covers, starting at the cursor; hosts draw kitty images from those.
class TerminalKittyGraphics final : public KittyGraphicsHook, public KittyGraphicsHost {
public:
    explicit TerminalKittyGraphics(Terminal& terminal);

    // Installs the graphics protocols on the terminal, replacing any before.
    static TerminalKittyGraphics& attach(Terminal& terminal);
    // The graphics protocols installed on the terminal, if any.
    static TerminalKittyGraphics* of(const Terminal& terminal);

    KittyGraphics& graphics() { return graphics_; }
    // The store, with every record's row a ring row of its buffer now.
    KittyGraphicsState& state();

    // KittyGraphicsHook
    void kittyGraphicsCommand(std::span<const uint8_t> payload) override;
    void kittyAdjustPlacementsForScroll() override;
    void kittyShiftPlacementsForScroll(int rows) override;
    void resetKittyGraphics() override;
    void kittyCleanupForBufferSwitch(Buffer& buffer, bool isAlternate) override;
    std::unique_ptr<DcsHandler> makeSixelHandler() override;

    // KittyGraphicsHost
    void kittySendResponse(std::string_view bytes) override;
    bool kittySend8bit() const override;
    std::optional<bool> kittyRequestTrust(std::function<void()> retry) override;
    int64_t kittyImageCacheLimitBytes() const override;
    bool kittyPlaceImage(const KittyGraphicsPayload& payload, const KittyGraphicsControl& control,
                         std::optional<uint32_t> imageId, std::optional<uint32_t> imageNumber) override;
    void kittyDelete(const KittyGraphicsControl& control) override;
    void kittyCollectCellImageIds(std::unordered_set<uint32_t>& ids) const override;
    void kittyReleasePictures(const std::unordered_set<const void*>& pictures) override;
    bool kittyRunInBackground(std::function<void()> work, std::function<void()> then) override;

    // Removes the cells of a placement from both buffers, and its record.
    void kittyRemovePlacement(KittyPlacementKey key);
    // Drops every stored image that no cell and no record shows.
    void kittyPurgeUnreferencedImages();

    // (line index, column) of a placement's top-left cell.
    using CellPosition = std::pair<int, int>;
    using PositionMap = std::unordered_map<KittyPlacementKey, CellPosition, KittyPlacementKeyHash>;
    // Where a placement is now, following its parent chain; nothing for a
    // missing link, a record of the other buffer or a cycle.
    std::optional<CellPosition> kittyResolvePlacementPosition(KittyPlacementKey key, const PositionMap& cellPositions,
                                                              PositionMap& memo) const;
    // The top-left cell of every placement with both ids on the buffer's lines.
    PositionMap cellPositions(Buffer& buffer) const;

    // The work of keeping placements in step with their cells, over the
    // graphics' life: ring rows searched for placement cells, and placement
    // cells and records looked at. A placement or a scroll costs a few of
    // each, however many the buffers hold.
    uint64_t rowsSearched() const { return rowsSearched_; }
    uint64_t placementsVisited() const { return placementsVisited_; }
    // Keys remembered as perhaps having cells on a buffer.
    size_t keysMaybeWithCells() const { return keysWithCells_.size(); }

private:
    using CellMatch = std::function<bool(const KittyPlacementImage& cell, int lineIndex)>;
    using RecordMatch = std::function<bool(const KittyPlacementRecord& record)>;

    // Removes matching kitty cells of lines first...last of the buffer and
    // returns the keys of those that had both ids.
    KittyPlacementKeySet scanCells(Buffer& buffer, int first, int last, const CellMatch& match);
    KittyPlacementKeySet scanAllCells(Buffer& buffer, const CellMatch& match);
    KittyPlacementKeySet takeRecords(const RecordMatch& match);
    void removePlacementCells(const KittyPlacementKeySet& keys);
    void runDelete(char letter, const KittyGraphicsControl& control);

    bool placeVirtual(const KittyGraphicsControl& control, std::optional<uint32_t> imageId);
    bool placeNormal(const KittyGraphicsPayload& payload, const KittyGraphicsControl& control,
                     std::optional<uint32_t> imageId, std::optional<uint32_t> imageNumber);
    std::optional<std::pair<int, int>> coveredCells(const KittyGraphicsPayload& picture,
                                                    const KittyPlacementContext& context, int64_t columns,
                                                    int64_t rows) const;
    void insertCells(const KittyGraphicsPayload& picture, const KittyPlacementContext& context, int col, int topLine,
                     int cols, int rows, std::vector<std::shared_ptr<KittyPlacementImage>>& pending);
    void completeCells(std::vector<std::shared_ptr<KittyPlacementImage>>& pending, int coveredRows);
    std::pair<int, int> clampPixelOffsets(int64_t x, int64_t y) const;
    std::optional<std::pair<int, int>> cellSize() const;
    bool storeRecord(const KittyGraphicsControl& control, const KittyPlacementRecord& record);
    void moveCells(Buffer& buffer, KittyPlacementKey key, int rowDelta, int newCol);
    // Moves placements placed relative to a parent to where the parent now is.
    void followParents(Buffer& buffer, const PositionMap& cells);
    void markLinesDirty(Buffer& buffer, int firstLine, int lastLine);

    Terminal& terminal_;
    KittyGraphics graphics_;
    // Keys that may still have cells on a buffer: a placement with a new key
    // needs no search of the buffers for cells to replace.
    KittyPlacementKeySet keysWithCells_;
    // Past this size the set is made again from the buffers' cells, so the
    // keys of cells that scrolled away do not pile up without end.
    size_t keysWithCellsLimit_ = kKittyMaxPlacementRecords;
    void noteKeyWithCells(KittyPlacementKey key);
    // Every kitty cell on either buffer, counted as a search.
    void forEachKittyCell(const std::function<void(const KittyPlacementImage&)>& visit) const;
    // Scrolls that moved every line alike are not applied to each record at
    // once: a normal placement's true row is its stored row plus the shift
    // of its buffer (normal, alternate) until syncRecordRows().
    int64_t rowShift_[2] = {0, 0};
    bool mayHaveParents_ = false;
    mutable uint64_t rowsSearched_ = 0;
    mutable uint64_t placementsVisited_ = 0;
    void syncRecordRows();
    int storedRow(int64_t row, bool alternate) const;
};

}  // namespace ravelgrid
