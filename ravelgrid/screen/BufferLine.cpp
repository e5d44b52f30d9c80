#include "ravelgrid/screen/BufferLine.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/Log.h"
#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/screen/Utf8.h"

namespace ravelgrid {

namespace {

void copyCells(CharData* dst, const CharData* src, int n)
{
    if (n > 0)
        std::memmove(static_cast<void*>(dst), static_cast<const void*>(src), static_cast<size_t>(n) * sizeof(CharData));
}

// Doubling block copies: a plain per-cell loop compiles to stores that stall
// on store forwarding and runs several times slower.
void fillCells(CharData* dst, const CharData& cell, int n)
{
    if (n <= 0)
        return;
    dst[0] = cell;
    for (int filled = 1; filled < n;) {
        const int k = std::min(filled, n - filled);
        std::memcpy(static_cast<void*>(dst + filled), static_cast<const void*>(dst), static_cast<size_t>(k) * sizeof(CharData));
        filled += k;
    }
}

void stableSortMarks(std::vector<SemanticMark>& marks)
{
    std::stable_sort(marks.begin(), marks.end(),
                     [](const SemanticMark& a, const SemanticMark& b) { return a.column < b.column; });
}

std::atomic<uint64_t> lineIds{1};

}  // namespace

uint64_t BufferLine::nextId()
{
    return lineIds.fetch_add(1, std::memory_order_relaxed);
}

BufferLine::BufferLine(int cols, std::optional<CharData> fillData, bool isWrapped, BidiPresentationState bidiState)
    : isWrapped_(isWrapped), bidiState_(bidiState), fillCharacter_(fillData.value_or(CharData::Null))
{
    const int n = std::max(cols, 0);
    // Never less than one allocated cell, so a clamped read always has a target.
    capacity_ = std::max(n, 1);
    data_ = std::make_unique<CharData[]>(static_cast<size_t>(capacity_));
    dataSize_ = n;
    fillCells(data_.get(), fillCharacter_, capacity_);
}

BufferLine::BufferLine(const BufferLine& other)
    : std::enable_shared_from_this<BufferLine>(),
      isWrapped_(other.isWrapped_),
      renderMode_(other.renderMode_),
      bidiState_(other.bidiState_),
      semanticMarks_(other.semanticMarks_),
      semanticHardContinuationGroup_(other.semanticHardContinuationGroup_),
      fillCharacter_(other.fillCharacter_)
{
    capacity_ = std::max(other.dataSize_, 1);
    data_ = std::make_unique<CharData[]>(static_cast<size_t>(capacity_));
    dataSize_ = other.dataSize_;
    copyCells(data_.get(), other.data_.get(), dataSize_);
    if (other.images_)
        images_ = std::make_unique<TerminalImageList>(*other.images_);
}

void BufferLine::reallocate(int capacity, int keep)
{
    capacity = std::max(capacity, 1);
    auto fresh = std::make_unique<CharData[]>(static_cast<size_t>(capacity));
    copyCells(fresh.get(), data_.get(), std::min({keep, capacity, capacity_}));
    data_ = std::move(fresh);
    capacity_ = capacity;
}

void BufferLine::set(int col, const CharData& cell)
{
    if (col >= dataSize_ || col < 0) {
        platform::logWarning("ravelgrid",
                             "BufferLine: You passed an index out of range, adjusting to prevent crash, but you should debug");
        if (dataSize_ == 0)
            return;
        col = col < 0 ? 0 : dataSize_ - 1;
    }
    data_[col] = cell;
    ++generation_;
}

bool BufferLine::cellHasContent(int col) const
{
    const CharData& c = (*this)[col];
    const Attribute& a = c.attribute;
    return c.code != 0 || !a.style.isEmpty() || !a.fg.isDefault() || !a.bg.isDefault() ||
           a.underlineStyle != UnderlineStyle::none || a.underlineColor.has_value();
}

bool BufferLine::hasAnyContent() const
{
    for (int i = 0; i < dataSize_; ++i)
        if (cellHasContent(i))
            return true;
    return false;
}

std::vector<CharData> BufferLine::cells() const
{
    return {data_.get(), data_.get() + dataSize_};
}

int BufferLine::trimmedLength() const
{
    int i = dataSize_ - 1;
    // Four cells a step over the blank tail: search and copy call this for
    // every row of the scrollback.
    while (i >= 3 && (data_[i].code | data_[i - 1].code | data_[i - 2].code | data_[i - 3].code) == 0)
        i -= 4;
    for (; i >= 0; --i)
        if (data_[i].code != 0)
            return i + data_[i].width;
    return 0;
}

void BufferLine::fill(const CharData& cell)
{
    fillCells(data_.get(), cell, capacity_);
    ++generation_;
}

void BufferLine::fillRange(const CharData& cell, int from, int endExclusive)
{
    from = std::max(from, 0);
    const int end = std::min(endExclusive, dataSize_);
    if (from < end)
        fillCells(data_.get() + from, cell, end - from);
    ++generation_;
}

void BufferLine::fillCount(const CharData& cell, int atCol, int len)
{
    if (len < 0) {
        platform::logError("ravelgrid", "BufferLine: fill with a negative count");
        std::abort();
    }
    atCol = std::clamp(atCol, 0, dataSize_);
    fillRange(cell, atCol, atCol + std::min(len, dataSize_ - atCol));
}

void BufferLine::insertCells(int pos, int n, int rightMargin, const CharData& fillData)
{
    if (dataSize_ == 0 || n <= 0) {
        ++generation_;
        return;
    }
    const int len = std::clamp(rightMargin, 0, dataSize_ - 1) + 1;
    const int p = std::max(pos, 0) % len;
    if (n < len - p) {
        copyCells(data_.get() + p + n, data_.get() + p, len - p - n);
        fillCells(data_.get() + p, fillData, n);
    } else {
        fillCells(data_.get() + p, fillData, len - p);
    }
    ++generation_;
    shiftSemanticMarks(p, n, len - 1);
}

void BufferLine::deleteCells(int pos, int n, int rightMargin, const CharData& fillData)
{
    if (dataSize_ == 0 || n <= 0) {
        ++generation_;
        return;
    }
    const int len = std::clamp(rightMargin, 0, dataSize_ - 1) + 1;
    const int p = std::max(pos, 0) % len;
    if (n < len - p) {
        copyCells(data_.get() + p, data_.get() + p + n, len - p - n);
        fillCells(data_.get() + len - n, fillData, n);
    } else {
        fillCells(data_.get() + p, fillData, len - p);
    }
    ++generation_;
    shiftSemanticMarks(p, -n, len - 1);
}

void BufferLine::shiftSemanticMarks(int lower, int delta, int upper)
{
    if (delta == 0 || semanticMarks_.empty())
        return;
    for (auto& m : semanticMarks_) {
        if (m.column >= lower && m.column <= upper) {
            const long long moved = static_cast<long long>(m.column) + delta;
            m.column = static_cast<int>(std::clamp<long long>(moved, lower, upper));
        }
    }
    ++generation_;
}

void BufferLine::resize(int cols, const CharData& fillData)
{
    const int n = std::max(cols, 0);
    if (n == dataSize_)
        return;
    if (n < dataSize_) {
        reallocate(n, n);
        if (n < 1) {
            semanticMarks_.clear();
        } else {
            for (auto& m : semanticMarks_)
                m.column = std::clamp(m.column, 0, n - 1);
        }
    } else {
        reallocate(n, dataSize_);
        fillCells(data_.get() + dataSize_, fillData, n - dataSize_);
    }
    dataSize_ = n;
    ++generation_;
}

void BufferLine::copyFrom(const BufferLine& line)
{
    if (&line == this)
        return;
    if (capacity_ < line.dataSize_) {
        data_ = std::make_unique<CharData[]>(static_cast<size_t>(std::max(line.dataSize_, 1)));
        capacity_ = std::max(line.dataSize_, 1);
    }
    copyCells(data_.get(), line.data_.get(), line.dataSize_);
    dataSize_ = line.dataSize_;
    isWrapped_ = line.isWrapped_;
    semanticMarks_ = line.semanticMarks_;
    semanticHardContinuationGroup_ = line.semanticHardContinuationGroup_;
    bidiState_ = line.bidiState_;
    ++generation_;
}

void BufferLine::copyCellsFrom(BufferLine& src, int srcCol, int dstCol, int len)
{
    // Keep both ranges inside their lines whatever the caller computed.
    if (srcCol < 0 || dstCol < 0)
        return;
    len = std::min({len, src.dataSize_ - srcCol, dataSize_ - dstCol});
    if (len <= 0)
        return;

    const bool sameLine = &src == this;
    const bool wholeLine = srcCol == 0 && dstCol == 0 && len >= dataSize_;
    const auto srcHardGroup = src.semanticHardContinuationGroup_;

    copyCells(data_.get() + dstCol, src.data_.get() + srcCol, len);

    const int srcEnd = srcCol + len - 1;
    const int dstEnd = dstCol + len - 1;
    std::vector<SemanticMark> moved;
    for (const auto& m : src.semanticMarks_)
        if (m.column >= srcCol && m.column <= srcEnd)
            moved.push_back(m);

    std::optional<Buffer::PromptMark> anchor;
    Buffer* owner = moved.empty() ? nullptr : owningBuffer();
    if (owner != nullptr)
        anchor = owner->currentPromptMark();

    auto inRange = [](int c, int lo, int hi) { return c >= lo && c <= hi; };
    if (sameLine) {
        std::erase_if(semanticMarks_, [&](const SemanticMark& m) {
            return inRange(m.column, srcCol, srcEnd) || inRange(m.column, dstCol, dstEnd);
        });
    } else {
        const auto before = src.semanticMarks_.size();
        std::erase_if(src.semanticMarks_, [&](const SemanticMark& m) { return inRange(m.column, srcCol, srcEnd); });
        if (src.semanticMarks_.size() != before)
            ++src.generation_;
        std::erase_if(semanticMarks_, [&](const SemanticMark& m) { return inRange(m.column, dstCol, dstEnd); });
    }

    bool movedAnchor = false;
    for (const auto& m : moved) {
        const bool isAnchor =
            anchor && anchor->line.get() == &src && anchor->kind == m.kind && anchor->column == m.column;
        if (isAnchor) {
            const bool thisIsAnchorLine = anchor->line.get() == this;
            std::erase_if(semanticMarks_, [&](const SemanticMark& x) {
                return x.kind == m.kind && !(thisIsAnchorLine && x.column == anchor->column);
            });
            movedAnchor = true;
        }
        semanticMarks_.push_back({m.kind, m.column - srcCol + dstCol, m.group});
    }
    if (!moved.empty())
        stableSortMarks(semanticMarks_);

    if (movedAnchor && owner != nullptr) {
        if (auto self = weak_from_this().lock())
            owner->semanticPromptStartLine = std::move(self);
    }

    if (wholeLine) {
        semanticHardContinuationGroup_ = srcHardGroup;
        if (!sameLine) {
            src.semanticHardContinuationGroup_.reset();
            ++src.generation_;
        }
    }
    ++generation_;
}

void BufferLine::setWrapped(bool wrapped)
{
    isWrapped_ = wrapped;
    ++generation_;
}

void BufferLine::setBidiState(const BidiPresentationState& state)
{
    bidiState_ = state;
    ++generation_;
}

void BufferLine::setRenderMode(RenderLineMode mode)
{
    renderMode_ = mode;
    ++generation_;
}

void BufferLine::setSemanticMark(SemanticPromptKind kind, int column, uint64_t group)
{
    std::erase_if(semanticMarks_, [&](const SemanticMark& m) { return m.kind == kind; });
    semanticMarks_.push_back({kind, column, group});
    stableSortMarks(semanticMarks_);
    ++generation_;
}

void BufferLine::clearSemanticMarks()
{
    semanticMarks_.clear();
    semanticHardContinuationGroup_.reset();
    ++generation_;
}

void BufferLine::setSemanticHardContinuationGroup(std::optional<uint64_t> group)
{
    semanticHardContinuationGroup_ = group;
    ++generation_;
}

void BufferLine::setImages(std::optional<TerminalImageList> images)
{
    if (images && !images->empty())
        images_ = std::make_unique<TerminalImageList>(std::move(*images));
    else
        images_.reset();
    ++generation_;
}

Buffer* BufferLine::owningBuffer() const
{
    if (auto p = owningBuffer_.lock())
        return *p;
    return nullptr;
}

bool BufferLine::resetForReuse(const Attribute& attribute)
{
    const bool hadImages = images_ != nullptr;
    CharData blank;
    blank.attribute = attribute;
    fillCells(data_.get(), blank, dataSize_);
    images_.reset();
    ++recycleGeneration_;
    semanticMarks_.clear();
    semanticHardContinuationGroup_.reset();
    isWrapped_ = false;
    ++generation_;
    return hadImages;
}

std::string BufferLine::toText(bool trimRight, int startCol, int endCol, bool skipNullCellsFollowingWide,
                               const CharacterProvider& characterProvider) const
{
    int end = endCol == -1 ? dataSize_ : std::min(endCol, dataSize_);
    const int start = std::max(startCol, 0);
    if (trimRight)
        end = std::max(std::min(trimmedLength(), end), start);
    std::string out;
    out.reserve(static_cast<size_t>(std::max(end - start, 0)));
    for (int i = start; i < end; ++i) {
        const CharData& cell = data_[i];
        if (skipNullCellsFollowingWide && cell.code == 0 && i > 0 && data_[i - 1].width == 2)
            continue;
        if (characterProvider) {
            out += characterProvider(cell);
        } else {
            utf8::append(out, cell.getCharacter());
        }
    }
    return out;
}

std::string BufferLine::debugDescription() const
{
    std::string out;
    for (int i = 0; i < dataSize_; ++i)
        utf8::append(out, data_[i].getCharacter());
    return out;
}

}  // namespace ravelgrid
