#include "ravelgrid/bidi/TerminalBidi.h"

#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/screen/BufferLine.h"

#include <unicode/ubidi.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <numeric>
#include <unordered_map>

namespace ravelgrid {

int BidiRowLayout::visualColumn(int logicalCol) const
{
    if (logicalCol < 0 || logicalCol >= int(logicalToVisualCol.size()))
        return logicalCol;
    return logicalToVisualCol[size_t(logicalCol)];
}

int BidiRowLayout::logicalColumn(int visualCol) const
{
    if (visualCol < 0 || visualCol >= int(visualToLogicalCol.size()))
        return visualCol;
    return visualToLogicalCol[size_t(visualCol)];
}

namespace TerminalBidi {

const BidiRowLayout* ParagraphResult::row(int bufferRow) const
{
    const long long offset = (long long)bufferRow - firstRow;
    if (offset < 0 || offset >= (long long)rowsByOffset.size() || !rowsByOffset[size_t(offset)])
        return nullptr;
    return &*rowsByOffset[size_t(offset)];
}

const BidiRowLayout* DisplayedRow::layout() const
{
    if (explicitRow)
        return &*explicitRow;
    return paragraph ? paragraph->row(row) : nullptr;
}

namespace {

std::atomic<uint64_t> layoutPassCount{0};

const BufferLine* lineAt(const Buffer& buffer, int row)
{
    return buffer.lines().peek(row);
}

// A slot the ring has not filled yet reads as a blank line in the buffer's
// default state.
BidiPresentationState stateOf(const Buffer& buffer, const BufferLine* line)
{
    BidiPresentationState state = line ? line->bidiState() : buffer.defaultBidiState;
    if (!buffer.detectsDirection)
        state.autodetectDirection = false;
    return state;
}

// Full-screen programs place every cell themselves: on the alternate
// screen rows keep their order until the program asks for the layout.
bool reorders(const Buffer& buffer)
{
    return buffer.detectsDirection || buffer.reordersRows;
}

uint32_t packState(const BidiPresentationState& s)
{
    return uint32_t(s.supportMode) | (s.autodetectDirection ? 1u << 8 : 0u) | (uint32_t(s.fallbackDirection) << 16) |
           (s.boxMirroring ? 1u << 24 : 0u);
}

// The packed state with whether rows are reordered, so that a paragraph kept
// in logical order never answers for the same text laid out, or back.
uint32_t keyState(const Buffer& buffer, const BidiPresentationState& s)
{
    return packState(s) | (reorders(buffer) ? 0u : 1u << 25);
}

uint64_t mix(uint64_t h, uint64_t v)
{
    h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 31);
}

// What identifies one line's content: ids are never reused, so a line made
// at a freed line's address, or recycled by the ring, never matches.
struct LineStamp {
    uint64_t id = 0;
    uint64_t generation = 0;
    uint64_t recycleGeneration = 0;
    bool wrapped = false;
    friend bool operator==(const LineStamp&, const LineStamp&) = default;
};

LineStamp stampOf(const BufferLine* line)
{
    if (!line)
        return {};
    return {line->id(), line->generation(), line->recycleGeneration(), line->isWrapped()};
}

uint64_t revisionOf(std::span<const LineStamp> stamps)
{
    uint64_t h = 0x51ED270B27ull;
    for (const LineStamp& s : stamps) {
        h = mix(h, s.id);
        h = mix(h, s.generation);
        h = mix(h, s.recycleGeneration);
        h = mix(h, s.wrapped);
    }
    return h == 0 ? 1 : h;  // 0 means "no layout" to the renderers
}

std::vector<LineStamp> stampsOf(const Buffer& buffer, int first, int last)
{
    std::vector<LineStamp> stamps;
    stamps.reserve(size_t(last - first + 1));
    for (int r = first; r <= last; ++r)
        stamps.push_back(stampOf(lineAt(buffer, r)));
    return stamps;
}

struct ParagraphKey {
    uint64_t buffer = 0;
    int firstRow = 0;
    int lastRow = 0;
    uint64_t revision = 0;
    int cols = 0;
    uint32_t state = 0;
    // Compared whole, so two paragraphs whose revisions collide never share a layout.
    std::vector<LineStamp> stamps;
    friend bool operator==(const ParagraphKey&, const ParagraphKey&) = default;
};

struct ParagraphKeyHash {
    size_t operator()(const ParagraphKey& k) const noexcept
    {
        uint64_t h = mix(k.buffer, k.revision);
        h = mix(h, uint64_t(uint32_t(k.firstRow)) << 32 | uint32_t(k.lastRow));
        h = mix(h, uint64_t(uint32_t(k.cols)) << 32 | k.state);
        return size_t(h);
    }
};

struct ContentKey {
    uint64_t contentHash = 0;
    int rowCount = 0;
    int cols = 0;
    uint32_t state = 0;
    friend bool operator==(const ContentKey&, const ContentKey&) = default;
};

struct ContentKeyHash {
    size_t operator()(const ContentKey& k) const noexcept
    {
        return size_t(mix(mix(k.contentHash, uint64_t(uint32_t(k.rowCount)) << 32 | uint32_t(k.cols)), k.state));
    }
};

struct CachedParagraph {
    std::vector<Cell> cells;  // rows relative to the paragraph start
    std::vector<std::optional<BidiRowLayout>> rowsByOffset;
    BidiDirection baseDirection = BidiDirection::leftToRight;
};

// One lock over both caches, never held while laying out.
struct Caches {
    std::mutex lock;
    std::unordered_map<ParagraphKey, Paragraph, ParagraphKeyHash> paragraphs;
    std::unordered_map<ContentKey, std::shared_ptr<const CachedParagraph>, ContentKeyHash> contents;
};

Caches& caches()
{
    static Caches c;
    return c;
}

template <typename Map, typename Key, typename Value>
void storeBounded(Map& map, Key&& key, Value&& value)
{
    if (map.size() >= cacheCapacity)
        map.clear();
    map.insert_or_assign(std::forward<Key>(key), std::forward<Value>(value));
}

void appendScalar(std::u32string& out, char32_t c)
{
    out.push_back(isUnicodeScalar(uint32_t(c)) ? c : U' ');
}

std::u32string cellText(const CharData& cell, const ClusterScalars& clusters)
{
    std::u32string text;
    if (cell.code == 0) {
        text.push_back(U' ');
    } else if (cell.code < CharData::firstClusterCode) {
        appendScalar(text, char32_t(cell.code));
    } else {
        if (clusters)
            text = clusters(cell.code);
        if (text.empty())
            text.push_back(U' ');
        else
            for (char32_t& c : text)
                if (!isUnicodeScalar(uint32_t(c)))
                    c = U' ';
    }
    return text;
}

struct CollectedCells {
    std::vector<Cell> cells;
    std::vector<std::pair<size_t, size_t>> ranges;  // per row: [begin, end) cell indices
    std::vector<int> usedWidths;                    // per row: first free column
};

void collectRow(const BufferLine* line, int row, int cols, const ClusterScalars& clusters, CollectedCells& out)
{
    const size_t begin = out.cells.size();
    int col = 0;
    if (line) {
        const int limit = std::min({cols, line->dataSize(), line->trimmedLength()});
        const std::span<const CharData> data = line->cellSpan();
        while (col < limit) {
            const CharData& cell = data[size_t(col)];
            // A wide cell cut by the right edge shows one column, so every
            // column of the row keeps exactly one place.
            const int width = std::clamp<int>(cell.width, 1, std::max(cols - col, 1));
            out.cells.push_back(Cell{row, col, width, cellText(cell, clusters)});
            col += width;
        }
    }
    out.ranges.emplace_back(begin, out.cells.size());
    out.usedWidths.push_back(col);
}

bool isParagraphSeparator(char32_t c)
{
    return c == 0x0A || c == 0x0D || (c >= 0x1C && c <= 0x1E) || c == 0x85 || c == 0x2029;
}

// The 38 entries of the box-drawing mirror table, as pairs that map both ways.
constexpr std::pair<char32_t, char32_t> boxPairs[] = {
    {0x250C, 0x2510}, {0x2514, 0x2518}, {0x251C, 0x2524}, {0x250F, 0x2513}, {0x2517, 0x251B},
    {0x2523, 0x252B}, {0x2554, 0x2557}, {0x255A, 0x255D}, {0x2560, 0x2563}, {0x256D, 0x256E},
    {0x2570, 0x256F}, {0x2552, 0x2555}, {0x2558, 0x255B}, {0x2553, 0x2556}, {0x2559, 0x255C},
    {0x255E, 0x2561}, {0x255F, 0x2562}, {0x2574, 0x2576}, {0x2578, 0x257A},
};

struct UBiDiCloser {
    void operator()(UBiDi* b) const { ubidi_close(b); }
};
using UBiDiPtr = std::unique_ptr<UBiDi, UBiDiCloser>;

struct RowOrder {
    std::vector<int> order;         // cell indices relative to the row, in screen order
    std::vector<bool> rightToLeft;  // per cell of the row
};

std::optional<RowOrder> visualOrder(UBiDi* paragraph, int lo, int hi, bool baseRightToLeft)
{
    RowOrder result;
    const int n = hi - lo;
    if (n <= 0)
        return result;
    UErrorCode status = U_ZERO_ERROR;
    UBiDiPtr line(ubidi_openSized(n, 0, &status));
    if (U_FAILURE(status) || !line)
        return std::nullopt;
    ubidi_setLine(paragraph, lo, hi, line.get(), &status);
    if (U_FAILURE(status))
        return std::nullopt;
    const UBiDiLevel* levels = ubidi_getLevels(line.get(), &status);
    std::vector<int32_t> map(size_t(n), 0);
    ubidi_getVisualMap(line.get(), map.data(), &status);
    if (U_FAILURE(status) || !levels)
        return std::nullopt;
    std::vector<int> placed;
    placed.reserve(size_t(n));
    std::vector<std::optional<bool>> directions(static_cast<size_t>(n));
    for (int32_t logical : map) {
        if (logical < 0 || logical >= n)
            continue;
        placed.push_back(logical);
        directions[size_t(logical)] = (levels[logical] & 1) != 0;
    }
    auto order = completeVisualOrder(std::move(placed), directions, n, baseRightToLeft);
    if (!order)
        return std::nullopt;
    result.order = std::move(*order);
    result.rightToLeft.resize(size_t(n));
    for (int i = 0; i < n; ++i)
        result.rightToLeft[size_t(i)] = directions[size_t(i)].value_or(baseRightToLeft);
    return result;
}

// Emits one row: the blank tail on the far side of the base direction, the
// cells in their visual order, both column maps.
BidiRowLayout emitRow(std::span<const Cell> rowCells, std::span<const int> order, std::span<std::u32string> displays,
                      int usedWidth, int cols, BidiDirection base, uint64_t revision)
{
    BidiRowLayout layout;
    const int used = std::clamp(usedWidth, 0, std::max(cols, 0));
    const size_t n = size_t(std::max(cols, 0));
    layout.logicalToVisualCol.assign(n, 0);
    layout.visualToLogicalCol.assign(n, 0);
    layout.visualCells.reserve(rowCells.size() + n - size_t(used));
    layout.baseDirection = base;
    layout.paragraphRevision = revision;
    int v = 0;
    auto place = [&](int c, int width, std::u32string display) {
        for (int i = 0; i < width; ++i) {
            if (c + i >= 0 && c + i < cols && v + i >= 0 && v + i < cols)
                layout.logicalToVisualCol[size_t(c + i)] = v + i;
            if (v + i >= 0 && v + i < cols)
                layout.visualToLogicalCol[size_t(v + i)] = c;
        }
        v += width;
        layout.visualCells.push_back(BidiCell{c, width, std::move(display)});
    };
    if (base == BidiDirection::rightToLeft)
        for (int c = cols - 1; c >= used; --c)
            place(c, 1, {});
    for (int index : order) {
        const Cell& cell = rowCells[size_t(index)];
        place(cell.logicalCol, cell.width, std::move(displays[size_t(index)]));
    }
    if (base == BidiDirection::leftToRight)
        for (int c = used; c < cols; ++c)
            place(c, 1, {});
    return layout;
}

void mirrorInto(const Cell& cell, std::u32string& display, bool boxMirroring)
{
    if (cell.text.size() != 1)
        return;
    if (auto m = mirroredScalar(cell.text[0]))
        display.assign(1, *m);
    else if (boxMirroring)
        if (auto b = mirroredBoxDrawing(cell.text[0]))
            display.assign(1, *b);
}

// Rows kept in logical order still join their Arabic letters: a row with a
// shaped cell gets a layout in stored order, the others none.
std::shared_ptr<CachedParagraph> buildLogicalParagraph(const CollectedCells& collected, int cols, uint64_t revision)
{
    auto result = std::make_shared<CachedParagraph>();
    std::vector<std::u32string> displays = shapeCells(collected.cells);
    const size_t rowCount = collected.ranges.size();
    for (size_t r = 0; r < rowCount; ++r) {
        const auto [lo, hi] = collected.ranges[r];
        const std::span<std::u32string> rowDisplays(displays.data() + lo, hi - lo);
        if (std::all_of(rowDisplays.begin(), rowDisplays.end(), [](const auto& d) { return d.empty(); }))
            continue;
        std::vector<int> order(hi - lo);
        std::iota(order.begin(), order.end(), 0);
        result->rowsByOffset.resize(rowCount);
        result->rowsByOffset[r] = emitRow(std::span(collected.cells.data() + lo, hi - lo), order, rowDisplays,
                                          collected.usedWidths[r], cols, BidiDirection::leftToRight, revision);
    }
    return result;
}

std::shared_ptr<CachedParagraph> buildParagraph(const CollectedCells& collected, int cols,
                                                const BidiPresentationState& state, bool neededBidi, uint64_t revision)
{
    auto result = std::make_shared<CachedParagraph>();
    const BidiDirection base =
        state.autodetectDirection ? detectDirection(collected.cells, state.fallbackDirection) : state.fallbackDirection;
    result->baseDirection = base;
    if (base == BidiDirection::leftToRight && !neededBidi)
        return result;

    const bool rtl = base == BidiDirection::rightToLeft;
    const size_t rowCount = collected.ranges.size();
    result->rowsByOffset.resize(rowCount);
    std::vector<char16_t> units;
    units.reserve(collected.cells.size());
    for (const Cell& cell : collected.cells)
        units.push_back(typesetterUnit(cell.text));
    std::vector<std::u32string> displays = shapeCells(collected.cells);

    UBiDiPtr paragraph;
    if (!units.empty()) {
        layoutPassCount.fetch_add(1, std::memory_order_relaxed);
        UErrorCode status = U_ZERO_ERROR;
        paragraph.reset(ubidi_openSized(int32_t(units.size()), 0, &status));
        if (U_SUCCESS(status) && paragraph)
            ubidi_setPara(paragraph.get(), reinterpret_cast<const UChar*>(units.data()), int32_t(units.size()),
                          rtl ? 1 : 0, nullptr, &status);
        if (U_FAILURE(status))
            paragraph.reset();
    }

    for (size_t r = 0; r < rowCount; ++r) {
        const auto [lo, hi] = collected.ranges[r];
        std::optional<RowOrder> order;
        if (lo == hi)
            order = RowOrder{};
        else if (paragraph)
            order = visualOrder(paragraph.get(), int(lo), int(hi), rtl);
        if (!order)
            continue;
        const std::span<const Cell> rowCells(collected.cells.data() + lo, hi - lo);
        const std::span<std::u32string> rowDisplays(displays.data() + lo, hi - lo);
        for (size_t i = 0; i < rowCells.size(); ++i)
            if (order->rightToLeft[i] && rowDisplays[i].empty())
                mirrorInto(rowCells[i], rowDisplays[i], state.boxMirroring);
        result->rowsByOffset[r] =
            emitRow(rowCells, order->order, rowDisplays, collected.usedWidths[r], cols, base, revision);
    }
    return result;
}

uint64_t contentHashOf(std::span<const Cell> cells, int firstRow)
{
    uint64_t h = mix(0xC0FFEEull, cells.size());
    for (const Cell& c : cells) {
        h = mix(h, uint64_t(uint32_t(c.row - firstRow)) << 32 | uint32_t(c.logicalCol));
        h = mix(h, uint64_t(uint32_t(c.width)) << 32 | c.text.size());
        for (char32_t s : c.text)
            h = mix(h, s);
    }
    return h;
}

bool sameCells(std::span<const Cell> relative, std::span<const Cell> cells, int firstRow)
{
    if (relative.size() != cells.size())
        return false;
    for (size_t i = 0; i < cells.size(); ++i) {
        const Cell& a = relative[i];
        const Cell& b = cells[i];
        if (a.row != b.row - firstRow || a.logicalCol != b.logicalCol || a.width != b.width || a.text != b.text)
            return false;
    }
    return true;
}

Paragraph resultFrom(const CachedParagraph& cached, int firstRow, uint64_t revision)
{
    auto result = std::make_shared<ParagraphResult>();
    result->firstRow = firstRow;
    result->baseDirection = cached.baseDirection;
    result->rowsByOffset = cached.rowsByOffset;
    for (auto& row : result->rowsByOffset)
        if (row)
            row->paragraphRevision = revision;
    return result;
}

int saneMaximum(int maximumRows)
{
    return std::max(maximumRows, 1);
}

}  // namespace

// --- paragraphs ------------------------------------------------------------------------

std::optional<std::pair<int, int>> paragraphBounds(int row, const Buffer& buffer, int maximumRows)
{
    const int count = buffer.lines().count();
    if (row < 0 || row >= count)
        return std::nullopt;
    const int maximum = saneMaximum(maximumRows);
    int taken = 1;
    int first = row;
    for (;;) {
        const BufferLine* line = lineAt(buffer, first);
        if (first == 0 || !line || !line->isWrapped())
            break;
        --first;
        if (++taken > maximum)
            return std::nullopt;
    }
    int last = row;
    while (last + 1 < count) {
        const BufferLine* next = lineAt(buffer, last + 1);
        if (!next || !next->isWrapped())
            break;
        ++last;
        if (++taken > maximum)
            return std::nullopt;
    }
    return std::make_pair(first, last);
}

bool isStrongRightToLeft(char32_t c)
{
    if (c == 0x202B || c == 0x202E || c == 0x2067 || c == 0x200F)
        return true;
    if (c <= 0x058F)
        return false;
    return (c >= 0x0590 && c <= 0x08FF) || (c >= 0xFB1D && c <= 0xFDFF) || (c >= 0xFE70 && c <= 0xFEFC) ||
           (c >= 0x10800 && c <= 0x10FFF) || (c >= 0x1E800 && c <= 0x1EFFF);
}

bool lineNeedsBidi(const BufferLine& line, int cols, const ClusterScalars& clusters)
{
    const int limit = std::min(cols, line.dataSize());
    const std::span<const CharData> data = line.cellSpan();
    for (int col = 0; col < limit;) {
        const CharData& cell = data[size_t(col)];
        col += std::max<int>(cell.width, 1);
        if (cell.code < 0x590)  // fast path: nothing below is right to left
            continue;
        if (cell.code < CharData::firstClusterCode) {
            if (isStrongRightToLeft(char32_t(cell.code)))
                return true;
        } else if (clusters) {
            for (char32_t c : clusters(cell.code))
                if (isStrongRightToLeft(c))
                    return true;
        }
    }
    return false;
}

BidiDirection detectDirection(std::span<const Cell> cells, BidiDirection fallback)
{
    for (const Cell& cell : cells) {
        for (char32_t c : cell.text) {
            if (c == 0x200E)
                return BidiDirection::leftToRight;
            if (c == 0x200F)
                return BidiDirection::rightToLeft;
            if (u_hasBinaryProperty(UChar32(c), UCHAR_ALPHABETIC))
                return isStrongRightToLeft(c) ? BidiDirection::rightToLeft : BidiDirection::leftToRight;
        }
    }
    return fallback;
}

char16_t typesetterUnit(std::u32string_view text)
{
    if (text.empty())
        return u' ';
    const char32_t c = text[0];
    const int8_t type = u_charType(UChar32(c));
    if (u_getCombiningClass(UChar32(c)) != 0 || type == U_NON_SPACING_MARK || type == U_ENCLOSING_MARK)
        return 0x00B7;
    if ((c >= 0x0620 && c <= 0x064A) || c == 0x066E || c == 0x066F || (c >= 0x0671 && c <= 0x06D5) || c == 0x06EE ||
        c == 0x06EF || (c >= 0x06FA && c <= 0x06FF) || (c >= 0x0750 && c <= 0x077F) || (c >= 0x0870 && c <= 0x088F) ||
        (c >= 0x08A0 && c <= 0x08D2) || c == 0x200D)
        return 0x0621;
    if (c < 0x10000) {
        // A separator would split the paragraph and leave rows without a line.
        if (isParagraphSeparator(c) || (c >= 0xD800 && c <= 0xDFFF))
            return u' ';
        return char16_t(c);
    }
    if ((c >= 0x10800 && c <= 0x10FFF) || (c >= 0x1E800 && c <= 0x1EFFF))
        return 0x200F;
    return 0x00B7;
}

std::optional<std::vector<int>> completeVisualOrder(std::vector<int> placed,
                                                    std::vector<std::optional<bool>>& directions, int count,
                                                    bool baseRightToLeft)
{
    if (count <= 0)
        return std::vector<int>{};
    directions.resize(size_t(count));
    std::vector<bool> isPlaced(size_t(count), false);
    std::vector<int> order;
    order.reserve(size_t(count));
    for (int i : placed) {
        if (i < 0 || i >= count || isPlaced[size_t(i)])
            continue;
        isPlaced[size_t(i)] = true;
        order.push_back(i);
    }
    if (int(order.size()) == count) {
        for (auto& d : directions)
            if (!d)
                d = baseRightToLeft;
        return order;
    }
    const std::vector<std::optional<bool>> known = directions;
    auto nearest = [&](int i) {
        for (int d = 1; d < count; ++d) {
            if (i - d >= 0 && known[size_t(i - d)])
                return *known[size_t(i - d)];
            if (i + d < count && known[size_t(i + d)])
                return *known[size_t(i + d)];
        }
        return baseRightToLeft;
    };
    auto positionOf = [&](int cell) { return std::find(order.begin(), order.end(), cell); };
    for (int i = 0; i < count; ++i) {
        if (isPlaced[size_t(i)])
            continue;
        const bool rtl = nearest(i);
        directions[size_t(i)] = rtl;
        if (i > 0 && isPlaced[size_t(i - 1)]) {
            auto at = positionOf(i - 1);
            order.insert(rtl ? at : at + 1, i);
        } else if (i + 1 < count && isPlaced[size_t(i + 1)]) {
            auto at = positionOf(i + 1);
            order.insert(rtl ? at + 1 : at, i);
        } else {
            order.push_back(i);
        }
        isPlaced[size_t(i)] = true;
    }
    if (int(order.size()) != count)
        return std::nullopt;
    for (auto& d : directions)
        if (!d)
            d = baseRightToLeft;
    return order;
}

std::optional<char32_t> mirroredScalar(char32_t c)
{
    if (!isUnicodeScalar(uint32_t(c)))
        return std::nullopt;
    const UChar32 m = u_charMirror(UChar32(c));
    if (m == UChar32(c))
        return std::nullopt;
    return char32_t(m);
}

std::optional<char32_t> mirroredBoxDrawing(char32_t c)
{
    for (const auto& [a, b] : boxPairs) {
        if (c == a)
            return b;
        if (c == b)
            return a;
    }
    return std::nullopt;
}

Paragraph rowLayout(int row, const Buffer& buffer, int cols, int maximumRows, const ClusterScalars& clusters)
{
    if (row < 0 || row >= buffer.lines().count() || cols <= 0)
        return nullptr;
    if (stateOf(buffer, lineAt(buffer, row)).supportMode == BidiSupportMode::explicit_)
        return nullptr;
    const auto bounds = paragraphBounds(row, buffer, maximumRows);
    if (!bounds)
        return nullptr;
    const auto [first, last] = *bounds;
    const BidiPresentationState state = stateOf(buffer, lineAt(buffer, first));
    const bool reordered = reorders(buffer);

    ParagraphKey key;
    key.buffer = buffer.id();
    key.firstRow = first;
    key.lastRow = last;
    key.stamps = stampsOf(buffer, first, last);
    key.revision = revisionOf(key.stamps);
    key.cols = cols;
    key.state = keyState(buffer, state);
    const uint64_t revision = key.revision;

    Caches& cache = caches();
    {
        std::lock_guard guard(cache.lock);
        if (auto it = cache.paragraphs.find(key); it != cache.paragraphs.end())
            return it->second;
    }

    bool needed = false;
    for (int r = first; r <= last && !needed; ++r)
        if (const BufferLine* line = lineAt(buffer, r))
            needed = lineNeedsBidi(*line, cols, clusters);
    if (!needed && (state.fallbackDirection == BidiDirection::leftToRight || !reordered)) {
        auto empty = std::make_shared<ParagraphResult>();
        empty->firstRow = first;
        std::lock_guard guard(cache.lock);
        storeBounded(cache.paragraphs, std::move(key), empty);
        return empty;
    }

    CollectedCells collected;
    collected.cells.reserve(size_t(std::min(cols, 80)) * size_t(last - first + 1));
    for (int r = first; r <= last; ++r)
        collectRow(lineAt(buffer, r), r, cols, clusters, collected);

    const ContentKey contentKey{contentHashOf(collected.cells, first), last - first + 1, cols, key.state};
    std::shared_ptr<const CachedParagraph> known;
    {
        std::lock_guard guard(cache.lock);
        if (auto it = cache.contents.find(contentKey); it != cache.contents.end())
            known = it->second;
    }
    if (known && sameCells(known->cells, collected.cells, first)) {
        Paragraph result = resultFrom(*known, first, revision);
        std::lock_guard guard(cache.lock);
        storeBounded(cache.paragraphs, std::move(key), result);
        return result;
    }

    std::shared_ptr<CachedParagraph> built = reordered ? buildParagraph(collected, cols, state, needed, revision)
                                                       : buildLogicalParagraph(collected, cols, revision);
    Paragraph result = resultFrom(*built, first, revision);
    for (Cell& c : collected.cells)
        c.row -= first;
    built->cells = std::move(collected.cells);
    std::lock_guard guard(cache.lock);
    storeBounded(cache.contents, contentKey, std::shared_ptr<const CachedParagraph>(std::move(built)));
    storeBounded(cache.paragraphs, std::move(key), result);
    return result;
}

std::optional<BidiRowLayout> layoutParagraph(int row, const Buffer& buffer, int cols, const ClusterScalars& clusters)
{
    if (row < 0 || row >= buffer.lines().count() || cols <= 0)
        return std::nullopt;
    const BufferLine* line = lineAt(buffer, row);
    CollectedCells collected;
    collectRow(line, row, cols, clusters, collected);
    const bool boxMirroring = stateOf(buffer, line).boxMirroring;
    std::vector<std::u32string> displays(collected.cells.size());
    std::vector<int> order(collected.cells.size());
    for (size_t i = 0; i < order.size(); ++i) {
        order[i] = int(order.size() - 1 - i);
        mirrorInto(collected.cells[i], displays[i], boxMirroring);
    }
    const LineStamp stamp = stampOf(line);
    return emitRow(collected.cells, order, displays, collected.usedWidths[0], cols, BidiDirection::rightToLeft,
                   revisionOf(std::span(&stamp, 1)));
}

DisplayedRow displayedRow(int row, const Buffer& buffer, int cols, int maximumRows, const ClusterScalars& clusters)
{
    DisplayedRow shown;
    shown.row = row;
    if (row < 0 || row >= buffer.lines().count())
        return shown;
    const BidiPresentationState state = stateOf(buffer, lineAt(buffer, row));
    if (state.supportMode == BidiSupportMode::explicit_) {
        if (state.fallbackDirection == BidiDirection::rightToLeft)
            shown.explicitRow = layoutParagraph(row, buffer, cols, clusters);
        return shown;
    }
    shown.paragraph = rowLayout(row, buffer, cols, maximumRows, clusters);
    return shown;
}

uint64_t cachedRowLayout(int row, const Buffer& buffer, int maximumRows)
{
    if (row < 0 || row >= buffer.lines().count())
        return 0;
    if (stateOf(buffer, lineAt(buffer, row)).supportMode == BidiSupportMode::explicit_)
        return 0;
    const auto bounds = paragraphBounds(row, buffer, maximumRows);
    if (!bounds)
        return 0;
    return revisionOf(stampsOf(buffer, bounds->first, bounds->second));
}

std::pair<int, int> expandToParagraphs(int firstRow, int lastRow, const Buffer& buffer, int maximumRows)
{
    const int count = buffer.lines().count();
    if (count <= 0)
        return {firstRow, lastRow};
    int first = std::clamp(firstRow, 0, count - 1);
    int last = std::clamp(lastRow, first, count - 1);
    auto widen = [&](int row) -> std::optional<std::pair<int, int>> {
        if (stateOf(buffer, lineAt(buffer, row)).supportMode != BidiSupportMode::implicit)
            return std::nullopt;
        return paragraphBounds(row, buffer, maximumRows);
    };
    if (auto b = widen(first))
        first = b->first;
    if (auto b = widen(last))
        last = b->second;
    return {first, last};
}

CacheStatistics cacheStatistics()
{
    Caches& cache = caches();
    std::lock_guard guard(cache.lock);
    return {cache.paragraphs.size(), cache.contents.size(), layoutPassCount.load(std::memory_order_relaxed)};
}

void clearCaches()
{
    Caches& cache = caches();
    std::lock_guard guard(cache.lock);
    cache.paragraphs.clear();
    cache.contents.clear();
}

}  // namespace TerminalBidi
}  // namespace ravelgrid
