#pragma once

#include <functional>
#include <span>
#include <vector>

#include "ravelgrid/screen/BufferLine.h"

namespace ravelgrid {

// Receives the rows a splice rewrote, so the Terminal can widen its dirty
// ranges (the screen-row pair with the row, the scroll-invariant pair with
// the row plus the active buffer's yDisp).
class RowDirtySink {
public:
    virtual ~RowDirtySink() = default;
    virtual void markSplicedRowDirty(int row) = 0;
};

// All lines of one screen buffer (scrollback plus screen) in a ring with a
// fixed logical capacity (maxLength). Logical line 0 is the oldest. Once the
// ring is full, push() and recycle() rotate the start instead of moving
// lines, and neither allocates. Slot storage grows lazily towards maxLength,
// so a huge scrollback costs nothing until it is used.
class CircularBufferLineList {
public:
    explicit CircularBufferLineList(int maxLength);

    int count() const { return count_; }
    // Raising the count past maxLength is a programming error; slots beyond
    // the old count that hold no line are materialised lazily on access.
    void setCount(int n);
    int maxLength() const { return maxLength_; }
    // Re-lays the storage in logical order; keeps at most maxLength lines.
    void setMaxLength(int newMaxLength);
    bool isFull() const { return count_ == maxLength_; }
    // Storage position of logical line 0 (informational).
    int startIndex() const { return startIndex_; }
    // Slots allocated so far, and a slot by its storage index (debugging views).
    int storageCount() const { return static_cast<int>(array_.size()); }
    const BufferLine* storageSlot(int s) const
    {
        return s >= 0 && s < storageCount() ? array_[static_cast<size_t>(s)].get() : nullptr;
    }

    // The line at logical index i, made by makeEmpty when the slot is empty.
    const BufferLinePtr& get(int i);
    BufferLine& operator[](int i) { return *get(i); }
    // The line at logical index i without materialising an empty slot.
    // Inline: the print path looks up the cursor's line after every move.
    const BufferLine* peek(int i) const
    {
        if (i < 0 || i >= count_ || array_.empty())
            return nullptr;
        return array_[static_cast<size_t>(slot(i))].get();
    }
    // Stores a line at logical index i (i < count), then onLineAttached.
    void set(int i, BufferLinePtr line);

    // Appends a line; on a full ring the oldest line is dropped.
    void push(BufferLinePtr line);
    // Full ring only: the oldest line object is refilled blank with the
    // attribute and becomes the last line. Returns it.
    BufferLine& recycle(const Attribute& attribute);
    // Drops the n oldest lines.
    void trimStart(int n);

    // Moves lines start..start+count-1 by offset positions. Bad arguments log
    // an assertion line and return false without moving anything.
    bool shiftElements(int start, int count, int offset);
    // Deletes deleteCount lines at start and inserts items there. When the
    // result would exceed maxLength the oldest lines are dropped.
    void splice(int start, int deleteCount, std::span<const BufferLinePtr> items, RowDirtySink* dirty);

    std::function<BufferLinePtr(int)> makeEmpty;
    std::function<void(bool hadImages)> onLineRecycled;
    std::function<void(bool hasImages)> onLinePushed;
    std::function<void(BufferLine&)> onLineAttached;
    // Called for every line that leaves the ring because it overflowed.
    std::function<void(bool hadImages)> onLineDropped;

private:
    // Callers pass 0 <= i < storage size, so one subtraction wraps it (a
    // division here cost more than the rest of a scroll).
    int slot(int i) const
    {
        const long long s = static_cast<long long>(startIndex_) + i;
        const auto size = static_cast<long long>(array_.size());
        return static_cast<int>(s >= size ? s - size : s);
    }
    BufferLinePtr& raw(int i) { return array_[static_cast<size_t>(slot(i))]; }
    void ensureStorage(int needed);
    void relayout(size_t newSize);
    void dropFront(int n);

    std::vector<BufferLinePtr> array_;
    int startIndex_ = 0;
    int count_ = 0;
    int maxLength_ = 0;
};

}  // namespace ravelgrid
