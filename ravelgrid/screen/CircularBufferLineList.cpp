#include "ravelgrid/screen/CircularBufferLineList.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/Log.h"

namespace ravelgrid {

namespace {

constexpr size_t minimumStorage = 64;

[[noreturn]] void programmingError(const std::string& message)
{
    platform::logError("ravelgrid", "CircularBufferLineList: " + message);
    std::abort();
}

}  // namespace

CircularBufferLineList::CircularBufferLineList(int maxLength) : maxLength_(std::max(maxLength, 0))
{}

void CircularBufferLineList::ensureStorage(int needed)
{
    if (needed <= static_cast<int>(array_.size()))
        return;
    // Grow geometrically towards maxLength so pushes stay amortised O(1) and
    // a huge scrollback is only paid for once it fills.
    size_t target = std::max({static_cast<size_t>(needed), array_.size() * 2, minimumStorage});
    target = std::min(target, static_cast<size_t>(maxLength_));
    relayout(target);
}

void CircularBufferLineList::relayout(size_t newSize)
{
    std::vector<BufferLinePtr> fresh(newSize);
    const size_t keep = std::min(newSize, array_.size());
    for (size_t i = 0; i < keep; ++i)
        fresh[i] = std::move(raw(static_cast<int>(i)));
    array_ = std::move(fresh);
    startIndex_ = 0;
}

void CircularBufferLineList::setCount(int n)
{
    if (n > maxLength_)
        programmingError("count " + std::to_string(n) + " exceeds maxLength " + std::to_string(maxLength_));
    n = std::max(n, 0);
    ensureStorage(n);
    count_ = n;
}

void CircularBufferLineList::setMaxLength(int newMaxLength)
{
    newMaxLength = std::max(newMaxLength, 0);
    if (newMaxLength == maxLength_)
        return;
    maxLength_ = newMaxLength;
    // A larger capacity keeps the storage as it is (it grows on demand); a
    // smaller one keeps the first lines in logical order.
    if (array_.size() > static_cast<size_t>(maxLength_))
        relayout(static_cast<size_t>(maxLength_));
    count_ = std::min(count_, maxLength_);
}

const BufferLinePtr& CircularBufferLineList::get(int i)
{
    if (i < 0 || i >= count_) {
        platform::logDebug("ravelgrid",
                           "CircularBufferLineList: row " + std::to_string(i) + " outside 0..count-1, clamped");
        i = std::clamp(i, 0, std::max(count_ - 1, 0));
    }
    if (array_.empty()) {
        if (maxLength_ == 0)
            programmingError("access through a ring with zero capacity");
        ensureStorage(1);
    }
    BufferLinePtr& p = raw(i);
    if (!p) {
        if (!makeEmpty)
            programmingError("empty slot and no makeEmpty function");
        p = makeEmpty(slot(i));
    }
    return p;
}

void CircularBufferLineList::set(int i, BufferLinePtr line)
{
    if (i < 0 || i >= maxLength_ || !line) {
        platform::logWarning("ravelgrid", "CircularBufferLineList: ignored a store at row " + std::to_string(i));
        return;
    }
    ensureStorage(i + 1);
    BufferLine& attached = *line;
    raw(i) = std::move(line);
    if (onLineAttached)
        onLineAttached(attached);
}

void CircularBufferLineList::push(BufferLinePtr line)
{
    if (!line)
        return;
    if (maxLength_ == 0)
        programmingError("push into a ring with zero capacity");
    if (onLineAttached)
        onLineAttached(*line);
    const bool hasImages = line->hasImages();
    if (count_ < maxLength_) {
        ensureStorage(count_ + 1);
        raw(count_) = std::move(line);
        ++count_;
    } else {
        // Full: the new line takes the oldest line's slot and the start rotates.
        BufferLinePtr& oldest = raw(0);
        const bool droppedImages = oldest && oldest->hasImages();
        oldest = std::move(line);
        startIndex_ = (startIndex_ + 1) % static_cast<int>(array_.size());
        if (droppedImages && onLineDropped)
            onLineDropped(true);
    }
    if (onLinePushed)
        onLinePushed(hasImages);
}

BufferLine& CircularBufferLineList::recycle(const Attribute& attribute)
{
    if (count_ != maxLength_ || maxLength_ == 0)
        programmingError("recycle on a ring that is not full");
    startIndex_ = (startIndex_ + 1) % static_cast<int>(array_.size());
    BufferLine& line = *get(count_ - 1);
    // Blanked lazily: the print path writes a compact line's cells without
    // filling the rest of the row first.
    const bool hadImages = line.resetForReuse(attribute, true);
    if (onLineRecycled)
        onLineRecycled(hadImages);
    return line;
}

void CircularBufferLineList::dropFront(int n)
{
    n = std::clamp(n, 0, count_);
    if (n == 0)
        return;
    for (int i = 0; i < n; ++i) {
        BufferLinePtr& p = raw(i);
        if (p && p->hasImages() && onLineDropped)
            onLineDropped(true);
        p.reset();  // the memory of dropped rows is released right away
    }
    startIndex_ = (startIndex_ + n) % static_cast<int>(array_.size());
    count_ -= n;
}

void CircularBufferLineList::trimStart(int n)
{
    dropFront(n);
}

bool CircularBufferLineList::shiftElements(int start, int count, int offset)
{
    auto fail = [&](const char* message) {
        platform::logWarning("ravelgrid", "Assertion at start=" + std::to_string(start) +
                                              " count=" + std::to_string(count) + " offset=" + std::to_string(offset) +
                                              ": " + message);
        return false;
    };
    if (count < 0)
        return fail("count < 0");
    if (start < 0)
        return fail("");
    if (start >= count_)
        return fail("start >= self.count");
    if (start + offset <= 0)
        return fail("start+offset <= 0");

    // Lines past the end hold nothing worth moving.
    count = std::min(count, count_ - start);
    if (offset > 0) {
        const long long needed = static_cast<long long>(start) + count + offset;
        if (needed <= maxLength_) {
            ensureStorage(static_cast<int>(needed));
            for (int i = count - 1; i >= 0; --i)
                raw(start + i + offset) = raw(start + i);
            count_ = std::max(count_, static_cast<int>(needed));
        } else {
            // Past the capacity the oldest lines of the result fall out.
            std::vector<BufferLinePtr> result(static_cast<size_t>(needed));
            for (int i = 0; i < count_ && i < needed; ++i)
                result[static_cast<size_t>(i)] = raw(i);
            for (int i = count - 1; i >= 0; --i)
                result[static_cast<size_t>(start + i + offset)] = raw(start + i);
            const size_t excess = static_cast<size_t>(needed - maxLength_);
            ensureStorage(maxLength_);
            startIndex_ = 0;
            for (size_t i = 0; i < excess; ++i)
                if (result[i] && result[i]->hasImages() && onLineDropped)
                    onLineDropped(true);
            for (size_t i = excess; i < result.size(); ++i)
                array_[i - excess] = std::move(result[i]);
            count_ = maxLength_;
        }
    } else {
        for (int i = 0; i < count; ++i)
            raw(start + i + offset) = raw(start + i);
    }
    return true;
}

void CircularBufferLineList::splice(int start, int deleteCount, std::span<const BufferLinePtr> items,
                                    RowDirtySink* dirty)
{
    auto markDirty = [&](int row) {
        if (dirty != nullptr && row >= 0)
            dirty->markSplicedRowDirty(row);
    };
    start = std::clamp(start, 0, count_);
    deleteCount = std::clamp(deleteCount, 0, count_ - start);

    if (deleteCount > 0) {
        for (int i = start; i < start + deleteCount; ++i) {
            const BufferLine* gone = peek(i);
            if (gone != nullptr && gone->hasImages() && onLineDropped)
                onLineDropped(true);
        }
        for (int i = start; i < count_ - deleteCount; ++i) {
            raw(i) = raw(i + deleteCount);
            markDirty(i);
        }
        count_ -= deleteCount;
    }

    // When the result would not fit, the oldest lines of the result fall out
    // first, so the remaining order is exactly old[..start) items old[start..).
    const long long total = static_cast<long long>(count_) + static_cast<long long>(items.size());
    if (total > maxLength_) {
        const long long excess = total - maxLength_;
        if (excess <= start) {
            dropFront(static_cast<int>(excess));
            start -= static_cast<int>(excess);
        } else {
            dropFront(start);
            items = items.subspan(static_cast<size_t>(excess - start));
            start = 0;
        }
    }

    const int k = static_cast<int>(items.size());
    if (k == 0)
        return;
    ensureStorage(count_ + k);
    for (int i = count_ - 1; i >= start; --i) {
        raw(i + k) = raw(i);
        markDirty(i + k);
    }
    for (int j = 0; j < k; ++j) {
        if (onLineAttached && items[static_cast<size_t>(j)])
            onLineAttached(*items[static_cast<size_t>(j)]);
        raw(start + j) = items[static_cast<size_t>(j)];
        markDirty(start + j);
    }
    count_ += k;
}

}  // namespace ravelgrid
