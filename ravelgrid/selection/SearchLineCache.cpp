#include "ravelgrid/selection/SearchLineCache.h"

#include <algorithm>
#include <chrono>

#include "ravelgrid/screen/Utf8.h"
#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

namespace {

double nowSeconds()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void appendUtf16(std::u16string& out, char32_t c)
{
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
}

bool sameLine(const std::weak_ptr<BufferLine>& stamp, const BufferLinePtr& line)
{
    return !stamp.owner_before(line) && !line.owner_before(stamp);
}

// Accumulates units, switching to an explicit index table at the first unit
// that is longer than one code unit.
class LineBuilder {
public:
    explicit LineBuilder(SearchLine& line) : line_(line) {}

    void pushSingle(char16_t c)
    {
        line_.text.push_back(c);
        if (indexed_)
            line_.unitStarts.push_back(static_cast<int32_t>(line_.text.size()) - 1);
        ++line_.unitCount;
    }

    void push(char32_t scalar)
    {
        const size_t before = line_.text.size();
        appendUtf16(line_.text, scalar);
        noteUnit(before);
    }

    void pushCluster(const std::string& utf8Text)
    {
        const size_t before = line_.text.size();
        size_t pos = 0;
        while (pos < utf8Text.size())
            appendUtf16(line_.text, utf8::next(utf8Text, pos));
        if (line_.text.size() == before)
            line_.text += u' ';
        noteUnit(before);
    }

    void pop()
    {
        if (line_.unitCount == 0)
            return;
        --line_.unitCount;
        if (!indexed_) {
            line_.text.pop_back();
        } else {
            line_.text.resize(static_cast<size_t>(line_.unitStarts.back()));
            line_.unitStarts.pop_back();
        }
    }

    void finish()
    {
        if (indexed_)
            line_.unitStarts.push_back(static_cast<int32_t>(line_.text.size()));
    }

private:
    void noteUnit(size_t before)
    {
        const bool single = line_.text.size() == before + 1;
        if (!single && !indexed_) {
            indexed_ = true;
            line_.unitStarts.reserve(static_cast<size_t>(line_.unitCount) + 16);
            for (int i = 0; i < line_.unitCount; ++i)
                line_.unitStarts.push_back(i);
        }
        if (indexed_)
            line_.unitStarts.push_back(static_cast<int32_t>(before));
        ++line_.unitCount;
    }

    SearchLine& line_;
    bool indexed_ = false;
};

}  // namespace

// --- SearchLine -----------------------------------------------------------------

int SearchLine::rowUnits(int rowIndex) const
{
    const int next = rowIndex + 1 < rowCount() ? lineOffset(rowIndex + 1) : unitCount;
    return next - lineOffset(rowIndex);
}

int SearchLine::rowIndexOfUnit(int unit) const
{
    auto end = rows.begin() + rowCount();
    auto it = std::upper_bound(rows.begin(), end, unit, [](int u, const Row& r) { return u < r.offset; });
    return std::max(static_cast<int>(it - rows.begin()) - 1, 0);
}

int SearchLine::utf16Index(int unit) const
{
    unit = std::clamp(unit, 0, unitCount);
    return unitStarts.empty() ? unit : unitStarts[static_cast<size_t>(unit)];
}

int SearchLine::unitAt(int index) const
{
    if (index < 0 || index > static_cast<int>(text.size()))
        return -1;
    if (unitStarts.empty())
        return index;
    auto it = std::lower_bound(unitStarts.begin(), unitStarts.end(), index);
    if (it == unitStarts.end() || *it != index)
        return -1;
    return static_cast<int>(it - unitStarts.begin());
}

int SearchLine::nextUnitStart(int index) const
{
    if (unitStarts.empty())
        return index + 1;
    auto it = std::upper_bound(unitStarts.begin(), unitStarts.end(), index);
    return it == unitStarts.end() ? static_cast<int>(text.size()) + 1 : *it;
}

std::string SearchLine::utf8(int startUnit, int endUnit) const
{
    const int from = utf16Index(startUnit);
    const int to = utf16Index(endUnit);
    std::string out;
    for (int i = from; i < to; ++i) {
        char32_t c = text[static_cast<size_t>(i)];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < to) {
            const char32_t low = text[static_cast<size_t>(i) + 1];
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        utf8::append(out, isUnicodeScalar(c) ? c : U'\uFFFD');
    }
    return out;
}

// --- SearchLineCache --------------------------------------------------------------

SearchLineCache::SearchLineCache(Terminal& terminal) : terminal_(&terminal)
{}

void SearchLineCache::refreshIfStale()
{
    const double now = nowSeconds();
    const size_t n = static_cast<size_t>(std::max(terminal_->activeBuffer().lines().count(), 0));
    const bool keep = hasCache_ && now - lastAccessTimestamp_ < maxAgeSeconds && linesCache_.size() == n;
    if (!keep) {
        linesCache_.resize(n);
        startOf_.assign(n, -1);
        ++generation_;
        hasCache_ = true;
    }
    lastAccessTimestamp_ = now;
}

void SearchLineCache::invalidate()
{
    hasCache_ = false;
    ++generation_;
    lastAccessTimestamp_ = 0;
}

bool SearchLineCache::fresh(SearchLine& entry, int row) const
{
    if (entry.cacheGeneration != generation_)
        return false;
    if (entry.checkedEpoch == epoch_)
        return true;
    auto& ring = terminal_->activeBuffer().lines();
    const int needed = static_cast<int>(entry.rows.size());
    if (row + needed > ring.count())
        return false;
    // The line must still end where it ended: no new row wrapped onto it.
    if (!entry.hasNextRow && row + needed != ring.count())
        return false;
    for (int i = 0; i < needed; ++i) {
        const BufferLinePtr& current = ring.get(row + i);
        const SearchLine::Row& s = entry.rows[static_cast<size_t>(i)];
        if (!sameLine(s.line, current) || s.generation != current->generation() ||
            s.recycleGeneration != current->recycleGeneration())
            return false;
    }
    entry.checkedEpoch = epoch_;
    return true;
}

int SearchLineCache::lineStart(int row)
{
    auto& ring = terminal_->activeBuffer().lines();
    if (row <= 0 || row >= ring.count())
        return row;
    if (hasCache_ && static_cast<size_t>(row) < startOf_.size()) {
        const int s = startOf_[static_cast<size_t>(row)];
        if (s >= 0 && static_cast<size_t>(s) < linesCache_.size()) {
            SearchLine& entry = linesCache_[static_cast<size_t>(s)];
            if (s + entry.rowCount() > row && fresh(entry, s))
                return s;
        }
    }
    int s = row;
    while (s > 0) {
        const BufferLine* line = ring.peek(s);
        if (line == nullptr || !line->isWrapped())
            break;
        --s;
    }
    return s;
}

const SearchLine* SearchLineCache::line(int startRow)
{
    const int count = terminal_->activeBuffer().lines().count();
    if (startRow < 0 || startRow >= count)
        return nullptr;
    if (!hasCache_ || static_cast<size_t>(startRow) >= linesCache_.size()) {
        buildInto(scratch_, startRow, true);
        return &scratch_;
    }
    SearchLine& entry = linesCache_[static_cast<size_t>(startRow)];
    if (fresh(entry, startRow))
        return &entry;
    buildInto(entry, startRow, true);
    entry.cacheGeneration = generation_;
    entry.checkedEpoch = epoch_;
    const int end = std::min(startRow + entry.rowCount(), static_cast<int>(startOf_.size()));
    for (int r = startRow; r < end; ++r)
        startOf_[static_cast<size_t>(r)] = startRow;
    return &entry;
}

SearchLine SearchLineCache::buildLines(int row, bool trim) const
{
    SearchLine out;
    buildInto(out, row, trim);
    return out;
}

void SearchLineCache::buildInto(SearchLine& out, int row, bool trim) const
{
    out.text.clear();
    out.unitStarts.clear();
    out.rows.clear();
    out.unitCount = 0;
    out.hasNextRow = false;
    out.cacheGeneration = 0;
    out.checkedEpoch = 0;
    auto& ring = terminal_->activeBuffer().lines();
    const int count = ring.count();
    if (row < 0 || row >= count)
        return;
    LineBuilder builder(out);

    for (int r = row; r < count; ++r) {
        const BufferLinePtr& linePtr = ring.get(r);
        const BufferLine& line = *linePtr;
        out.rows.push_back({out.unitCount, linePtr, line.generation(), line.recycleGeneration()});
        ++rowsRead_;
        const BufferLine* next = r + 1 < count ? ring.get(r + 1).get() : nullptr;
        const bool nextWraps = next != nullptr && next->isWrapped();

        // The kept cells only: a scrollback line is not made full width; past
        // them the last one stands for the rest.
        const std::span<const CharData> kept = line.storedCells();
        const int keptCount = static_cast<int>(kept.size());
        auto cellAt = [&](int c) -> const CharData& { return kept[static_cast<size_t>(std::min(c, keptCount - 1))]; };
        // An alternate-screen row keeps cells past a narrower width; they don't show.
        const int size = std::min(line.dataSize(), terminal_->cols);
        const int length = nextWraps || !trim ? size : std::min(line.trimmedLength(), size);
        const int rowStart = out.unitCount;
        out.text.reserve(out.text.size() + static_cast<size_t>(length));
        bool lastCellGaveUnit = false;
        for (int c = 0; c < length; ++c) {
            const int32_t code = cellAt(c).code;
            lastCellGaveUnit = true;
            if (code == 0) {
                if (c > 0 && cellAt(c - 1).width == 2) {
                    lastCellGaveUnit = false;
                    continue;
                }
                builder.pushSingle(u' ');
            } else if (code < 0xD800 || (code >= 0xE000 && code < 0x10000)) {
                builder.pushSingle(static_cast<char16_t>(code));
            } else if (code >= CharData::firstClusterCode) {
                builder.pushCluster(terminal_->character(code));
            } else {
                builder.push(isUnicodeScalar(static_cast<uint32_t>(code)) ? static_cast<char32_t>(code) : U' ');
            }
        }
        // A wide character that did not fit at the end of this row moved to
        // the next one and left a blank behind; that blank is not text. The
        // right half of a wide character ending the row is no such blank.
        if (nextWraps && size > 0 && next->dataSize() > 0 && (*next)[0].width == 2 && lastCellGaveUnit &&
            length == size && cellAt(size - 1).code == 0 && cellAt(size - 1).width <= 1 && out.unitCount > rowStart)
            builder.pop();

        if (!nextWraps) {
            if (next != nullptr) {
                const BufferLinePtr& nextPtr = ring.get(r + 1);
                out.rows.push_back({out.unitCount, nextPtr, nextPtr->generation(), nextPtr->recycleGeneration()});
                out.hasNextRow = true;
            }
            break;
        }
    }
    builder.finish();
}

}  // namespace ravelgrid
