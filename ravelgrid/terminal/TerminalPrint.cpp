#include <unicode/uchar.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/Log.h"
#include "ravelgrid/screen/UnicodeUtil.h"
#include "ravelgrid/screen/Utf8.h"
#include "ravelgrid/terminal/ByteScan.h"
#include "ravelgrid/terminal/EditHelpers.h"
#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

namespace {

// Width and "has a canonical combining class", built once for the planes in use:
// the print path asks both for every character it prints.
struct ScalarProperties {
    int8_t width;
    bool combining;
};

ScalarProperties scalarProperties(char32_t s)
{
    // The BMP and the first supplementary plane, where the emoji live.
    constexpr uint32_t kCached = 0x20000;
    static const auto table = [] {
        auto t = std::make_unique<uint8_t[]>(kCached);
        for (uint32_t c = 0; c < kCached; ++c) {
            const int w = UnicodeUtil::width(c);
            const bool ccc = c >= 0x300 && u_getCombiningClass(static_cast<UChar32>(c)) != 0;
            t[c] = static_cast<uint8_t>((w + 1) | (ccc ? 4 : 0));
        }
        return t;
    }();
    if (s < kCached) {
        const uint8_t v = table[s];
        return {static_cast<int8_t>((v & 3) - 1), (v & 4) != 0};
    }
    return {UnicodeUtil::width(static_cast<uint32_t>(s)), u_getCombiningClass(static_cast<UChar32>(s)) != 0};
}

bool isRegionalIndicator(char32_t c)
{
    return c >= 0x1F1E6 && c <= 0x1F1FF;
}

// Scalars that attach to the previous cell even though their width is not 0.
bool joinsLikeAMark(char32_t s, int width)
{
    return width == 0 || s == 0x200D || (s >= 0xFE00 && s <= 0xFE0F) || (s >= 0xE0100 && s <= 0xE01EF) ||
           (s >= 0x180B && s <= 0x180D) || s == 0x180F || (s >= 0x1F3FB && s <= 0x1F3FF);
}

// Whether appending s to a grapheme cluster keeps it one cluster (the
// extended grapheme cluster rules, without the Indic conjunct rule).
bool continuesCluster(std::span<const char32_t> cluster, char32_t s)
{
    const char32_t prev = cluster.back();
    const auto p = static_cast<UGraphemeClusterBreak>(
        u_getIntPropertyValue(static_cast<UChar32>(prev), UCHAR_GRAPHEME_CLUSTER_BREAK));
    const auto n = static_cast<UGraphemeClusterBreak>(
        u_getIntPropertyValue(static_cast<UChar32>(s), UCHAR_GRAPHEME_CLUSTER_BREAK));
    if (p == U_GCB_CR && n == U_GCB_LF)
        return true;
    if (p == U_GCB_CONTROL || p == U_GCB_CR || p == U_GCB_LF || n == U_GCB_CONTROL || n == U_GCB_CR || n == U_GCB_LF)
        return false;
    if (p == U_GCB_L && (n == U_GCB_L || n == U_GCB_V || n == U_GCB_LV || n == U_GCB_LVT))
        return true;
    if ((p == U_GCB_LV || p == U_GCB_V) && (n == U_GCB_V || n == U_GCB_T))
        return true;
    if ((p == U_GCB_LVT || p == U_GCB_T) && n == U_GCB_T)
        return true;
    if (n == U_GCB_EXTEND || n == U_GCB_ZWJ || n == U_GCB_SPACING_MARK || p == U_GCB_PREPEND)
        return true;
    if (p == U_GCB_ZWJ && u_hasBinaryProperty(static_cast<UChar32>(s), UCHAR_EXTENDED_PICTOGRAPHIC)) {
        for (size_t k = cluster.size() - 1; k-- > 0;) {
            const char32_t c = cluster[k];
            if (u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_EXTENDED_PICTOGRAPHIC))
                return true;
            if (u_getIntPropertyValue(static_cast<UChar32>(c), UCHAR_GRAPHEME_CLUSTER_BREAK) != U_GCB_EXTEND)
                return false;
        }
        return false;
    }
    if (p == U_GCB_REGIONAL_INDICATOR && n == U_GCB_REGIONAL_INDICATOR) {
        size_t run = 0;
        for (size_t k = cluster.size(); k > 0 && isRegionalIndicator(cluster[k - 1]); --k)
            ++run;
        return run % 2 == 1;
    }
    return false;
}

// Runs of up to this many characters between cursor moves take the
// fixed-store path below.
constexpr size_t kShortRun = 8;

// A narrow cell as three little-endian words: code, width and payload; the
// semantic code and the attribute's first seven bytes; its last eight.
constexpr bool kCellAsWords = ByteScan::kLittleEndian && sizeof(CharData) == 24 && offsetof(CharData, width) == 4 &&
                              offsetof(CharData, payload) == 6 && offsetof(CharData, semanticContentCode) == 8 &&
                              offsetof(CharData, attribute) == 9 && sizeof(Attribute) == 15;

// Writes take (1 to kShortRun) narrow cells from bytes; the last cell gets
// bytes[skipTo - 1], the byte that lands in the last column without autowrap.
// A template on the stack would stall on store forwarding when read back right
// after its narrow stores, so the cell goes straight to memory: as three words
// built in registers where the layout allows. A fixed number of stores, the
// surplus ones repeating the last cell, spares the mispredicted end of a loop
// as long as each run.
template <size_t Stores>
void storeShortRun(CharData* cells, const uint8_t* bytes, size_t take, TinyAtom payload, uint8_t semanticCode,
                   const Attribute& attribute)
{
    if constexpr (kCellAsWords) {
        const auto* a = reinterpret_cast<const uint8_t*>(&attribute);
        const uint64_t head = uint64_t{1} << 32 | uint64_t{payload.code} << 48;
        const uint64_t middle = semanticCode | ByteScan::load(a) << 8;
        const uint64_t tail = ByteScan::load(a + 7);
        for (size_t k = 0; k < Stores; ++k) {
            const size_t j = std::min(k, take - 1);
            auto* cell = reinterpret_cast<unsigned char*>(&cells[j]);
            const uint64_t first = head | bytes[j];
            std::memcpy(cell, &first, 8);
            std::memcpy(cell + 8, &middle, 8);
            std::memcpy(cell + 16, &tail, 8);
        }
    } else {
        for (size_t k = 0; k < Stores; ++k) {
            const size_t j = std::min(k, take - 1);
            CharData& c = cells[j];
            c.code = bytes[j];
            c.width = 1;
            c.payload = payload;
            c.semanticContentCode = semanticCode;
            c.attribute = attribute;
        }
    }
}

inline void writeShortRun(CharData* cells, const uint8_t* bytes, size_t take, size_t skipTo, TinyAtom payload,
                          uint8_t semanticCode, const Attribute& attribute)
{
    if (take <= 4)
        storeShortRun<4>(cells, bytes, take, payload, semanticCode, attribute);
    else
        storeShortRun<kShortRun>(cells, bytes, take, payload, semanticCode, attribute);
    cells[take - 1].code = bytes[skipTo - 1];
}

}  // namespace

// --- codes -------------------------------------------------------------------------

int32_t Terminal::code(std::span<const char32_t> scalars)
{
    if (scalars.size() == 1)
        return static_cast<int32_t>(scalars[0]);
    if (scalars.size() == 2 && scalars[0] == U'\r' && scalars[1] == U'\n')
        return 10;
    if (auto c = clusters_.intern(scalars))
        return *c;
    return scalars.empty() ? 0 : static_cast<int32_t>(scalars[0]);
}

std::string Terminal::character(int32_t code) const
{
    std::string out;
    if (code < CharData::firstClusterCode) {
        utf8::append(out, isUnicodeScalar(static_cast<uint32_t>(code)) ? static_cast<char32_t>(code) : U' ');
        return out;
    }
    auto scalars = clusters_.lookup(code);
    if (scalars.empty())
        return " ";
    for (char32_t c : scalars)
        utf8::append(out, c);
    return out;
}

// --- printing ------------------------------------------------------------------------

int Terminal::rightLimit() const
{
    if (!marginMode)
        return cols - 1;
    const int margin = std::clamp(buffer->marginRight(), 0, cols - 1);
    const int x = buffer->x();
    // Right of the margin, text runs on to the screen's edge.
    if (x <= margin || (x == margin + 1 && wrapPendingAtMargin()))
        return margin;
    return cols - 1;
}

bool Terminal::wrapPendingAtMargin() const
{
    const Buffer& b = *buffer;
    return marginMode && marginWrap_.buffer == buffer && marginWrap_.x == b.x() && marginWrap_.y == b.y() &&
           b.x() == b.marginRight() + 1 && b.x() < cols;
}

void Terminal::noteMarginWrap()
{
    const Buffer& b = *buffer;
    if (marginMode && b.x() == b.marginRight() + 1 && b.x() < cols)
        marginWrap_ = MarginWrap{buffer, b.x(), b.y()};
    else if (marginWrap_.buffer)
        clearMarginWrap();
}

void Terminal::endMarginWrap()
{
    if (wrapPendingAtMargin())
        buffer->setX(buffer->marginRight());
    clearMarginWrap();
}

TinyAtom Terminal::hyperlinkPayload()
{
    if (!activeHyperlink)
        return {};
    if (activeHyperlink->kind == ActiveHyperlink::Kind::pending) {
        if (auto atom = payloads_.lookup(activeHyperlink->uri, activeHyperlink->remote)) {
            activeHyperlink->kind = ActiveHyperlink::Kind::resolved;
            activeHyperlink->atom = *atom;
        } else {
            activeHyperlink->kind = ActiveHyperlink::Kind::unavailable;
        }
    }
    return activeHyperlink->kind == ActiveHyperlink::Kind::resolved ? activeHyperlink->atom : TinyAtom{};
}

void Terminal::flushPendingUtf8()
{
    if (putbackSize_ == 0)
        return;
    putbackSize_ = 0;
    printReplacement();
}

void Terminal::printStateReset()
{
    flushPendingUtf8();
}

CharData* Terminal::mendRunEnds(BufferLine& line, int x, int width)
{
    clearWideCharacterAround(line, x, width);
    return line.cellsToOverwrite(x, width).data();  // mending may have moved them
}

void Terminal::handlePrint(std::span<const uint8_t> data, bool printableAscii)
{
    const uint8_t* p = data.data();
    const size_t n = data.size();
    size_t i = 0;
    cursorLine_ = nullptr;  // the host may have moved lines since the last call
    updateRange(buffer->y());

    // The few characters that follow a cursor move, when they fit the row
    // and no mode, margin or link asks for more, skip the general loop: it
    // costs more than the cells themselves.
    if (printableAscii && putbackSize_ == 0 && n - 1 < kShortRun && charset == nullptr && !insertMode && !marginMode &&
        !marginWrap_.buffer && !activeHyperlink) {
        Buffer& b = *buffer;
        const int x = b.x();
        if (!b.insertMode && x >= 0 && static_cast<size_t>(x) + n <= static_cast<size_t>(cols)) {
            // A line not yet made is left to the general path.
            auto* line = const_cast<BufferLine*>(b.lines().peek(b.yBase() + b.y()));
            if (line && x + static_cast<int>(n) <= line->dataSize()) {
                // Every cell of the run is written: a compact line need not be filled first.
                if (outputRemote_) [[unlikely]]
                    line->setPrintedByRemote(true);
                CharData* cells = line->cellsToOverwrite(x, static_cast<int>(n)).data();
                // Only a wide character's half under either end of the run needs mending.
                if (cells[0].width == 0 || cells[n - 1].width >= 2) [[unlikely]]
                    cells = mendRunEnds(*line, x, static_cast<int>(n));
                writeShortRun(cells, p, n, n, TinyAtom{}, b.semanticContent.code(), curAttr);
                lastPrintedCode_ = p[n - 1];
                lastPrintedWidth_ = 1;
                b.setX(x + static_cast<int>(n));
                rememberLastCell();
                return;
            }
        }
    }

    // Marking the row again at the end changes nothing unless the print may have left it.
    bool leftRow = false;

    if (putbackSize_ > 0) {
        uint8_t joined[8];
        const size_t kept = putbackSize_;
        std::copy(putback_.begin(), putback_.begin() + kept, joined);
        const size_t extra = std::min(n, size_t{4} - kept);
        std::copy(p, p + extra, joined + kept);
        char32_t s = 0;
        size_t consumed = 0;
        switch (utf8::decode(joined, kept + extra, s, consumed)) {
        case utf8::Decoded::incomplete:
            std::copy(joined, joined + kept + extra, putback_.begin());
            putbackSize_ = static_cast<uint8_t>(kept + extra);
            return;
        case utf8::Decoded::ok:
            putbackSize_ = 0;
            printScalar(s);
            break;
        case utf8::Decoded::invalid:
            putbackSize_ = 0;
            printReplacement();
            break;
        }
        leftRow = true;
        // The kept bytes were a valid prefix, so at least all of them were consumed.
        i = consumed - kept;
    }

    while (i < n) {
        if (p[i] < 0x80) {
            const size_t j = printableAscii ? n : ByteScan::skipAscii(p, i + 1, n);
            printBytesScanned_ += printableAscii ? 0 : j - i;
            if (writeAsciiRun(p + i, j - i, printableAscii))
                leftRow = true;
            i = j;
            continue;
        }
        char32_t s = 0;
        size_t consumed = 0;
        const utf8::Decoded r = utf8::decode(p + i, n - i, s, consumed);
        if (r == utf8::Decoded::incomplete) {
            putbackSize_ = static_cast<uint8_t>(n - i);
            std::copy(p + i, p + n, putback_.begin());
            return;
        }
        if (r == utf8::Decoded::ok)
            printScalar(s);
        else
            printReplacement();
        leftRow = true;
        i += consumed;
    }
    if (leftRow)
        updateRange(buffer->y());
}

bool Terminal::writeAsciiRun(const uint8_t* bytes, size_t length, bool printable)
{
    if (charset != nullptr || insertMode || buffer->insertMode) {
        for (size_t k = 0; k < length; ++k) {
            const uint8_t b = bytes[k];
            if (b < 0x20 || b == 0x7F)
                continue;
            char32_t s = b;
            if (auto text = CharSets::translate(charset, b); text && !text->empty()) {
                char32_t decoded = 0;
                size_t used = 0;
                const auto* tp = reinterpret_cast<const uint8_t*>(text->data());
                if (tp[0] < 0x80)
                    s = tp[0];
                else if (utf8::decode(tp, text->size(), decoded, used) == utf8::Decoded::ok)
                    s = decoded;
            }
            CharData cell;
            cell.code = static_cast<int32_t>(s);
            cell.width = 1;
            cell.attribute = curAttr;
            insertCharacter(cell);
        }
        return true;
    }

    Buffer& b = *buffer;
    bool wrapped = false;
    // The calls are skipped in the common case of no link and no margins.
    const TinyAtom payload = activeHyperlink ? hyperlinkPayload() : TinyAtom{};
    const uint8_t semanticCode = b.semanticContent.code();

    while (length > 0) {
        // DEL and stray C0 bytes print nothing.
        if (bytes[0] < 0x20 || bytes[0] == 0x7F) {
            ++bytes;
            --length;
            continue;
        }
        int right = marginMode ? rightLimit() : cols - 1;
        int x = b.x();
        if (x > right) {
            if (wraparound) {
                wrapCursorToNextLine();
                wrapped = true;
                x = b.x();
                right = rightLimit();
            } else {
                x = right;
            }
        }
        BufferLine& line = cursorLine();
        const int room = right - x + 1;

        // With autowrap, look no further than the row's room: scanning the
        // whole rest of a long unbroken line for every row is quadratic.
        const size_t scanLimit = wraparound ? std::min(length, static_cast<size_t>(room)) : length;
        size_t run = 1;
        if (printable) {
            run = scanLimit;
        } else if (scanLimit <= kShortRun) {
            // A few bytes between cursor moves: one pass finds both stops.
            while (run < scanLimit && bytes[run] >= 0x20 && bytes[run] != 0x7F)
                ++run;
            printBytesScanned_ += run;
        } else {
            run = ByteScan::skipAtLeast0x20(bytes, 1, scanLimit);
            printBytesScanned_ += run;
            if (const void* del = std::memchr(bytes, 0x7F, run))
                run = static_cast<size_t>(static_cast<const uint8_t*>(del) - bytes);
        }
        size_t take;
        size_t skipTo;  // bytes consumed from the input
        if (!wraparound && run > static_cast<size_t>(room)) {
            // Without autowrap every byte past the edge lands in the last column.
            take = static_cast<size_t>(room);
            skipTo = run;
        } else {
            take = std::min(run, static_cast<size_t>(room));
            skipTo = take;
        }
        CharData* cells = line.cellsToOverwrite(x, static_cast<int>(take)).data();  // x + take <= cols <= dataSize
        // Only a wide character's half under either end of the run needs mending.
        if (cells[0].width == 0 || cells[take - 1].width >= 2) [[unlikely]]
            cells = mendRunEnds(line, x, static_cast<int>(take));
        if (take <= kShortRun) {
            writeShortRun(cells, bytes, take, skipTo, payload, semanticCode, curAttr);
        } else {
            // Copy the template, then set the code: building each cell on the
            // stack first would stall on store forwarding.
            CharData templ;
            templ.attribute = curAttr;
            templ.payload = payload;
            templ.semanticContentCode = semanticCode;
            for (size_t k = 0; k + 1 < take; ++k) {
                std::memcpy(&cells[k], &templ, sizeof templ);
                cells[k].code = bytes[k];
            }
            std::memcpy(&cells[take - 1], &templ, sizeof templ);
            cells[take - 1].code = bytes[skipTo - 1];
        }
        lastPrintedCode_ = bytes[skipTo - 1];
        lastPrintedWidth_ = 1;
        b.setX(x + static_cast<int>(take));
        if (marginMode || marginWrap_.buffer)
            noteMarginWrap();
        rememberLastCell();
        bytes += skipTo;
        length -= skipTo;
    }
    return wrapped;
}

void Terminal::clearWideCharacterAround(BufferLine& line, int x, int width)
{
    const int size = line.dataSize();
    if (x < 0 || x >= size)
        return;
    // Overwriting the right half of a wide character orphans its left half.
    if (line[x].width == 0 && x > 0 && line[x - 1].width >= 2) {
        CharData blank;
        blank.attribute = line[x - 1].attribute;
        line.set(x - 1, blank);
    }
    // Overwriting the left half orphans the right half.
    const int last = std::min(x + width - 1, size - 1);
    if (line[last].width >= 2 && last + 1 < size && line[last + 1].width == 0) {
        CharData blank;
        blank.attribute = line[last + 1].attribute;
        line.set(last + 1, blank);
    }
}

BufferLine& Terminal::cursorLine()
{
    Buffer& b = *buffer;
    const int row = b.yBase() + b.y();
    if (!cursorLine_ || cursorLineBuffer_ != buffer || cursorLineRow_ != row) {
        // A line that exists needs none of get()'s checks; get() makes a missing one.
        const BufferLine* existing = b.lines().peek(row);
        cursorLine_ = existing ? const_cast<BufferLine*>(existing) : &b.lines()[row];
        if (outputRemote_) [[unlikely]]
            cursorLine_->setPrintedByRemote(true);
        cursorLineBuffer_ = buffer;
        cursorLineRow_ = row;
    }
    return *cursorLine_;
}

void Terminal::wrapCursorToNextLine()
{
    Buffer& b = *buffer;
    // Text that began right of the right margin wraps like a line feed from
    // there: at the bottom margin it goes on at the left margin of the same
    // row, and the region does not scroll.
    const int x = b.x();
    const bool fromRightOfMargin = marginMode && b.marginRight() < cols - 1 &&
                                   (x > b.marginRight() + 1 || (x == b.marginRight() + 1 && !wrapPendingAtMargin()));
    b.setX(marginMode ? std::max(b.marginLeft(), 0) : 0);
    const int y = b.y();
    if (y == b.scrollBottom()) {
        if (!fromRightOfMargin)
            scroll(true);
    } else if (y >= rows - 1) {
        // Below the region on the last row: the region stays; the text goes on
        // from the start of the same row.
    } else {
        b.setY(y + 1);
        BufferLine& above = b.screenLine(y);
        BufferLine& line = b.screenLine(y + 1);
        line.setWrapped(true);
        line.setBidiState(above.bidiState());
        updateRange(y + 1);
    }
}

void Terminal::insertCharacter(const CharData& input)
{
    Buffer& b = *buffer;
    CharData cell = input;
    const int w = std::max<int>(cell.width, 1);
    int right = rightLimit();
    if (b.x() + w - 1 > right) {
        if (!wraparound) {
            if (w >= 2)
                return;
            b.setX(right);
        } else {
            wrapCursorToNextLine();
            right = rightLimit();
        }
    }
    BufferLine& line = cursorLine();
    int x = b.x();
    if (b.insertMode || insertMode) {
        CharData blank;
        blank.attribute = eraseAttr();
        if (x <= right) {
            line.insertCells(x, w, right, blank);
            // No wide character may lose its half at either edge of the shift.
            EditHelpers::mendSeam(line, x, blank);
            EditHelpers::mendSeam(line, x + w, blank);
            EditHelpers::mendSeam(line, right + 1, blank);
        }
    }
    if (x >= cols)
        x = cols - 1;
    const TinyAtom payload = hyperlinkPayload();
    const uint8_t semantic = b.semanticContent.code();
    clearWideCharacterAround(line, x, w);
    const int end = std::min(cols, line.dataSize());
    if (x >= end)
        x = end - 1;
    // Every cell handed out is written: a compact line need not be filled first.
    const std::span<CharData> cells = line.cellsToOverwrite(x, std::min(w, end - x));
    if (cells.empty())
        return;
    // Field by field: a whole-cell copy of a freshly built cell would stall
    // on store forwarding.
    auto store = [&](CharData& dst, int32_t code, int8_t width) {
        dst.code = code;
        dst.width = width;
        dst.payload = payload;
        dst.semanticContentCode = semantic;
        dst.attribute = cell.attribute;
    };
    store(cells[0], cell.code, cell.width);
    lastPrintedCode_ = cell.code;
    lastPrintedWidth_ = cell.width;
    for (size_t k = 1; k < cells.size(); ++k)
        store(cells[k], 0, 0);
    b.setX(x + static_cast<int>(cells.size()));
    noteMarginWrap();
    rememberLastCell();
}

std::optional<std::pair<int, int>> Terminal::combiningTarget(Buffer& b) const
{
    const int x = b.x();
    if (x <= 0)
        return std::nullopt;
    const BufferLine& line = &b == buffer ? const_cast<Terminal*>(this)->cursorLine() : b.screenLine(b.y());
    const int size = line.dataSize();
    if (size == 0)
        return std::nullopt;
    int col = std::min(x - 1, size - 1);
    while (col > 0 && line[col].width == 0)
        --col;
    const CharData& cell = line[col];
    if (cell.code == 0 || cell.width < 1)
        return std::nullopt;
    return std::pair{b.yBase() + b.y(), col};
}

void Terminal::printScalar(char32_t s)
{
    const ScalarProperties props = scalarProperties(s);
    int width = props.width;
    if (width < 0)
        return;
    if (options_.regionalIndicatorWidth == RegionalIndicatorWidth::narrow && width == 2 && isRegionalIndicator(s))
        width = 1;

    auto print = [&] {
        CharData cell;
        cell.code = static_cast<int32_t>(s);
        cell.width = static_cast<int8_t>(width);
        cell.attribute = curAttr;
        insertCharacter(cell);
    };

    const bool classA = joinsLikeAMark(s, width);
    const bool classB = !classA && props.combining;
    if (classA || classB) {
        if (auto target = combiningTarget(*buffer))
            joinIntoTarget(*target, s);
        else if (width > 0)
            print();
        return;
    }
    // Only a joiner or a pending flag half makes an ordinary character join.
    // While nothing but printing happened since the last cell was written,
    // that cell is the one left of the cursor and its code is known.
    if (lastCellKnown_ && lastCellBuffer_ == buffer && lastCellX_ == buffer->x() &&
        lastCellRow_ == buffer->yBase() + buffer->y()) {
        bool joinable = lastPrintedCode_ == 0x200D ||
                        (isRegionalIndicator(s) && isRegionalIndicator(static_cast<char32_t>(lastPrintedCode_)));
        if (!joinable && lastPrintedCode_ >= CharData::firstClusterCode) {
            auto scalars = clusters_.lookup(lastPrintedCode_);
            joinable = !scalars.empty() && scalars.back() == 0x200D;
        }
        if (!joinable) {
            print();
            return;
        }
    }
    if (buffer->x() > 0) {
        if (auto target = combiningTarget(*buffer)) {
            const CharData& cell = buffer->lines()[target->first][target->second];
            bool join = false;
            if (cell.code == 0x200D)
                join = true;
            else if (cell.code >= CharData::firstClusterCode) {
                auto scalars = clusters_.lookup(cell.code);
                join = !scalars.empty() && scalars.back() == 0x200D;
            } else if (isRegionalIndicator(s) && isRegionalIndicator(static_cast<char32_t>(cell.code))) {
                join = true;
            }
            if (join) {
                joinIntoTarget(*target, s);
                return;
            }
        }
    }
    print();
}

void Terminal::joinIntoTarget(std::pair<int, int> target, char32_t s)
{
    Buffer& b = *buffer;
    BufferLine& line = target.first == b.yBase() + b.y() ? cursorLine() : b.lines()[target.first];
    const int col = target.second;
    const CharData old = line[col];

    char32_t combined[GraphemeTable::kMaxScalarsPerCluster + 1];
    size_t length = 0;
    if (old.code >= CharData::firstClusterCode) {
        auto scalars = clusters_.lookup(old.code);
        length = std::min(scalars.size(), GraphemeTable::kMaxScalarsPerCluster);
        std::copy(scalars.begin(), scalars.begin() + static_cast<long>(length), combined);
    } else {
        combined[length++] = static_cast<char32_t>(old.code);
    }
    const int width = scalarProperties(s).width;
    if (length == 0 || !continuesCluster(std::span<const char32_t>(combined, length), s)) {
        // Not part of the cluster: a character of its own.
        if (width > 0) {
            CharData cell;
            cell.code = static_cast<int32_t>(s);
            cell.width = static_cast<int8_t>(width);
            cell.attribute = curAttr;
            insertCharacter(cell);
        }
        return;
    }
    if (length >= GraphemeTable::kMaxScalarsPerCluster)
        return;  // an absurdly long cluster keeps what it has
    combined[length++] = s;
    const auto newCode = clusters_.intern(std::span<const char32_t>(combined, length));
    if (!newCode) {
        if (!clusterTableFullLogged_) {
            clusterTableFullLogged_ = true;
            platform::logWarning("terminal", "grapheme cluster table full: further combining characters are dropped");
        }
        return;
    }

    CharData cell = old;
    cell.code = *newCode;
    int newWidth = old.width;
    const char32_t base = combined[length - 2];
    auto widen = [&] {
        if (col + 1 < cols && col + 1 < line.dataSize()) {
            clearWideCharacterAround(line, col + 1, 1);
            CharData rest = old;
            rest.code = 0;
            rest.width = 0;
            line.set(col + 1, rest);
            newWidth = 2;
            b.setX(b.x() + 1);
        }
    };
    if ((s == 0xFE0E || s == 0xFE0F) && UnicodeUtil::isEmojiVariationBase(static_cast<uint32_t>(base))) {
        if (s == 0xFE0E) {
            newWidth = 1;
            if (old.width == 2) {
                // The freed right half becomes a plain blank, not an orphan.
                if (col + 1 < line.dataSize() && line[col + 1].width == 0) {
                    CharData blank;
                    blank.attribute = old.attribute;
                    line.set(col + 1, blank);
                }
                if (b.x() >= 1)
                    b.setX(b.x() - 1);
            }
        } else if (old.width != 2) {
            widen();
        }
    } else if (options_.regionalIndicatorWidth == RegionalIndicatorWidth::narrow && isRegionalIndicator(s) &&
               old.width == 1) {
        widen();
    }
    cell.width = static_cast<int8_t>(newWidth);
    line.set(col, cell);
    lastPrintedCode_ = cell.code;
    lastPrintedWidth_ = cell.width;
    if (b.x() == col + cell.width)
        rememberLastCell();
    else
        forgetLastCell();
    updateRange(b.y());
}

// --- C0 and the three C1 controls -----------------------------------------------------------

void Terminal::execute(uint8_t code)
{
    flushPendingUtf8();
    switch (code) {
    case 0x07:
        if (tdel_)
            tdel_->bell(*this);
        break;
    case 0x08: cmdBackspace(); break;
    case 0x09: {
        // No stop lies after the pending-wrap position: the next character still wraps.
        if (buffer->x() >= cols)
            break;
        const int next = buffer->nextTabStop(marginMode);
        if (next >= 0)
            buffer->setX(next);
        break;
    }
    case 0x0A:
    case 0x0B:
    case 0x0C: cmdLineFeed(); break;
    case 0x0D: cmdCarriageReturn(); break;
    case 0x0E: setgLevel(1); break;
    case 0x0F: setgLevel(0); break;
    case 0x84: cmdIndex(); break;
    case 0x85: cmdNextLine(); break;
    case 0x88: cmdTabSet(); break;
    default: break;
    }
}

void Terminal::joinSemanticGroupAfterMove()
{
    Buffer& b = *buffer;
    if (b.semanticInput != SemanticInputState::prompt && b.semanticInput != SemanticInputState::armed)
        return;
    BufferLine& line = b.screenLine(b.y());
    const auto group = line.semanticHardContinuationGroup();
    if (!group) {
        line.setSemanticHardContinuationGroup(b.activeSemanticGroupID);
        return;
    }
    if (*group == b.activeSemanticGroupID)
        return;
    for (int c = 0; c < line.dataSize(); ++c) {
        CharData cell = line[c];
        if (cell.semanticContentCode >= 1 && cell.semanticContentCode <= 5) {
            cell.semanticContentCode = 0;
            line.set(c, cell);
        }
    }
    line.setSemanticHardContinuationGroup(b.activeSemanticGroupID);
}

void Terminal::cmdLineFeed()
{
    Buffer& b = *buffer;
    const int y = b.y();
    bool moved = false;
    if (y == b.scrollBottom()) {
        const bool outsideMargins = marginMode && (b.x() < b.marginLeft() || b.x() > b.marginRight());
        if (!outsideMargins) {
            scroll(false);
            moved = true;
        }
    } else if (y >= rows - 1) {
        // below the region on the last row: nowhere to go
    } else {
        b.setY(y + 1);
        BufferLine& line = b.screenLine(y + 1);
        if (!line.isWrapped())
            line.setBidiState(currentBidiState);
        moved = true;
    }
    if (b.x() >= cols)
        b.setX(cols - 1);
    if (moved)
        joinSemanticGroupAfterMove();
    emitLineFeed();
    if (lineFeedMode)
        b.setX(originMode && marginMode ? b.marginLeft() : 0);
}

void Terminal::emitLineFeed()
{
    if (tdel_)
        tdel_->linefeed(*this);
}

void Terminal::cmdBackspace()
{
    Buffer& b = *buffer;
    restrictCursor(!reverseWraparound);
    const int left = marginMode ? b.marginLeft() : 0;
    const int right = marginMode ? b.marginRight() : cols - 1;
    const int x = b.x();
    if (x > left) {
        b.setX(x - 1);
        return;
    }
    if (!reverseWraparound) {
        if (x > 0 && x < left)
            b.setX(x - 1);
        return;
    }
    const int y = b.y();
    if (y > b.scrollTop() && y <= b.scrollBottom()) {
        BufferLine& line = b.screenLine(y);
        if (!marginMode && line.isWrapped())
            line.setWrapped(false);
        b.setY(y - 1);
        b.setX(right);
    } else if (y == b.scrollTop()) {
        b.setX(right);
        b.setY(b.scrollBottom());
    } else if (y > 0) {
        b.setX(right);
        b.setY(y - 1);
    }
}

void Terminal::cmdCarriageReturn()
{
    Buffer& b = *buffer;
    b.setX(marginMode && b.x() >= b.marginLeft() ? b.marginLeft() : 0);
}

void Terminal::garbageCollectPayload()
{
    if (payloads_.liveCount() == 0)
        return;
    // One flag per code: a sweep visits every cell, so each visit stays cheap.
    std::vector<uint8_t> used(size_t{PayloadTable::maxCode} + 1, 0);
    size_t cells = 0;
    for (Buffer* b : {normalBuffer.get(), altBuffer.get()}) {
        auto& ring = b->lines();
        for (int r = 0; r < ring.count(); ++r) {
            const auto span = ring[r].storedCells();
            cells += span.size();
            for (const CharData& cell : span)
                used[cell.payload.code] = 1;
        }
    }
    if (activeHyperlink && activeHyperlink->kind == ActiveHyperlink::Kind::resolved)
        used[activeHyperlink->atom.code] = 1;
    payloads_.releaseUnused(used);
    lastSweptCells_ = cells;
    payloadCellsSwept_ += cells;
}

std::optional<SemanticContent> Terminal::semanticContent(Position at)
{
    auto& ring = buffer->lines();
    if (at.col < 0 || at.row < 0 || at.col >= cols || at.row >= ring.count())
        return std::nullopt;
    const BufferLine& line = ring[at.row];
    if (line.dataSize() == 0)
        return std::nullopt;
    return line[std::min(at.col, line.dataSize() - 1)].semanticContent();
}

std::optional<int> Terminal::semanticRow(const BufferLine* line, uint64_t recycleGeneration)
{
    if (!line || line->recycleGeneration() != recycleGeneration)
        return std::nullopt;
    return buffer->findRowOfLine(buffer->semanticPromptStartRowCache, line);
}

void Terminal::sendUserInput(std::span<const uint8_t> bytes)
{
    if (scanUserInputForSubmission(bytes) && buffer->semanticInput == SemanticInputState::armed)
        buffer->semanticInput = SemanticInputState::submitted;
    if (tdel_)
        tdel_->send(*this, bytes);
}

}  // namespace ravelgrid
