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
        std::memcpy(static_cast<void*>(dst + filled), static_cast<const void*>(dst),
                    static_cast<size_t>(k) * sizeof(CharData));
        filled += k;
    }
}

// Bytewise equality: cells of one run are copies of one another, so this
// finds them; padding that differs only keeps a cell more than needed.
bool sameBytes(const CharData& a, const CharData& b)
{
    return std::memcmp(static_cast<const void*>(&a), static_cast<const void*>(&b), sizeof(CharData)) == 0;
}

static_assert(sizeof(CharData) == 24 && offsetof(CharData, semanticContentCode) == 8 &&
                  offsetof(CharData, attribute) == 9,
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

// Packed cells, read and written bytewise (no alignment needed): runs that
// together hold the line's stored cells. A run is a tag byte, its length,
// the cell fields other than the code when they differ from a blank cell's,
// then either one code for the whole run or each cell's code in 1, 2 or 4
// bytes. Lengths and lone codes are LEB128 varints.
constexpr size_t kFieldsOffset = offsetof(CharData, width);
constexpr size_t kFieldsBytes = sizeof(CharData) - kFieldsOffset;
static_assert(offsetof(CharData, code) == 0 && kFieldsOffset == 4);
constexpr uint8_t kRunCodeMask = 3;  // 0: one code for the run, else bytes per code (1, 2, 4)
constexpr uint8_t kRunFields = 4;

std::byte* putVarint(std::byte* out, uint32_t v)
{
    while (v >= 0x80) {
        *out++ = static_cast<std::byte>(v | 0x80);
        v >>= 7;
    }
    *out++ = static_cast<std::byte>(v);
    return out;
}

uint32_t getVarint(const std::byte*& in)
{
    uint32_t v = 0;
    for (int shift = 0; shift < 35; shift += 7) {
        const auto b = std::to_integer<uint32_t>(*in++);
        v |= (b & 0x7F) << shift;
        if (b < 0x80)
            break;
    }
    return v;
}

// One run's cells: its prototype (code of a one-code run included), its
// length and where its per-cell codes start (null for a one-code run).
struct PackedRunView {
    CharData proto;
    uint32_t length = 0;
    int codeBytes = 0;
    const std::byte* codes = nullptr;
};

PackedRunView readRun(const std::byte*& in)
{
    PackedRunView run;
    const auto tag = std::to_integer<uint8_t>(*in++);
    run.length = getVarint(in);
    if (tag & kRunFields) {
        std::memcpy(reinterpret_cast<char*>(&run.proto) + kFieldsOffset, in, kFieldsBytes);
        in += kFieldsBytes;
    }
    const int mode = tag & kRunCodeMask;
    if (mode == 0) {
        run.proto.code = static_cast<int32_t>(getVarint(in));
    } else {
        run.codeBytes = mode == 3 ? 4 : mode;
        run.codes = in;
        in += static_cast<size_t>(run.length) * static_cast<size_t>(run.codeBytes);
    }
    return run;
}

int32_t runCode(const PackedRunView& run, size_t i)
{
    const std::byte* p = run.codes + i * static_cast<size_t>(run.codeBytes);
    if (run.codeBytes == 1)
        return static_cast<int32_t>(std::to_integer<uint8_t>(p[0]));
    if (run.codeBytes == 2) {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return v;
    }
    int32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// The last of the n cells of a packed block.
CharData packedLastCell(const std::byte* block, int n)
{
    const std::byte* in = block;
    CharData cell;
    for (int64_t done = 0; done < n;) {
        const PackedRunView run = readRun(in);
        if (run.length == 0)
            break;
        cell = run.proto;
        if (run.codes)
            cell.code = runCode(run, run.length - 1);
        done += run.length;
    }
    return cell;
}

// One past the last of the n cells of a packed block that has a code, and
// that cell's width; {0, 0} for a blank row.
std::pair<int, int> packedContentEnd(const std::byte* block, int n)
{
    const std::byte* in = block;
    std::pair<int, int> found{0, 0};
    for (int64_t done = 0; done < n;) {
        const PackedRunView run = readRun(in);
        if (run.length == 0)
            break;
        const auto len = static_cast<int64_t>(std::min<int64_t>(run.length, n - done));
        if (!run.codes) {
            if (run.proto.code != 0)
                found = {static_cast<int>(done + len), run.proto.width};
        } else {
            for (int64_t k = len - 1; k >= 0; --k)
                if (runCode(run, static_cast<size_t>(k)) != 0) {
                    found = {static_cast<int>(done + k + 1), run.proto.width};
                    break;
                }
        }
        done += run.length;
    }
    return found;
}

// Shortest repeat of one code worth a run of its own: breaking a run costs
// a tag, a length and, for cells that are not blank-like, their fields twice.
int minRepeat(bool explicitFields)
{
    return explicitFields ? 48 : 8;
}

// Appends one run of cells [from, to) sharing fields; `one` stores a single
// code for all of them.
std::byte* putRun(std::byte* out, const CharData* cells, int from, int to, bool explicitFields, bool one)
{
    int codeBytes = 0;
    if (!one) {
        int32_t maxCode = 0;
        bool negative = false;
        for (int i = from; i < to; ++i) {
            negative = negative || cells[i].code < 0;
            maxCode = std::max(maxCode, cells[i].code);
        }
        codeBytes = negative || maxCode > 0xFFFF ? 4 : maxCode > 0xFF ? 2 : 1;
    }
    const int codeMode = one ? 0 : codeBytes == 4 ? 3 : codeBytes;
    const auto tag = static_cast<uint8_t>((explicitFields ? kRunFields : 0) | codeMode);
    *out++ = static_cast<std::byte>(tag);
    out = putVarint(out, static_cast<uint32_t>(to - from));
    if (explicitFields) {
        std::memcpy(out, reinterpret_cast<const char*>(&cells[from]) + kFieldsOffset, kFieldsBytes);
        out += kFieldsBytes;
    }
    if (one)
        return putVarint(out, static_cast<uint32_t>(cells[from].code));
    for (int i = from; i < to; ++i) {
        const int32_t c = cells[i].code;
        if (codeBytes == 1) {
            *out++ = static_cast<std::byte>(c);
        } else if (codeBytes == 2) {
            const auto v = static_cast<uint16_t>(c);
            std::memcpy(out, &v, 2);
            out += 2;
        } else {
            std::memcpy(out, &c, 4);
            out += 4;
        }
    }
    return out;
}

// Per cell at worst a run of its own: tag, length, fields, code.
size_t maxPackedBytes(int n)
{
    return static_cast<size_t>(n) * (1 + 5 + kFieldsBytes + 5);
}

// Encodes n cells (n >= 1) into out, which holds at least maxPackedBytes(n);
// returns the end.
std::byte* encodeCells(std::byte* out, const CharData* cells, int n)
{
    for (int i = 0; i < n;) {
        int j = i + 1;
        while (j < n && sameFields(cells[j - 1], cells[j]))
            ++j;
        const bool explicitFields = !sameFields(cells[i], CharData::Null);
        const int repeat = minRepeat(explicitFields);
        // Within the fields run: long repeats of one code as runs of their
        // own, the cells between them with a code each.
        int k = i;
        while (k < j) {
            int e = k + 1;
            while (e < j && cells[e].code == cells[k].code)
                ++e;
            if (e - k >= repeat || (k == i && e == j)) {
                out = putRun(out, cells, k, e, explicitFields, true);
                k = e;
                continue;
            }
            int m = e;
            while (m < j) {
                int r = m + 1;
                while (r < j && cells[r].code == cells[m].code)
                    ++r;
                if (r - m >= repeat)
                    break;
                m = r;
            }
            out = putRun(out, cells, k, m, explicitFields, false);
            k = m;
        }
        i = j;
    }
    return out;
}

void stableSortMarks(std::vector<SemanticMark>& marks)
{
    std::stable_sort(marks.begin(), marks.end(),
                     [](const SemanticMark& a, const SemanticMark& b) { return a.column < b.column; });
}

std::atomic<uint64_t> lineIds{1};

}  // namespace

// A million rows of scrollback pay every word of a row: with make_shared's
// count in front, 88 bytes is what one 112-byte heap chunk holds.
static_assert(sizeof(BufferLine) <= 88);

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
    store_.cells = newCells(1);
    store_.cells[0] = fillData.value_or(CharData::Null);
    dataSize_ = std::max(cols, 0);
    stored_ = std::min(dataSize_, 1);
}

BufferLine::BufferLine(const BufferLine& other)
    : std::enable_shared_from_this<BufferLine>(), isWrapped_(other.isWrapped_), renderMode_(other.renderMode_),
      printedByRemote_(other.printedByRemote_), bidiState_(other.bidiState_)
{
    other.unpack();
    capacity_ = std::max(other.stored_, 1);
    store_.cells = newCells(capacity_);
    dataSize_ = other.dataSize_;
    stored_ = other.stored_;
    copyCells(store_.cells, other.store_.cells, stored_);
    if (other.extras_) {
        extras_ = std::make_unique<Extras>();
        extras_->marks = other.extras_->marks;
        extras_->hardGroup = other.extras_->hardGroup;
        if (other.extras_->images)
            extras_->images = std::make_unique<TerminalImageList>(*other.extras_->images);
    }
}

void BufferLine::storeHardGroup(std::optional<uint64_t> group)
{
    if (group) {
        extras().hardGroup = group;
    } else if (extras_) {
        extras_->hardGroup.reset();
        trimExtras();
    }
}

void BufferLine::reallocate(int capacity, int keep) const
{
    capacity = std::max(capacity, 1);
    CharData* fresh = newCells(capacity);
    copyCells(fresh, store_.cells, std::min({keep, capacity, capacity_}));
    adoptCells(fresh, capacity);
}

void BufferLine::unpackSlow() const
{
    const std::byte* in = packedData();
    const int n = stored_;
    auto cells = std::make_unique<CharData[]>(static_cast<size_t>(std::max(n, 1)));
    for (int i = 0; i < n;) {
        const PackedRunView run = readRun(in);
        const int len = std::min(static_cast<int>(std::min<uint32_t>(run.length, INT32_MAX)), n - i);
        if (len <= 0)
            break;
        if (!run.codes) {
            fillCells(cells.get() + i, run.proto, len);
        } else {
            CharData cell = run.proto;
            for (int k = 0; k < len; ++k) {
                cell.code = runCode(run, static_cast<size_t>(k));
                cells[i + k] = cell;
            }
        }
        i += len;
    }
    adoptCells(cells.release(), std::max(n, 1));
}

const CharData& BufferLine::readSlow(int col) const
{
    unpack();
    return store_.cells[clampRead(col)];
}

bool BufferLine::pack(BufferLine* spare)
{
    const int n = stored_;
    if (n < 1)
        return false;
    // Encoded into scratch first: the exact size is known only afterwards.
    thread_local std::vector<std::byte> scratch;
    const size_t most = maxPackedBytes(n);
    if (scratch.size() < most)
        scratch.resize(most);
    const size_t bytes = static_cast<size_t>(encodeCells(scratch.data(), store_.cells, n) - scratch.data());
    if (bytes >= static_cast<size_t>(n) * sizeof(CharData))
        return false;

    // A block small enough sits in place; otherwise a spare's block that
    // fits (without much waste) is reused.
    std::byte* block = nullptr;
    size_t blockBytes = bytes;
    if (bytes > sizeof(Store)) {
        if (spare != nullptr && spare != this && spare->packing_ == kPackedHeap &&
            static_cast<size_t>(spare->capacity_) >= bytes &&
            static_cast<size_t>(spare->capacity_) <= bytes + bytes / 2 + 32) {
            block = spare->store_.heap;
            blockBytes = static_cast<size_t>(spare->capacity_);
            // Left without storage: it gets this line's cells just below.
            spare->store_.heap = nullptr;
            spare->packing_ = kUnpacked;
        } else {
            block = new std::byte[bytes];
        }
        std::memcpy(block, scratch.data(), bytes);
    }

    // The cell storage goes to a spare that has none or less; the spare is
    // about to be refilled, so its content does not matter.
    const bool spareHasCells = spare != nullptr && spare->packing_ == kUnpacked && spare->store_.cells != nullptr;
    if (spare != nullptr && spare != this && (!spareHasCells || spare->capacity_ < capacity_)) {
        spare->adoptCells(releaseCells(), capacity_);
        spare->stored_ = std::min(spare->dataSize_, spare->capacity_);
        if (spare->stored_ == 0 && spare->dataSize_ > 0)
            spare->stored_ = 1;
    } else {
        freeStorage();
    }
    if (block != nullptr) {
        store_.heap = block;
        packing_ = kPackedHeap;
    } else {
        std::memcpy(store_.bytes, scratch.data(), bytes);
        packing_ = kPackedInPlace;
    }
    capacity_ = static_cast<int>(blockBytes);
    return true;
}

void BufferLine::expandSlow() const
{
    unpack();
    if (stored_ == dataSize_)
        return;
    // stored_ >= 1 here: a compact line keeps at least its tail cell.
    const CharData tail = store_.cells[stored_ - 1];
    if (capacity_ < dataSize_)
        reallocate(dataSize_, stored_);
    fillCells(store_.cells + stored_, tail, dataSize_ - stored_);
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
    const CharData tail = store_.cells[stored_ - 1];
    if (capacity_ < want)
        reallocate(std::clamp(capacity_ * 2, want, dataSize_), stored_);
    fillCells(store_.cells + stored_, tail, want - stored_);
    stored_ = want;
}

std::span<CharData> BufferLine::overwriteSlow(int from, int len)
{
    from = std::clamp(from, 0, dataSize_);
    len = std::clamp(len, 0, dataSize_ - from);
    const int end = from + len;
    ++generation_;
    unpack();
    const int kept = stored_;
    if (kept == dataSize_ || end < kept)
        return {store_.cells + from, static_cast<size_t>(len)};
    // kept >= 1 here, as in expandSlow. A long write moves the tail past
    // its cells; a short one makes the line full, as a row printed a word
    // at a time would otherwise come here for every word.
    constexpr int kLongWrite = 16;
    const CharData tail = store_.cells[kept - 1];
    const int want = len < kLongWrite ? dataSize_ : std::min(end + 1, dataSize_);
    if (capacity_ < want)
        reallocate(dataSize_, kept);
    CharData* cells = store_.cells;
    if (from > kept)
        fillCells(cells + kept, tail, from - kept);
    if (from < end) {
        if (from >= kept)
            cells[from] = tail;
        if (end - 1 >= kept)
            cells[end - 1] = tail;
    }
    fillCells(cells + end, tail, want - end);
    stored_ = want;
    return {cells + from, static_cast<size_t>(len)};
}

void BufferLine::compact(BufferLine* spare)
{
    if (isPacked() || stored_ < 1)
        return;
    const CharData& tail = store_.cells[stored_ - 1];
    int keep = stored_;
    while (keep > 1 && (sameBytes(store_.cells[keep - 2], tail) || store_.cells[keep - 2] == tail))
        --keep;
    stored_ = keep;
    if (pack(spare) || capacity_ == keep)
        return;
    const bool trade = spare != nullptr && spare != this && !spare->isPacked() && spare->capacity_ < capacity_;
    if (!trade) {
        reallocate(keep, keep);
        return;
    }
    // The spare takes the full-width storage and, when its own fits without
    // much waste, gives it in return.
    if (spare->capacity_ >= keep && spare->capacity_ <= keep + keep / 2 + 4) {
        copyCells(spare->store_.cells, store_.cells, keep);
        std::swap(store_.cells, spare->store_.cells);
        std::swap(capacity_, spare->capacity_);
    } else {
        CharData* fresh = newCells(keep);
        copyCells(fresh, store_.cells, keep);
        spare->adoptCells(releaseCells(), capacity_);
        store_.cells = fresh;
        capacity_ = keep;
    }
    spare->stored_ = std::min(spare->dataSize_, spare->capacity_);
    if (spare->stored_ == 0 && spare->dataSize_ > 0)
        spare->stored_ = 1;
}

void BufferLine::set(int col, const CharData& cell)
{
    if (col >= dataSize_ || col < 0) {
        platform::logWarning(
            "ravelgrid",
            "BufferLine: You passed an index out of range, adjusting to prevent crash, but you should debug");
        if (dataSize_ == 0)
            return;
        col = col < 0 ? 0 : dataSize_ - 1;
    }
    if (stored_ != dataSize_ || isPacked()) {
        const CharData value = cell;  // it may lie in the storage expand replaces
        expandSlow();
        store_.cells[col] = value;
    } else {
        store_.cells[col] = cell;
    }
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
    std::vector<CharData> out(store_.cells, store_.cells + stored_);
    if (stored_ > 0)
        out.resize(static_cast<size_t>(dataSize_), store_.cells[stored_ - 1]);
    return out;
}

int BufferLine::trimmedLength() const
{
    if (isPacked()) {
        // From the packed runs: reflow asks this of every line.
        const auto [end, width] = packedContentEnd(packedData(), stored_);
        if (end == 0)
            return 0;
        const int i = end - 1;
        return i == stored_ - 1 && stored_ < dataSize_ ? dataSize_ - 1 + width : i + width;
    }
    const CharData* cells = store_.cells;
    if (stored_ < dataSize_ && cells[stored_ - 1].code != 0)
        return dataSize_ - 1 + cells[stored_ - 1].width;
    int i = stored_ - 1;
    // Four cells a step over the blank tail: search and copy call this for
    // every row of the scrollback.
    while (i >= 3 && (cells[i].code | cells[i - 1].code | cells[i - 2].code | cells[i - 3].code) == 0)
        i -= 4;
    for (; i >= 0; --i)
        if (cells[i].code != 0)
            return i + cells[i].width;
    return 0;
}

void BufferLine::fill(const CharData& cellIn, bool lazily)
{
    const CharData cell = cellIn;  // may be one of this line's cells
    // Filled in place when the storage holds the row (writes usually follow
    // an erase); otherwise one cell stands for the whole row.
    dropPacked();
    if (!lazily && capacity_ >= dataSize_) {
        fillCells(store_.cells, cell, dataSize_);
        stored_ = dataSize_;
    } else {
        store_.cells[0] = cell;
        stored_ = std::min(dataSize_, 1);
    }
    ++generation_;
}

void BufferLine::fillRange(const CharData& cellIn, int from, int endExclusive)
{
    const CharData cell = cellIn;  // may be one of this line's cells
    from = std::max(from, 0);
    const int end = std::min(endExclusive, dataSize_);
    if (from == 0 && end == dataSize_ && end > 0) {
        fill(cell);
        return;
    }
    if (from < end && end == dataSize_ && (isPacked() || stored_ < dataSize_)) {
        // A compact line gets a shorter tail instead of its full width.
        storeThrough(from);
        store_.cells[from] = cell;
        stored_ = from + 1;
        ++generation_;
        return;
    }
    expand();
    if (from < end)
        fillCells(store_.cells + from, cell, end - from);
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

void BufferLine::insertCells(int pos, int n, int rightMargin, const CharData& fillIn)
{
    const CharData fillData = fillIn;  // may be one of this line's cells
    expand();
    if (dataSize_ == 0 || n <= 0) {
        ++generation_;
        return;
    }
    const int len = std::clamp(rightMargin, 0, dataSize_ - 1) + 1;
    const int p = std::max(pos, 0) % len;
    if (n < len - p) {
        copyCells(store_.cells + p + n, store_.cells + p, len - p - n);
        fillCells(store_.cells + p, fillData, n);
    } else {
        fillCells(store_.cells + p, fillData, len - p);
    }
    ++generation_;
    shiftSemanticMarks(p, n, len - 1);
}

void BufferLine::deleteCells(int pos, int n, int rightMargin, const CharData& fillIn)
{
    const CharData fillData = fillIn;  // may be one of this line's cells
    expand();
    if (dataSize_ == 0 || n <= 0) {
        ++generation_;
        return;
    }
    const int len = std::clamp(rightMargin, 0, dataSize_ - 1) + 1;
    const int p = std::max(pos, 0) % len;
    if (n < len - p) {
        copyCells(store_.cells + p, store_.cells + p + n, len - p - n);
        fillCells(store_.cells + len - n, fillData, n);
    } else {
        fillCells(store_.cells + p, fillData, len - p);
    }
    ++generation_;
    shiftSemanticMarks(p, -n, len - 1);
}

void BufferLine::shiftSemanticMarks(int lower, int delta, int upper)
{
    if (delta == 0 || !extras_ || extras_->marks.empty())
        return;
    for (auto& m : extras_->marks) {
        if (m.column >= lower && m.column <= upper) {
            const long long moved = static_cast<long long>(m.column) + delta;
            m.column = static_cast<int>(std::clamp<long long>(moved, lower, upper));
        }
    }
    ++generation_;
}

void BufferLine::resize(int cols, const CharData& fillIn)
{
    const CharData fillData = fillIn;  // may be one of this line's cells
    const int n = std::max(cols, 0);
    if (n == dataSize_)
        return;
    if (isPacked()) {
        // A packed line stays packed while its blank tail covers the change.
        const bool tailIsFill = packedLastCell(packedData(), stored_) == fillData;
        if (n >= stored_ && (n < dataSize_ || tailIsFill)) {
            if (extras_)
                for (auto& m : extras_->marks)
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
            if (extras_) {
                extras_->marks.clear();
                trimExtras();
            }
        } else if (extras_) {
            for (auto& m : extras_->marks)
                m.column = std::clamp(m.column, 0, n - 1);
        }
    } else if (stored_ > 0 && store_.cells[stored_ - 1] == fillData) {
        // The blank tail already is the fill: it just reaches further.
    } else {
        // Grown lazily: the old cells and one fill cell standing for the rest.
        expand();
        if (capacity_ < dataSize_ + 1)
            reallocate(dataSize_ + 1, dataSize_);
        store_.cells[dataSize_] = fillData;
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
        adoptCells(newCells(line.stored_), std::max(line.stored_, 1));
    }
    copyCells(store_.cells, line.store_.cells, line.stored_);
    dataSize_ = line.dataSize_;
    stored_ = line.stored_;
    isWrapped_ = line.isWrapped_;
    printedByRemote_ = line.printedByRemote_;
    if (line.extras_ || extras_) {
        // Images stay with this row; marks and group come from the source.
        extras().marks = line.semanticMarks();
        extras_->hardGroup = line.semanticHardContinuationGroup();
        trimExtras();
    }
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
    const auto srcHardGroup = src.semanticHardContinuationGroup();

    copyCells(store_.cells + dstCol, src.store_.cells + srcCol, len);
    // Remote text stays marked wherever it moves (scroll regions, reflow).
    printedByRemote_ = printedByRemote_ || src.printedByRemote_;

    const int srcEnd = srcCol + len - 1;
    const int dstEnd = dstCol + len - 1;
    std::vector<SemanticMark> moved;
    for (const auto& m : src.semanticMarks())
        if (m.column >= srcCol && m.column <= srcEnd)
            moved.push_back(m);

    std::optional<Buffer::PromptMark> anchor;
    Buffer* owner = moved.empty() ? nullptr : owningBuffer();
    if (owner != nullptr)
        anchor = owner->currentPromptMark();

    auto inRange = [](int c, int lo, int hi) { return c >= lo && c <= hi; };
    if (sameLine) {
        if (extras_)
            std::erase_if(extras_->marks, [&](const SemanticMark& m) {
                return inRange(m.column, srcCol, srcEnd) || inRange(m.column, dstCol, dstEnd);
            });
    } else {
        if (!moved.empty()) {
            std::erase_if(src.extras_->marks, [&](const SemanticMark& m) { return inRange(m.column, srcCol, srcEnd); });
            ++src.generation_;
        }
        if (extras_)
            std::erase_if(extras_->marks, [&](const SemanticMark& m) { return inRange(m.column, dstCol, dstEnd); });
    }

    bool movedAnchor = false;
    for (const auto& m : moved) {
        const bool isAnchor =
            anchor && anchor->line.get() == &src && anchor->kind == m.kind && anchor->column == m.column;
        if (isAnchor) {
            const bool thisIsAnchorLine = anchor->line.get() == this;
            std::erase_if(extras().marks, [&](const SemanticMark& x) {
                return x.kind == m.kind && !(thisIsAnchorLine && x.column == anchor->column);
            });
            movedAnchor = true;
        }
        extras().marks.push_back({m.kind, m.column - srcCol + dstCol, m.group});
    }
    if (!moved.empty())
        stableSortMarks(extras_->marks);

    if (movedAnchor && owner != nullptr) {
        if (auto self = weak_from_this().lock())
            owner->semanticPromptStartLine = std::move(self);
    }

    if (wholeLine) {
        storeHardGroup(srcHardGroup);
        if (!sameLine) {
            src.storeHardGroup(std::nullopt);
            ++src.generation_;
        }
    }
    src.trimExtras();
    trimExtras();
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
    auto& marks = extras().marks;
    std::erase_if(marks, [&](const SemanticMark& m) { return m.kind == kind; });
    marks.push_back({kind, column, group});
    stableSortMarks(marks);
    ++generation_;
}

void BufferLine::clearSemanticMarks()
{
    if (extras_) {
        extras_->marks.clear();
        extras_->hardGroup.reset();
        trimExtras();
    }
    ++generation_;
}

void BufferLine::setSemanticHardContinuationGroup(std::optional<uint64_t> group)
{
    storeHardGroup(group);
    ++generation_;
}

void BufferLine::setImages(std::optional<TerminalImageList> images)
{
    if (images && !images->empty()) {
        extras().images = std::make_unique<TerminalImageList>(std::move(*images));
    } else if (extras_) {
        extras_->images.reset();
        trimExtras();
    }
    ++generation_;
}

void BufferLine::addImage(TerminalImagePtr image)
{
    if (!image)
        return;
    auto& list = extras().images;
    if (!list)
        list = std::make_unique<TerminalImageList>();
    list->push_back(std::move(image));
    ++generation_;
}

Buffer* BufferLine::owningBuffer() const
{
    return owningBuffer_.get();
}

bool BufferLine::resetForReuse(const Attribute& attribute, bool lazily)
{
    const bool hadImages = hasImages();
    CharData blank;
    blank.attribute = attribute;
    // Refilled in place when the storage holds the row (the writes that
    // usually follow then find it full); otherwise one cell stands for it.
    dropPacked();
    if (!lazily && capacity_ >= dataSize_) {
        fillCells(store_.cells, blank, dataSize_);
        stored_ = dataSize_;
    } else {
        store_.cells[0] = blank;
        stored_ = std::min(dataSize_, 1);
    }
    extras_.reset();
    ++recycleGeneration_;
    isWrapped_ = false;
    printedByRemote_ = false;
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
