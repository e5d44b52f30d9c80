#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ravelgrid/screen/BidiPresentationState.h"
#include "ravelgrid/screen/CharData.h"
#include "ravelgrid/screen/SemanticPrompt.h"
#include "ravelgrid/screen/TerminalImage.h"

namespace ravelgrid {

class Buffer;

// One row of a screen buffer: a run of cells plus the row's own properties.
// Lines are shared objects (the ring, the prompt bookkeeping and renderers
// hold them by reference). Every change advances generation(), which lets
// renderers skip unchanged rows; reuse by the ring advances
// recycleGeneration().
class BufferLine : public std::enable_shared_from_this<BufferLine> {
public:
    enum class RenderLineMode : uint8_t { single, doubleWidth, doubledTop, doubledDown };

    explicit BufferLine(int cols, std::optional<CharData> fillData = std::nullopt, bool isWrapped = false,
                        BidiPresentationState bidiState = {});
    // copyInit: a copy of the cells and of the fill cell, wrap flag, bidi
    // state, render mode, marks, hard-continuation group and images; no
    // owning buffer, both generations 0.
    BufferLine(const BufferLine& other);
    BufferLine& operator=(const BufferLine&) = delete;
    ~BufferLine() = default;

    // --- cells -----------------------------------------------------------
    int dataSize() const { return dataSize_; }
    // Reading past the end reads the last cell (a negative column reads cell 0).
    const CharData& operator[](int col) const { return data_[clampRead(col)]; }
    // Writing past the end logs once per call and writes the last cell.
    void set(int col, const CharData& cell);
    int widthAt(int col) const { return data_[clampRead(col)].width; }
    bool cellHasContent(int col) const;
    bool hasAnyContent() const;
    std::vector<CharData> cells() const;
    // Read-only view of the cells in use, for renderers and bulk readers.
    std::span<const CharData> cellSpan() const { return {data_.get(), static_cast<size_t>(dataSize_)}; }
    // In-place access for bulk writers (the terminal's print path): advances
    // generation once for the whole write that follows.
    std::span<CharData> writableCells()
    {
        ++generation_;
        return {data_.get(), static_cast<size_t>(dataSize_)};
    }
    // Index of the last non-empty code plus its width; 0 for a blank row.
    int trimmedLength() const;

    // --- editing (each advances generation) ------------------------------
    void fill(const CharData& cell);                                   // every allocated cell
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
    const CharData& fillCharacter() const { return fillCharacter_; }

    // --- shell-integration marks -----------------------------------------
    const std::vector<SemanticMark>& semanticMarks() const { return semanticMarks_; }
    void setSemanticMark(SemanticPromptKind kind, int column, uint64_t group);
    void clearSemanticMarks();
    std::optional<uint64_t> semanticHardContinuationGroup() const { return semanticHardContinuationGroup_; }
    void setSemanticHardContinuationGroup(std::optional<uint64_t> group);

    // --- images ----------------------------------------------------------
    bool hasImages() const { return images_ != nullptr; }
    // Absent (nullptr) when the row has no images.
    const TerminalImageList* images() const { return images_.get(); }
    // Replaces the images; an empty list means none. Advances generation.
    // The owning buffer's image count is not touched: go through
    // Buffer::setLineImages / Buffer::clearLineImages for rows in a buffer.
    void setImages(std::optional<TerminalImageList> images);

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
    // recycleGeneration. Returns whether the row had images.
    bool resetForReuse(const Attribute& attribute);

    // --- text ------------------------------------------------------------
    // Gives the text of one cell as UTF-8 (the Terminal resolves clusters).
    using CharacterProvider = std::function<std::string(const CharData&)>;
    // endCol -1 means dataSize. Without a provider a cell contributes its
    // code (U+0000 for an empty cell, " " for an invalid scalar).
    std::string toText(bool trimRight = false, int startCol = 0, int endCol = -1, bool skipNullCellsFollowingWide = false,
                       const CharacterProvider& characterProvider = nullptr) const;
    std::string debugDescription() const;

private:
    friend class Buffer;
    friend class CircularBufferLineList;

    // Cell 0 always exists (capacity is at least one), so this never leaves the storage.
    static uint64_t nextId();
    int clampRead(int col) const { return col < 0 ? 0 : col < dataSize_ ? col : dataSize_ > 0 ? dataSize_ - 1 : 0; }
    void reallocate(int capacity, int keep);

    std::unique_ptr<CharData[]> data_;
    int dataSize_ = 0;
    int capacity_ = 0;
    bool isWrapped_ = false;
    RenderLineMode renderMode_ = RenderLineMode::single;
    BidiPresentationState bidiState_;
    std::vector<SemanticMark> semanticMarks_;
    std::optional<uint64_t> semanticHardContinuationGroup_;
    std::weak_ptr<Buffer*> owningBuffer_;
    uint64_t recycleGeneration_ = 0;
    uint64_t generation_ = 0;
    uint64_t id_ = nextId();
    CharData fillCharacter_;
    std::unique_ptr<TerminalImageList> images_;
};

using BufferLinePtr = std::shared_ptr<BufferLine>;

}  // namespace ravelgrid
