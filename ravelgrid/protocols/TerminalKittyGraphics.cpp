#include "ravelgrid/protocols/TerminalKittyGraphics.h"

#include "ravelgrid/protocols/SixelDcsHandler.h"
#include "ravelgrid/terminal/Terminal.h"

#include <algorithm>
#include <climits>
#include <memory>

namespace ravelgrid {

namespace {

KittyPlacementImage* kittyCell(const TerminalImagePtr& image)
{
    return dynamic_cast<KittyPlacementImage*>(image.get());
}

std::optional<KittyPlacementKey> keyOf(const KittyPlacementImage& cell)
{
    if (!cell.kittyImageId || !cell.kittyPlacementId)
        return std::nullopt;
    return KittyPlacementKey{*cell.kittyImageId, *cell.kittyPlacementId};
}

}  // namespace

TerminalKittyGraphics::TerminalKittyGraphics(Terminal& terminal) : terminal_(terminal), graphics_(*this)
{}

TerminalKittyGraphics& TerminalKittyGraphics::attach(Terminal& terminal)
{
    auto graphics = std::make_unique<TerminalKittyGraphics>(terminal);
    TerminalKittyGraphics& attached = *graphics;
    terminal.setKittyGraphicsHook(std::move(graphics));
    return attached;
}

TerminalKittyGraphics* TerminalKittyGraphics::of(const Terminal& terminal)
{
    return dynamic_cast<TerminalKittyGraphics*>(terminal.kittyGraphicsHook());
}

KittyGraphicsState& TerminalKittyGraphics::state()
{
    syncRecordRows();
    return graphics_.state();
}

void TerminalKittyGraphics::syncRecordRows()
{
    if (rowShift_[0] == 0 && rowShift_[1] == 0)
        return;
    placementsVisited_ += graphics_.state().placementsByKey.size();
    for (auto& [key, record] : graphics_.state().placementsByKey) {
        if (record.isVirtual)
            continue;
        const int64_t row = int64_t{record.row} + rowShift_[record.isAlternateBuffer ? 1 : 0];
        record.row = static_cast<int>(std::clamp<int64_t>(row, INT_MIN, INT_MAX));
    }
    rowShift_[0] = rowShift_[1] = 0;
}

int TerminalKittyGraphics::storedRow(int64_t row, bool alternate) const
{
    return static_cast<int>(std::clamp<int64_t>(row - rowShift_[alternate ? 1 : 0], INT_MIN, INT_MAX));
}

void TerminalKittyGraphics::kittyGraphicsCommand(std::span<const uint8_t> payload)
{
    graphics_.kittyGraphicsCommand(payload);
}

std::unique_ptr<DcsHandler> TerminalKittyGraphics::makeSixelHandler()
{
    return std::make_unique<SixelDcsHandler>(terminal_);
}

void TerminalKittyGraphics::kittySendResponse(std::string_view bytes)
{
    terminal_.sendResponse(bytes);
}

bool TerminalKittyGraphics::kittySend8bit() const
{
    return terminal_.cc.send8bit;
}

std::optional<bool> TerminalKittyGraphics::kittyRequestTrust(std::function<void()> retry)
{
    return terminal_.gatedRequest(std::move(retry));
}

bool TerminalKittyGraphics::kittyRunInBackground(std::function<void()> work, std::function<void()> then)
{
    return terminal_.runHoldingInput(std::move(work), std::move(then));
}

int64_t TerminalKittyGraphics::kittyImageCacheLimitBytes() const
{
    return terminal_.options().kittyImageCacheLimitBytes;
}

// --- cell scans ---------------------------------------------------------------------------

KittyPlacementKeySet TerminalKittyGraphics::scanCells(Buffer& buffer, int first, int last, const CellMatch& match)
{
    KittyPlacementKeySet keys;
    if (!buffer.hasAnyImages())
        return keys;
    CircularBufferLineList& lines = buffer.lines();
    first = std::max(first, 0);
    last = std::min(last, lines.count() - 1);
    rowsSearched_ += static_cast<uint64_t>(std::max(last - first + 1, 0));
    int firstChanged = -1;
    int lastChanged = -1;
    for (int index = first; index <= last; ++index) {
        const BufferLine* line = lines.peek(index);
        if (!line || !line->hasImages())
            continue;
        const TerminalImageList& images = *line->images();
        placementsVisited_ += images.size();
        const bool any = std::any_of(images.begin(), images.end(), [&](const TerminalImagePtr& image) {
            const KittyPlacementImage* cell = kittyCell(image);
            return cell && match(*cell, index);
        });
        if (!any)
            continue;
        TerminalImageList kept;
        for (const TerminalImagePtr& image : images) {
            const KittyPlacementImage* cell = kittyCell(image);
            if (cell && match(*cell, index)) {
                if (auto key = keyOf(*cell))
                    keys.insert(*key);
            } else {
                kept.push_back(image);
            }
        }
        buffer.setLineImages(index, std::move(kept));
        if (firstChanged < 0)
            firstChanged = index;
        lastChanged = index;
    }
    if (firstChanged >= 0)
        markLinesDirty(buffer, firstChanged, lastChanged);
    return keys;
}

KittyPlacementKeySet TerminalKittyGraphics::scanAllCells(Buffer& buffer, const CellMatch& match)
{
    return scanCells(buffer, 0, buffer.lines().count() - 1, match);
}

KittyPlacementKeySet TerminalKittyGraphics::takeRecords(const RecordMatch& match)
{
    KittyPlacementKeySet keys;
    placementsVisited_ += graphics_.state().placementsByKey.size();
    std::erase_if(graphics_.state().placementsByKey, [&](const auto& entry) {
        if (!match(entry.second))
            return false;
        keys.insert(entry.first);
        return true;
    });
    return keys;
}

void TerminalKittyGraphics::removePlacementCells(const KittyPlacementKeySet& keys)
{
    if (keys.empty())
        return;
    const CellMatch inKeys = [&keys](const KittyPlacementImage& cell, int) {
        auto key = keyOf(cell);
        return key && keys.contains(*key);
    };
    scanAllCells(*terminal_.normalBuffer, inKeys);
    scanAllCells(*terminal_.altBuffer, inKeys);
}

void TerminalKittyGraphics::kittyRemovePlacement(KittyPlacementKey key)
{
    if (keysWithCells_.erase(key) > 0)
        removePlacementCells({key});
    graphics_.state().placementsByKey.erase(key);
}

void TerminalKittyGraphics::noteKeyWithCells(KittyPlacementKey key)
{
    keysWithCells_.insert(key);
    if (keysWithCells_.size() <= keysWithCellsLimit_)
        return;
    keysWithCells_.clear();
    // Its cells may still be on their way to the buffer.
    keysWithCells_.insert(key);
    forEachKittyCell([&](const KittyPlacementImage& cell) {
        if (auto shown = keyOf(cell))
            keysWithCells_.insert(*shown);
    });
    // Made again only once the set has grown fourfold, so a pile of
    // placements still shown costs each about a visit.
    keysWithCellsLimit_ = std::max(kKittyMaxPlacementRecords, 4 * keysWithCells_.size());
}

void TerminalKittyGraphics::markLinesDirty(Buffer& buffer, int firstLine, int lastLine)
{
    if (&buffer != terminal_.buffer)
        return;
    const int base = buffer.yBase();
    const int last = terminal_.rows - 1;
    terminal_.updateRange(std::clamp(firstLine - base, 0, last));
    terminal_.updateRange(std::clamp(lastLine - base, 0, last));
}

void TerminalKittyGraphics::forEachKittyCell(const std::function<void(const KittyPlacementImage&)>& visit) const
{
    for (Buffer* buffer : {terminal_.normalBuffer.get(), terminal_.altBuffer.get()}) {
        if (!buffer->hasAnyImages())
            continue;
        const CircularBufferLineList& lines = buffer->lines();
        rowsSearched_ += static_cast<uint64_t>(lines.count());
        for (int index = 0; index < lines.count(); ++index) {
            const BufferLine* line = lines.peek(index);
            if (!line || !line->hasImages())
                continue;
            placementsVisited_ += line->images()->size();
            for (const TerminalImagePtr& image : *line->images())
                if (const KittyPlacementImage* cell = kittyCell(image))
                    visit(*cell);
        }
    }
}

void TerminalKittyGraphics::kittyCollectCellImageIds(std::unordered_set<uint32_t>& ids) const
{
    forEachKittyCell([&](const KittyPlacementImage& cell) {
        if (cell.kittyImageId)
            ids.insert(*cell.kittyImageId);
    });
}

void TerminalKittyGraphics::kittyReleasePictures(const std::unordered_set<const void*>& pictures)
{
    for (Buffer* buffer : {terminal_.normalBuffer.get(), terminal_.altBuffer.get()}) {
        if (!buffer->hasAnyImages())
            continue;
        CircularBufferLineList& lines = buffer->lines();
        rowsSearched_ += static_cast<uint64_t>(lines.count());
        int first = -1;
        int last = -1;
        for (int index = 0; index < lines.count(); ++index) {
            const BufferLine* line = lines.peek(index);
            if (!line || !line->hasImages())
                continue;
            placementsVisited_ += line->images()->size();
            bool changed = false;
            for (const TerminalImagePtr& image : *line->images()) {
                KittyPlacementImage* cell = kittyCell(image);
                if (!cell || !pictures.contains(cell->picture.sharedBytes().get()))
                    continue;
                cell->picture = KittyGraphicsPayload::released();
                changed = true;
            }
            if (!changed)
                continue;
            // A new generation, so that whatever drew the line draws it again.
            buffer->setLineImages(index, *line->images());
            if (first < 0)
                first = index;
            last = index;
        }
        if (first >= 0)
            markLinesDirty(*buffer, first, last);
    }
}

void TerminalKittyGraphics::kittyPurgeUnreferencedImages()
{
    const std::unordered_set<uint32_t> referenced = graphics_.kittyReferencedImageIds();
    std::vector<uint32_t> unreferenced;
    for (const auto& [id, image] : graphics_.state().imagesById) {
        if (!referenced.contains(id))
            unreferenced.push_back(id);
    }
    for (uint32_t id : unreferenced)
        graphics_.state().removeImage(id);
}

TerminalKittyGraphics::PositionMap TerminalKittyGraphics::cellPositions(Buffer& buffer) const
{
    PositionMap positions;
    if (!buffer.hasAnyImages())
        return positions;
    const CircularBufferLineList& lines = buffer.lines();
    rowsSearched_ += static_cast<uint64_t>(lines.count());
    for (int index = 0; index < lines.count(); ++index) {
        const BufferLine* line = lines.peek(index);
        if (!line || !line->hasImages())
            continue;
        placementsVisited_ += line->images()->size();
        for (const TerminalImagePtr& image : *line->images()) {
            const KittyPlacementImage* cell = kittyCell(image);
            if (!cell)
                continue;
            if (auto key = keyOf(*cell))
                positions.try_emplace(*key, index - cell->kittyRowOffset, cell->kittyCol);
        }
    }
    return positions;
}

// --- buffer switch, reset, scrolling ---------------------------------------------------------

void TerminalKittyGraphics::kittyCleanupForBufferSwitch(Buffer& buffer, bool isAlternate)
{
    syncRecordRows();
    KittyPlacementKeySet keys = scanAllCells(buffer, [](const KittyPlacementImage&, int) { return true; });
    KittyPlacementKeySet records = takeRecords(
        [isAlternate](const KittyPlacementRecord& record) { return record.isAlternateBuffer == isAlternate; });
    keys.insert(records.begin(), records.end());
    removePlacementCells(keys);
    kittyPurgeUnreferencedImages();
}

void TerminalKittyGraphics::resetKittyGraphics()
{
    auto clearImages = [this](Buffer& buffer) {
        if (!buffer.hasAnyImages())
            return;
        rowsSearched_ += static_cast<uint64_t>(buffer.lines().count());
        for (int index = 0; index < buffer.lines().count(); ++index) {
            const BufferLine* line = buffer.lines().peek(index);
            if (line && line->hasImages())
                buffer.clearLineImages(index);
        }
    };
    Buffer& active = *terminal_.buffer;
    clearImages(active);
    if (&active != terminal_.altBuffer.get())
        clearImages(*terminal_.altBuffer);

    KittyGraphicsState& s = graphics_.state();
    // Cells the reset leaves (the normal buffer's, seen from the alternate
    // one) keep their pixels, which then still count against the limit.
    std::vector<uint32_t> ids;
    for (const auto& [id, image] : s.imagesById)
        ids.push_back(id);
    for (uint32_t id : ids)
        s.removeImage(id);
    s.imageNumbers.clear();
    s.placementsByKey.clear();
    keysWithCells_.clear();
    keysWithCellsLimit_ = kKittyMaxPlacementRecords;
    rowShift_[0] = rowShift_[1] = 0;
    mayHaveParents_ = false;
    s.totalImageBytes = 0;
    s.nextImageAccessTick = 1;
    terminal_.updateRange(active.scrollTop());
    terminal_.updateRange(active.scrollBottom());
}

void TerminalKittyGraphics::kittyAdjustPlacementsForScroll()
{
    syncRecordRows();
    auto& records = graphics_.state().placementsByKey;
    const bool alternate = terminal_.isCurrentBufferAlternate();
    placementsVisited_ += records.size();
    mayHaveParents_ = std::any_of(records.begin(), records.end(), [](const auto& entry) {
        return entry.second.parentImageId && entry.second.parentPlacementId;
    });
    // Scrolls are frequent and records rare: only records that follow cells
    // or parents need the scan.
    const bool anyToFollow = std::any_of(records.begin(), records.end(), [&](const auto& entry) {
        const KittyPlacementRecord& r = entry.second;
        return r.isAlternateBuffer == alternate && (!r.isVirtual || (r.parentImageId && r.parentPlacementId));
    });
    if (!anyToFollow)
        return;

    Buffer& buffer = *terminal_.buffer;
    const PositionMap cells = cellPositions(buffer);
    for (auto& [key, record] : records) {
        if (record.isAlternateBuffer != alternate || record.isVirtual)
            continue;
        if (auto it = cells.find(key); it != cells.end()) {
            record.row = it->second.first;
            record.col = it->second.second;
        }
    }
    followParents(buffer, cells);
}

void TerminalKittyGraphics::kittyShiftPlacementsForScroll(int rows)
{
    // Every line moved alike: the records move with their cells (in one
    // shift, applied when read), and a placement keeps its place relative
    // to its parent, so nothing else does.
    if (rows == 0)
        return;
    if (graphics_.state().placementsByKey.empty()) {
        rowShift_[0] = rowShift_[1] = 0;
        return;
    }
    rowShift_[terminal_.isCurrentBufferAlternate() ? 1 : 0] += rows;
    // A parent whose cells left the ring stays where its record says, and
    // its children follow it there, as after any other scroll.
    if (mayHaveParents_)
        kittyAdjustPlacementsForScroll();
}

void TerminalKittyGraphics::followParents(Buffer& buffer, const PositionMap& cells)
{
    auto& records = graphics_.state().placementsByKey;
    const bool alternate = terminal_.isCurrentBufferAlternate();
    placementsVisited_ += records.size();
    PositionMap memo;
    for (auto& [key, record] : records) {
        if (record.isAlternateBuffer != alternate || !record.parentImageId || !record.parentPlacementId)
            continue;
        std::optional<CellPosition> resolved = kittyResolvePlacementPosition(key, cells, memo);
        if (!resolved)
            continue;
        // As when it was placed: a column past the edge stands at the edge.
        resolved->second = std::clamp(resolved->second, 0, terminal_.cols - 1);
        CellPosition current{record.row, record.col};
        if (!record.isVirtual) {
            if (auto it = cells.find(key); it != cells.end())
                current = it->second;
        }
        if (*resolved == current)
            continue;
        if (!record.isVirtual)
            moveCells(buffer, key, resolved->first - current.first, resolved->second);
        record.row = resolved->first;
        record.col = resolved->second;
    }
}

void TerminalKittyGraphics::moveCells(Buffer& buffer, KittyPlacementKey key, int rowDelta, int newCol)
{
    std::vector<std::pair<std::shared_ptr<KittyPlacementImage>, int64_t>> moving;
    CircularBufferLineList& lines = buffer.lines();
    rowsSearched_ += static_cast<uint64_t>(lines.count());
    for (int index = 0; index < lines.count(); ++index) {
        const BufferLine* line = lines.peek(index);
        if (!line || !line->hasImages())
            continue;
        placementsVisited_ += line->images()->size();
        for (const TerminalImagePtr& image : *line->images()) {
            const KittyPlacementImage* cell = kittyCell(image);
            if (cell && keyOf(*cell) == key) {
                moving.emplace_back(std::static_pointer_cast<KittyPlacementImage>(image),
                                    static_cast<int64_t>(index) + rowDelta);
            }
        }
    }
    if (moving.empty())
        return;
    scanAllCells(buffer, [&key](const KittyPlacementImage& cell, int) { return keyOf(cell) == key; });
    int first = lines.count();
    int last = -1;
    for (auto& [cell, target] : moving) {
        if (target < 0 || target >= lines.count())
            continue;
        const int index = static_cast<int>(target);
        cell->kittyCol = newCol;
        buffer.addLineImage(index, cell);
        noteKeyWithCells(key);
        first = std::min(first, index);
        last = std::max(last, index);
    }
    if (last >= 0)
        markLinesDirty(buffer, first, last);
}

std::optional<TerminalKittyGraphics::CellPosition>
TerminalKittyGraphics::kittyResolvePlacementPosition(KittyPlacementKey key, const PositionMap& cellPositions,
                                                     PositionMap& memo) const
{
    const auto& records = graphics_.state().placementsByKey;
    const bool alternate = terminal_.isCurrentBufferAlternate();
    // Walked without recursion: a chain may be as long as there are records.
    struct Link {
        KittyPlacementKey key;
        int offsetV;
        int offsetH;
    };
    std::vector<Link> chain;
    KittyPlacementKeySet visiting;
    KittyPlacementKey current = key;
    CellPosition base;
    for (;;) {
        if (auto hit = memo.find(current); hit != memo.end()) {
            base = hit->second;
            break;
        }
        auto it = records.find(current);
        ++placementsVisited_;
        if (it == records.end() || it->second.isAlternateBuffer != alternate)
            return std::nullopt;
        if (!visiting.insert(current).second)
            return std::nullopt;
        const KittyPlacementRecord& record = it->second;
        if (record.parentImageId && record.parentPlacementId) {
            chain.push_back({current, record.parentOffsetV, record.parentOffsetH});
            current = {*record.parentImageId, *record.parentPlacementId};
            continue;
        }
        base = {record.row, record.col};
        if (!record.isVirtual) {
            if (auto cell = cellPositions.find(current); cell != cellPositions.end())
                base = cell->second;
        }
        memo[current] = base;
        break;
    }
    // Offsets are bounded and chains by the record cap, but keep sums in range regardless.
    constexpr int64_t kBound = int64_t{1} << 30;
    for (auto link = chain.rbegin(); link != chain.rend(); ++link) {
        base.first = static_cast<int>(std::clamp<int64_t>(int64_t{base.first} + link->offsetV, -kBound, kBound));
        base.second = static_cast<int>(std::clamp<int64_t>(int64_t{base.second} + link->offsetH, -kBound, kBound));
        memo[link->key] = base;
    }
    return base;
}

}  // namespace ravelgrid
