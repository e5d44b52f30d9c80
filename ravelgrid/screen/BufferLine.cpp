#include "ravelgrid/screen/BufferLine.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
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

// Bytewise equality: cells of one run are copies of one another, so this
// finds them; padding that differs only keeps a cell more than needed.
bool sameBytes(const CharData& a, const CharData& b)
{
    return std::memcmp(static_cast<const void*>(&a), static_cast<const void*>(&b), sizeof(CharData)) == 0;
}

static_assert(sizeof(CharData) == 24 && offsetof(CharData, semanticContentCode) == 8 && offsetof(CharData, attribute) == 9,
              "sameFields reads bytes 8..23 as the semantic code and the attribute");

// Equal but for the code: cells that can share one packed run. Bytewise
// first (cells of one run are copies of one another), by member after.
bool sameFields(const CharData& a, const CharData& b)
{
    if (a.width != b.width || a.payload.code != b.payload.code)
        return false;
    uint64_t a1, a2, b1, b2;
    std::memcpy(&a1, reinterpret_cast<const char*>(&a) + 8, 8);
    std::memcpy(&a2, reinterpret_cast<const char*>(&a) + 16, 8);
    std::memcpy(&b1, reinterpret_cast<const char*>(&b) + 8, 8);
    std::memcpy(&b2, reinterpret_cast<const char*>(&b) + 16, 8);
    if (a1 == b1 && a2 == b2)
        return true;
    return a.semanticContentCode == b.semanticContentCode && a.attribute == b.attribute;
}

// Packed cells: this header, the runs of cells whose fields other than the
// code are equal, then each cell's code in codeBytes bytes. Read and written
// with memcpy, so the block needs no alignment.
struct PackedHeader {
    uint32_t cells;
    uint32_t runs;
    uint32_t codeBytes;
};
struct PackedRun {
    uint32_t end;    // one past the run's last cell
    CharData proto;  // the run's fields (its code is unused)
};

size_t packedBytes(size_t cells, size_t runs, size_t codeBytes)
{
    return sizeof(PackedHeader) + runs * sizeof(PackedRun) + cells * codeBytes;
}

PackedHeader packedHeader(const std::byte* block)
{
    PackedHeader h;
    std::memcpy(&h, block, sizeof h);
    return h;
}

PackedRun packedRun(const std::byte* block, size_t r)
{
    PackedRun run;
    std::memcpy(static_cast<void*>(&run), block + sizeof(PackedHeader) + r * sizeof(PackedRun), sizeof run);
    return run;
}

int32_t packedCode(const std::byte* block, const PackedHeader& h, size_t i)
{
    const std::byte* p = block + sizeof(PackedHeader) + h.runs * sizeof(PackedRun) + i * h.codeBytes;
    if (h.codeBytes == 1)
        return static_cast<int32_t>(std::to_integer<uint8_t>(p[0]));
    if (h.codeBytes == 2) {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return v;
    }
    int32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Cell i of a packed block.
CharData packedCell(const std::byte* block, size_t i)
{
    const PackedHeader h = packedHeader(block);
    size_t lo = 0, hi = h.runs - 1;
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (packedRun(block, mid).end <= i)
            lo = mid + 1;
        else
            hi = mid;
    }
    CharData cell = packedRun(block, lo).proto;
    cell.code = packedCode(block, h, i);
    return cell;
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
    : isWrapped_(isWrapped), bidiState_(bidiState)
{
    // Made compact: one cell stands for the blank row (and is the target of
    // a clamped read), so blank rows cost no more than that until written.
    capacity_ = 1;
    data_ = std::make_unique<CharData[]>(1);
    data_[0] = fillData.value_or(CharData::Null);
    dataSize_ = std::max(cols, 0);
    stored_ = std::min(dataSize_, 1);
}

BufferLine::BufferLine(const BufferLine& other)
    : std::enable_shared_from_this<BufferLine>(),
      isWrapped_(other.isWrapped_),
      renderMode_(other.renderMode_),
      bidiState_(other.bidiState_),
      semanticMarks_(other.semanticMarks_),
      semanticHardContinuationGroup_(other.semanticHardContinuationGroup_)
{
    other.unpack();
    capacity_ = std::max(other.stored_, 1);
    data_ = std::make_unique<CharData[]>(static_cast<size_t>(capacity_));
    dataSize_ = other.dataSize_;
    stored_ = other.stored_;
    copyCells(data_.get(), other.data_.get(), stored_);
    if (other.images_)
        images_ = std::make_unique<TerminalImageList>(*other.images_);
}

void BufferLine::reallocate(int capacity, int keep) const
{
    capacity = std::max(capacity, 1);
    auto fresh = std::make_unique<CharData[]>(static_cast<size_t>(capacity));
    copyCells(fresh.get(), data_.get(), std::min({keep, capacity, capacity_}));
    data_ = std::move(fresh);
    capacity_ = capacity;
}

void BufferLine::unpackSlow() const
{
    const std::byte* block = packed_.get();
    const PackedHeader h = packedHeader(block);
    const int n = static_cast<int>(h.cells);
    auto cells = std::make_unique<CharData[]>(static_cast<size_t>(std::max(n, 1)));
    size_t r = 0;
    PackedRun run = packedRun(block, 0);
    for (int i = 0; i < n; ++i) {
        while (static_cast<uint32_t>(i) >= run.end && r + 1 < h.runs)
            run = packedRun(block, ++r);
        cells[i] = run.proto;
        cells[i].code = packedCode(block, h, static_cast<size_t>(i));
    }
    data_ = std::move(cells);
    capacity_ = std::max(n, 1);
    stored_ = n;
    packed_.reset();
}

const CharData& BufferLine::readSlow(int col) const
{
    unpack();
    return data_[clampRead(col)];
}

bool BufferLine::pack(BufferLine* spare)
{
    const int n = stored_;
    if (n < 1)
        return false;
    int32_t maxCode = 0;
    bool negative = false;
    size_t runs = 1;
    for (int i = 0; i < n; ++i) {
        const int32_t c = data_[i].code;
        negative = negative || c < 0;
        maxCode = std::max(maxCode, c);
        if (i > 0 && !sameFields(data_[i - 1], data_[i]))
            ++runs;
    }
    const size_t codeBytes = negative || maxCode > 0xFFFF ? 4 : maxCode > 0xFF ? 2 : 1;
    const size_t bytes = packedBytes(static_cast<size_t>(n), runs, codeBytes);
    if (bytes >= static_cast<size_t>(n) * sizeof(CharData))
        return false;

    // A spare's packed block that fits (without much waste) is reused.
    std::unique_ptr<std::byte[]> block;
    size_t blockBytes = bytes;
    if (spare != nullptr && spare != this && spare->packed_ && static_cast<size_t>(spare->capacity_) >= bytes &&
        static_cast<size_t>(spare->capacity_) <= bytes + bytes / 2 + 32) {
        block = std::move(spare->packed_);
        blockBytes = static_cast<size_t>(spare->capacity_);
    } else {
        block.reset(new std::byte[bytes]);
    }

    const PackedHeader h{static_cast<uint32_t>(n), static_cast<uint32_t>(runs), static_cast<uint32_t>(codeBytes)};
    std::memcpy(block.get(), &h, sizeof h);
    std::byte* runOut = block.get() + sizeof(PackedHeader);
    std::byte* codeOut = runOut + runs * sizeof(PackedRun);
    PackedRun run{0, data_[0]};
    run.proto.code = 0;
    for (int i = 0; i < n; ++i) {
        if (i > 0 && !sameFields(data_[i - 1], data_[i])) {
            run.end = static_cast<uint32_t>(i);
            std::memcpy(runOut, static_cast<const void*>(&run), sizeof run);
            runOut += sizeof run;
            run.proto = data_[i];
            run.proto.code = 0;
        }
        const int32_t c = data_[i].code;
        if (codeBytes == 1) {
            *codeOut = static_cast<std::byte>(c);
        } else if (codeBytes == 2) {
            const auto v = static_cast<uint16_t>(c);
            std::memcpy(codeOut, &v, 2);
        } else {
            std::memcpy(codeOut, &c, 4);
        }
        codeOut += codeBytes;
    }
    run.end = static_cast<uint32_t>(n);
    std::memcpy(runOut, static_cast<const void*>(&run), sizeof run);

    // The cell storage goes to a spare that has none or less; the spare is
    // about to be refilled, so its content does not matter.
    if (spare != nullptr && spare != this && (!spare->data_ || spare->capacity_ < capacity_)) {
        spare->packed_.reset();
        spare->data_ = std::move(data_);
        spare->capacity_ = capacity_;
        spare->stored_ = std::min(spare->dataSize_, spare->capacity_);
        if (spare->stored_ == 0 && spare->dataSize_ > 0)
            spare->stored_ = 1;
    } else {
        data_.reset();
    }
    packed_ = std::move(block);
    capacity_ = static_cast<int>(blockBytes);
    return true;
}

void BufferLine::expandSlow() const
{
    unpack();
    if (stored_ == dataSize_)
        return;
    // stored_ >= 1 here: a compact line keeps at least its tail cell.
    const CharData tail = data_[stored_ - 1];
    if (capacity_ < dataSize_)
        reallocate(dataSize_, stored_);
    fillCells(data_.get() + stored_, tail, dataSize_ - stored_);
    stored_ = dataSize_;
}

void BufferLine::storeThroughSlow(int end) const
{
    unpack();
    const int want = std::min(end + 1, dataSize_);
    if (stored_ >= want)
        return;
    // stored_ >= 1 here, as in expandSlow. Growth is geometric: a reflow
    // joins a row a few cells at a time.
    const CharData tail = data_[stored_ - 1];
    if (capacity_ < want)
        reallocate(std::clamp(capacity_ * 2, want, dataSize_), stored_);
    fillCells(data_.get() + stored_, tail, want - stored_);
    stored_ = want;
}

void BufferLine::compact(BufferLine* spare)
{
    if (packed_ || stored_ < 1)
        return;
    const CharData& tail = data_[stored_ - 1];
    int keep = stored_;
    while (keep > 1 && (sameBytes(data_[keep - 2], tail) || data_[keep - 2] == tail))
        --keep;
    stored_ = keep;
    if (pack(spare) || capacity_ == keep)
        return;
    const bool trade = spare != nullptr && spare != this && spare->data_ && spare->capacity_ < capacity_;
    if (!trade) {
        reallocate(keep, keep);
        return;
    }
    // The spare takes the full-width storage and, when its own fits without
    // much waste, gives it in return.
    if (spare->capacity_ >= keep && spare->capacity_ <= keep + keep / 2 + 4) {
        copyCells(spare->data_.get(), data_.get(), keep);
        std::swap(data_, spare->data_);
        std::swap(capacity_, spare->capacity_);
    } else {
        auto fresh = std::make_unique<CharData[]>(static_cast<size_t>(keep));
        copyCells(fresh.get(), data_.get(), keep);
        spare->data_ = std::move(data_);
        spare->capacity_ = capacity_;
        data_ = std::move(fresh);
        capacity_ = keep;
    }
    spare->stored_ = std::min(spare->dataSize_, spare->capacity_);
    if (spare->stored_ == 0 && spare->dataSize_ > 0)
        spare->stored_ = 1;
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
    expand();
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
    for (int i = 0; i < stored_; ++i)
        if (cellHasContent(i))
            return true;
    return false;
}

std::vector<CharData> BufferLine::cells() const
{
    unpack();
    std::vector<CharData> out(data_.get(), data_.get() + stored_);
    if (stored_ > 0)
        out.resize(static_cast<size_t>(dataSize_), data_[stored_ - 1]);
    return out;
}

int BufferLine::trimmedLength() const
{
    if (packed_) {
        // Read from the packed codes: reflow asks this of every line.
        const PackedHeader h = packedHeader(packed_.get());
        for (int i = stored_ - 1; i >= 0; --i) {
            if (packedCode(packed_.get(), h, static_cast<size_t>(i)) != 0) {
                const int width = packedCell(packed_.get(), static_cast<size_t>(i)).width;
                return i == stored_ - 1 && stored_ < dataSize_ ? dataSize_ - 1 + width : i + width;
            }
        }
        return 0;
    }
    if (stored_ < dataSize_ && data_[stored_ - 1].code != 0)
        return dataSize_ - 1 + data_[stored_ - 1].width;
    int i = stored_ - 1;
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
    // Filled in place when the storage holds the row (writes usually follow
    // an erase); otherwise one cell stands for the whole row.
    dropPacked();
    if (capacity_ >= dataSize_) {
        fillCells(data_.get(), cell, dataSize_);
        stored_ = dataSize_;
    } else {
        data_[0] = cell;
        stored_ = std::min(dataSize_, 1);
    }
    ++generation_;
}

void BufferLine::fillRange(const CharData& cell, int from, int endExclusive)
{
    from = std::max(from, 0);
    const int end = std::min(endExclusive, dataSize_);
    if (from == 0 && end == dataSize_ && end > 0) {
        fill(cell);
        return;
    }
    if (from < end && end == dataSize_ && (packed_ || stored_ < dataSize_)) {
        // A compact line gets a shorter tail instead of its full width.
        storeThrough(from);
        data_[from] = cell;
        stored_ = from + 1;
        ++generation_;
        return;
    }
    expand();
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
    expand();
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
    expand();
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
    if (packed_) {
        // A packed line stays packed while its blank tail covers the change.
        const bool tailIsFill = packedCell(packed_.get(), static_cast<size_t>(stored_ - 1)) == fillData;
        if (n >= stored_ && (n < dataSize_ || tailIsFill)) {
            for (auto& m : semanticMarks_)
                m.column = std::clamp(m.column, 0, std::max(n - 1, 0));
            dataSize_ = n;
            ++generation_;
            return;
        }
        unpack();
    }
    if (n < dataSize_) {
        const int keep = std::min(stored_, n);
        if (capacity_ > std::max(keep, 1))
            reallocate(keep, keep);
        stored_ = keep;
        if (n < 1) {
            semanticMarks_.clear();
        } else {
            for (auto& m : semanticMarks_)
                m.column = std::clamp(m.column, 0, n - 1);
        }
    } else if (stored_ > 0 && data_[stored_ - 1] == fillData) {
        // The blank tail already is the fill: it just reaches further.
    } else {
        // Grown lazily: the old cells and one fill cell standing for the rest.
        expand();
        if (capacity_ < dataSize_ + 1)
            reallocate(dataSize_ + 1, dataSize_);
        data_[dataSize_] = fillData;
        stored_ = dataSize_ + 1;
    }
    dataSize_ = n;
    ++generation_;
}

void BufferLine::copyFrom(const BufferLine& line)
{
    if (&line == this)
        return;
    line.unpack();
    dropPacked();
    if (capacity_ < line.stored_) {
        data_ = std::make_unique<CharData[]>(static_cast<size_t>(std::max(line.stored_, 1)));
        capacity_ = std::max(line.stored_, 1);
    }
    copyCells(data_.get(), line.data_.get(), line.stored_);
    dataSize_ = line.dataSize_;
    stored_ = line.stored_;
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
    src.storeThrough(srcCol + len);
    storeThrough(dstCol + len);

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

void BufferLine::addImage(TerminalImagePtr image)
{
    if (!image)
        return;
    if (!images_)
        images_ = std::make_unique<TerminalImageList>();
    images_->push_back(std::move(image));
    ++generation_;
}

Buffer* BufferLine::owningBuffer() const
{
    if (auto p = owningBuffer_.lock())
        return *p;
    return nullptr;
}

bool BufferLine::resetForReuse(const Attribute& attribute, bool lazily)
{
    const bool hadImages = images_ != nullptr;
    CharData blank;
    blank.attribute = attribute;
    // Refilled in place when the storage holds the row (the writes that
    // usually follow then find it full); otherwise one cell stands for it.
    dropPacked();
    if (!lazily && capacity_ >= dataSize_) {
        fillCells(data_.get(), blank, dataSize_);
        stored_ = dataSize_;
    } else {
        data_[0] = blank;
        stored_ = std::min(dataSize_, 1);
    }
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
        const CharData& cell = (*this)[i];
        if (skipNullCellsFollowingWide && cell.code == 0 && i > 0 && (*this)[i - 1].width == 2)
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
        utf8::append(out, (*this)[i].getCharacter());
    return out;
}

}  // namespace ravelgrid
