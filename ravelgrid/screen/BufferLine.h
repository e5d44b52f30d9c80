#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "ravelgrid/screen/BidiPresentationState.h"
#include "ravelgrid/screen/CharData.h"
#include "ravelgrid/screen/SemanticPrompt.h"
#include "ravelgrid/screen/TerminalImage.h"

namespace ravelgrid {

class Buffer;

// The buffer that lines belong to, as the lines see it: one block counted
// by the buffer and each of its lines, emptied when the buffer dies so that
// a line that outlives it finds no owner. A line pays one pointer for it.
class BufferOwnerRef {
public:
    BufferOwnerRef() = default;
    explicit BufferOwnerRef(Buffer* buffer) : box_(new Box{buffer, {1}}) {}
    BufferOwnerRef(const BufferOwnerRef& other) : box_(other.box_) { retain(); }
    BufferOwnerRef(BufferOwnerRef&& other) noexcept : box_(std::exchange(other.box_, nullptr)) {}
    BufferOwnerRef& operator=(const BufferOwnerRef& other)
    {
        if (box_ != other.box_) {
            other.retain();
            release();
            box_ = other.box_;
        }
        return *this;
    }
    BufferOwnerRef& operator=(BufferOwnerRef&& other) noexcept
    {
        if (this != &other) {
            release();
            box_ = std::exchange(other.box_, nullptr);
        }
        return *this;
    }
    ~BufferOwnerRef() { release(); }

    Buffer* get() const { return box_ ? box_->buffer : nullptr; }
    // The owning buffer itself, to empty on its way out.
    Buffer*& operator*() const { return box_->buffer; }

private:
    struct Box {
        Buffer* buffer;
        std::atomic<size_t> refs;
    };
    void retain() const
    {
        if (box_)
            box_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    void release()
    {
        // Lines may be let go on another thread than the buffer.
        if (box_ && box_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete box_;
        box_ = nullptr;
    }
    Box* box_ = nullptr;
};

// One row of a screen buffer: a run of cells plus the row's own properties.
// Lines are shared objects (the ring, the prompt bookkeeping and renderers
// hold them by reference). Every change advances generation(), which lets
// renderers skip unchanged rows; reuse by the ring advances
// recycleGeneration().
//
// A line may be held compact: only its first storedSize() cells are kept,
// the last of them standing for every cell up to dataSize() (a blank tail).
// A line that leaves the screen is also packed: runs of cells, a run of one
// repeated cell stored once, other codes in as few bytes as they need, and
// fields equal to a blank cell's not stored at all. Readers see the same cells
// either way; a reader unpacks the kept cells, a writer (or cellSpan) makes
// the line full again first, except that copies and fills to the end, and
// writers of a run of cells, keep only the cells they reach. So scrollback
// memory follows what the lines show, not the terminal's width, and a
// recycled row that is printed on part way costs what was printed.
class BufferLine : public std::enable_shared_from_this<BufferLine> {
public:
    enum class RenderLineMode : uint8_t { single, doubleWidth, doubledTop, doubledDown };

    explicit BufferLine(int cols, std::optional<CharData> fillData = std::nullopt, bool isWrapped = false,
                        BidiPresentationState bidiState = {});
    // copyInit: a copy of the cells, wrap flag, bidi
    // state, render mode, marks, hard-continuation group and images; no
    // owning buffer, both generations 0.
    BufferLine(const BufferLine& other);
    BufferLine& operator=(const BufferLine&) = delete;
    ~BufferLine() { freeStorage(); }

    // --- cells -----------------------------------------------------------
    int dataSize() const { return dataSize_; }
    // Reading past the end reads the last cell (a negative column reads cell 0).
    const CharData& operator[](int col) const
    {
        // One test for the common case; a packed line has no cell storage.
        if (static_cast<unsigned>(col) < static_cast<unsigned>(stored_) && packing_ == kUnpacked)
            return store_.cells[col];
        return readSlow(col);
    }
    // Writing past the end logs once per call and writes the last cell.
    // Writers may be passed one of this line's own cells, even where the
    // write replaces the storage holding it.
    void set(int col, const CharData& cell);
    int widthAt(int col) const { return (*this)[col].width; }
    bool cellHasContent(int col) const;
    bool hasAnyContent() const;
    std::vector<CharData> cells() const;
    // Read-only view of all dataSize cells, for renderers: a compact line is
    // made full first.
    std::span<const CharData> cellSpan() const
    {
        expand();
        return {store_.cells, static_cast<size_t>(dataSize_)};
    }
    // The cells kept: every distinct cell of the line, the last one standing
    // for the rest of the row. For readers of the whole scrollback, which
    // must not make every line full.
    std::span<const CharData> storedCells() const
    {
        unpack();
        return {store_.cells, static_cast<size_t>(stored_)};
    }
    int storedSize() const { return stored_; }
    bool isCompact() const { return stored_ < dataSize_; }
    bool isPacked() const { return packing_ != kUnpacked; }
    // Bytes of cell storage held while not packed (0 when packed).
    size_t unpackedBytes() const { return isPacked() ? 0 : static_cast<size_t>(capacity_) * sizeof(CharData); }
    // In-place access for bulk writers (the terminal's print path): advances
    // generation once for the whole write that follows.
    std::span<CharData> writableCells()
    {
        expand();
        ++generation_;
        return {store_.cells, static_cast<size_t>(dataSize_)};
    }
    // In-place access to cells [from, from + len) for a writer that sets
    // every one of them (the print path): a compact line keeps its blank
    // tail past them unfilled. Until written, only the first and the last
    // of them hold the line's cells (a writer checks for wide characters
    // there); the others are unspecified. Clamped to the line; advances
    // generation once.
    std::span<CharData> cellsToOverwrite(int from, int len)
    {
        // One test for the common case: stored cells, or a full line.
        const int end = from + len;
        if (packing_ != kUnpacked || from < 0 || len < 0 ||
            (end >= stored_ && (stored_ != dataSize_ || end > dataSize_)))
            return overwriteSlow(from, len);
        ++generation_;
        return {store_.cells + from, static_cast<size_t>(len)};
    }
    // Index of the last non-empty code plus its width; 0 for a blank row.
    int trimmedLength() const;
    // Keeps only the cells in use (the trailing run of equal cells as one),
    // packed when that is smaller. A `spare` (a line its owner refills right
    // after, such as the ring's recycled one) may take over this line's
    // full-width storage and give its own in return, so a scrolling ring
    // need not allocate; the spare's cells are then unspecified. This line's
    // content and generation do not change.
    void compact(BufferLine* spare = nullptr);

    // --- editing (each advances generation) ------------------------------
    // The whole row; `lazily` as for resetForReuse.
    void fill(const CharData& cell, bool lazily = false);
    void fillRange(const CharData& cell, int from, int endExclusive);  // clamped to dataSize
    void fillCount(const CharData& cell, int atCol, int len);          // range must lie inside
    void insertCells(int pos, int n, int rightMargin, const CharData& fillData);
    void deleteCells(int pos, int n, int rightMargin, const CharData& fillData);
    void shiftSemanticMarks(int lower, int delta, int upper);
    void resize(int cols, const CharData& fillData);
    void copyFrom(const BufferLine& line);
    void copyCellsFrom(BufferLine& src, int srcCol, int dstCol, int len);

    // --- row properties --------------------------------------------------
    bool isWrapped() const { return isWrapped_; }
    void setWrapped(bool wrapped);
    const BidiPresentationState& bidiState() const { return bidiState_; }
    void setBidiState(const BidiPresentationState& state);
    RenderLineMode renderMode() const { return renderMode_; }
    void setRenderMode(RenderLineMode mode);
    // Something on this row was printed by a remote session: links found
    // here stay remote output whatever runs later. Follows the row's text
    // (copies carry it); a recycled row starts without it.
    bool printedByRemote() const { return printedByRemote_; }
    void setPrintedByRemote(bool on) { printedByRemote_ = on; }

    // --- shell-integration marks -----------------------------------------
    const std::vector<SemanticMark>& semanticMarks() const { return extras_ ? extras_->marks : kNoMarks; }
    void setSemanticMark(SemanticPromptKind kind, int column, uint64_t group);
    void clearSemanticMarks();
    std::optional<uint64_t> semanticHardContinuationGroup() const
    {
        return extras_ ? extras_->hardGroup : std::nullopt;
    }
    void setSemanticHardContinuationGroup(std::optional<uint64_t> group);

    // --- images ----------------------------------------------------------
    bool hasImages() const { return extras_ && extras_->images; }
    // Absent (nullptr) when the row has no images.
    const TerminalImageList* images() const { return extras_ ? extras_->images.get() : nullptr; }
    // Replaces the images; an empty list means none. Advances generation.
    // The owning buffer's image count is not touched: go through
    // Buffer::setLineImages / Buffer::clearLineImages for rows in a buffer.
    void setImages(std::optional<TerminalImageList> images);
    // Appends one image in place (no copy of the list). Advances generation.
    void addImage(TerminalImagePtr image);

    // --- identity and change tracking ------------------------------------
    Buffer* owningBuffer() const;
    uint64_t generation() const { return generation_; }
    uint64_t recycleGeneration() const { return recycleGeneration_; }
    void bumpGeneration() { ++generation_; }
    // Process-unique and never reused (a copy gets its own): caches key rows
    // by it, since a new line may be made at a freed one's address.
    uint64_t id() const { return id_; }

    // Refill for reuse by the ring: blank cells with the attribute, no
    // images, marks or hard-continuation group, not wrapped; advances
    // recycleGeneration. Returns whether the row had images. `lazily`: one
    // cell stands for the blank row until it is written (a wide row that may
    // never be written costs nothing).
    bool resetForReuse(const Attribute& attribute, bool lazily = false);

    // --- text ------------------------------------------------------------
    // Gives the text of one cell as UTF-8 (the Terminal resolves clusters).
    using CharacterProvider = std::function<std::string(const CharData&)>;
    // endCol -1 means dataSize. Without a provider a cell contributes its
    // code (U+0000 for an empty cell, " " for an invalid scalar).
    std::string toText(bool trimRight = false, int startCol = 0, int endCol = -1,
                       bool skipNullCellsFollowingWide = false,
                       const CharacterProvider& characterProvider = nullptr) const;
    std::string debugDescription() const;

private:
    friend class Buffer;
    friend class CircularBufferLineList;

    static uint64_t nextId();
    // Cell 0 always exists (capacity is at least one), so this never leaves
    // the storage; past the stored cells the last one stands for the rest.
    int clampRead(int col) const { return col < 0 ? 0 : col < stored_ ? col : stored_ > 0 ? stored_ - 1 : 0; }
    void reallocate(int capacity, int keep) const;
    void expand() const
    {
        // Packed lines have no cell storage.
        if (stored_ != dataSize_ || packing_ != kUnpacked)
            expandSlow();
    }
    void expandSlow() const;
    // Stores cells [0, end) one by one, the tail cell still standing for
    // the rest, so a copy into a wide compact line costs what it writes.
    void storeThrough(int end) const
    {
        if (isPacked() || stored_ < std::min(end + 1, dataSize_))
            storeThroughSlow(end);
    }
    void storeThroughSlow(int end) const;
    std::span<CharData> overwriteSlow(int from, int len);
    void unpack() const
    {
        if (isPacked())
            unpackSlow();
    }
    void unpackSlow() const;
    const CharData& readSlow(int col) const;
    bool pack(BufferLine* spare);
    // Forgets packed cells that are about to be overwritten, leaving one
    // cell of storage.
    void dropPacked()
    {
        if (isPacked())
            adoptCells(newCells(1), 1);
    }

    // Storage may change under a const reader (unpack, expand). Unpacked:
    // store_.cells holds capacity_ cells (at least one). Packed: capacity_
    // counts the bytes of the packed block, which sits in store_ itself when
    // it fits there (a blank or short row then costs no block at all).
    enum : uint8_t { kUnpacked, kPackedHeap, kPackedInPlace };
    union Store {
        CharData* cells;
        std::byte* heap;
        std::byte bytes[sizeof(CharData*)];
    };
    const std::byte* packedData() const { return packing_ == kPackedInPlace ? store_.bytes : store_.heap; }
    static CharData* newCells(int n) { return new CharData[static_cast<size_t>(std::max(n, 1))](); }
    // Frees whatever the line holds, cells or packed block.
    void freeStorage() const
    {
        if (packing_ == kUnpacked)
            delete[] store_.cells;
        else if (packing_ == kPackedHeap)
            delete[] store_.heap;
        store_.cells = nullptr;
        packing_ = kUnpacked;
    }
    // Takes `cells` (from newCells) as the unpacked storage.
    void adoptCells(CharData* cells, int capacity) const
    {
        freeStorage();
        store_.cells = cells;
        capacity_ = capacity;
    }
    // Hands the unpacked storage over (the line is left with none, for its
    // caller to fill at once).
    CharData* releaseCells() const { return std::exchange(store_.cells, nullptr); }

    // Grouped by who reads them together, each group in one aligned 16
    // bytes of the row's block: the generations (a cache checks them for
    // every row of the scrollback), then what a cell read needs.
    uint64_t recycleGeneration_ = 0;
    uint64_t generation_ = 0;
    // One word: cells, a packed block or the packed bytes themselves.
    mutable Store store_{nullptr};
    mutable int stored_ = 0;
    mutable uint8_t packing_ = kUnpacked;
    bool isWrapped_ = false;
    RenderLineMode renderMode_ = RenderLineMode::single;
    bool printedByRemote_ = false;
    int dataSize_ = 0;
    mutable int capacity_ = 0;
    BidiPresentationState bidiState_;
    BufferOwnerRef owningBuffer_;
    uint64_t id_ = nextId();

    static inline const std::vector<SemanticMark> kNoMarks{};
    // What few rows carry, kept apart so that a scrollback row of plain text
    // pays one pointer for it.
    struct Extras {
        std::vector<SemanticMark> marks;
        std::optional<uint64_t> hardGroup;
        std::unique_ptr<TerminalImageList> images;
        bool empty() const { return marks.empty() && !hardGroup && !images; }
    };
    Extras& extras()
    {
        if (!extras_)
            extras_ = std::make_unique<Extras>();
        return *extras_;
    }
    void storeHardGroup(std::optional<uint64_t> group);
    // Frees the extras once nothing is left in them.
    void trimExtras()
    {
        if (extras_ && extras_->empty())
            extras_.reset();
    }
    std::unique_ptr<Extras> extras_;
};

using BufferLinePtr = std::shared_ptr<BufferLine>;

}  // namespace ravelgrid
