#include <unicode/uchar.h>
#include <unicode/uregex.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>

#include "platform/Log.h"
#include "ravelgrid/screen/Utf8.h"
#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

namespace {

// URLs with a known scheme; paths that start with ../ ./ ~/ $VAR/ .dir/ or /;
// and relative paths with a dot in them.
constexpr const char* kLinkPattern =
    R"re((?:https?://|mailto:|ftp://|file:|ssh:|git://|ssh://|tel:|magnet:|ipfs://|ipns://|gemini://|gopher://|news:)(?:(?:\[[:0-9a-fA-F]+\](?::[0-9]+)?)|[\w\-.~:/?#@!$&*+,;=%](?:(?:[\(\[]\w*[\)\]]))?)+(?<![,.])|(?:\.\.\/|\.\/|(?<!\w)~\/|(?:[\w][\w\-.]*\/)*(?<!\w)\$[A-Za-z_]\w*\/|\.[\w][\w\-.]*\/|(?<![\w~\/])\/(?!\/))(?:(?=[\w\-.~:\/?#@!$&*+;=%]*\.)[\w\-.~:\/?#@!$&*+;=%]+(?:(?<!:) (?!\w+:\/\/)[\w\-.~:\/?#@!$&*+;=%]*[\/.])*(?<!:)(?: +(?= *$))?|(?![\w\-.~:\/?#@!$&*+;=%]*\.)[\w\-.~:\/?#@!$&*+;=%]+(?:(?<!:) (?!\w+:\/\/)[\w\-.~:\/?#@!$&*+;=%]+)*(?<!:)(?: +(?= *$))?)|(?=[\w\-.~:\/?#@!$&*+;=%]*\.)(?<!\w)[\w][\w\-.]*\/[\w\-.~:\/?#@!$&*+;=%]+(?:(?<!:) (?!\w+:\/\/)[\w\-.~:\/?#@!$&*+;=%]*[\/.])*(?<!:)(?: +(?= *$))?)re";

constexpr std::string_view kUrlCharacters =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._~:/?#[]@!$&*+,;=%()";

// Rows joined around the looked-up one, each way: a link longer than this
// is not worth a stall of the user interface.
constexpr int kMaxImplicitRowsEachWay = 64;
constexpr int kSeamColumns = 96;
// Steps of ICU's match engine (roughly milliseconds) before a match gives up.
constexpr int32_t kRegexTimeLimit = 50;

std::u16string toUtf16(std::string_view utf8)
{
    std::u16string out;
    size_t pos = 0;
    while (pos < utf8.size()) {
        const char32_t c = utf8::next(utf8, pos);
        if (c < 0x10000) {
            out += static_cast<char16_t>(c);
        } else {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    return out;
}

std::string toUtf8(std::u16string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        utf8::append(out, c);
    }
    return out;
}

// The compiled expression, shared by the process; each thread matches with
// its own clone because a matcher carries state.
const URegularExpression* linkPattern()
{
    static URegularExpression* compiled = [] {
        const std::u16string pattern = toUtf16(kLinkPattern);
        UErrorCode status = U_ZERO_ERROR;
        UParseError where{};
        URegularExpression* re = uregex_open(reinterpret_cast<const UChar*>(pattern.data()),
                                             static_cast<int32_t>(pattern.size()), 0, &where, &status);
        if (U_FAILURE(status)) {
            platform::logWarning("terminal", std::string("link pattern unavailable: ") + u_errorName(status));
            return static_cast<URegularExpression*>(nullptr);
        }
        return re;
    }();
    return compiled;
}

URegularExpression* threadLinkMatcher()
{
    struct Holder {
        URegularExpression* re = nullptr;
        ~Holder()
        {
            if (re)
                uregex_close(re);
        }
    };
    thread_local Holder holder;
    if (!holder.re) {
        if (const URegularExpression* pattern = linkPattern()) {
            UErrorCode status = U_ZERO_ERROR;
            holder.re = uregex_clone(pattern, &status);
            if (U_FAILURE(status)) {
                holder.re = nullptr;
            } else {
                uregex_setTimeLimit(holder.re, kRegexTimeLimit, &status);
            }
        }
    }
    return holder.re;
}

struct Utf16Match {
    int32_t start = 0;
    int32_t end = 0;
};

// Every match of the link pattern, in order; nothing when the pattern is
// unavailable or the engine gives up.
std::optional<std::vector<Utf16Match>> findLinkMatches(std::u16string_view text)
{
    URegularExpression* re = threadLinkMatcher();
    if (!re)
        return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    uregex_setText(re, reinterpret_cast<const UChar*>(text.data()), static_cast<int32_t>(text.size()), &status);
    std::vector<Utf16Match> matches;
    while (U_SUCCESS(status) && uregex_findNext(re, &status)) {
        const int32_t s = uregex_start(re, 0, &status);
        const int32_t e = uregex_end(re, 0, &status);
        if (U_SUCCESS(status))
            matches.push_back({s, e});
    }
    static const char16_t empty = 0;
    UErrorCode ignored = U_ZERO_ERROR;
    uregex_setText(re, reinterpret_cast<const UChar*>(&empty), 0, &ignored);
    if (U_FAILURE(status))
        return matches.empty() ? std::nullopt : std::optional(matches);
    return matches;
}

bool suppressLikeMatch(const Utf16Match& m, std::u16string_view text)
{
    return m.start > 0 && text[static_cast<size_t>(m.start) - 1] == u'$';
}

bool isRightHalf(const BufferLine& line, int col)
{
    return col > 0 && col < line.dataSize() && line[col].code == 0 && line[col - 1].width == 2;
}

bool isUrlScalar(char32_t c)
{
    return c < 0x80 && kUrlCharacters.find(static_cast<char>(c)) != std::string_view::npos;
}

struct ImplicitCellRef {
    int row = 0;
    int col = 0;
    int width = 1;
};

struct ImplicitLineMap {
    std::u16string text;
    std::vector<ImplicitCellRef> cells;
    std::vector<int32_t> utf16Start;  // where each cell's character starts in text
    int firstRow = 0;
    int lastRow = 0;

    // The character that holds a UTF-16 offset.
    size_t characterAt(int32_t offset) const
    {
        const auto it = std::upper_bound(utf16Start.begin(), utf16Start.end(), offset);
        return it == utf16Start.begin() ? 0 : static_cast<size_t>(it - utf16Start.begin() - 1);
    }
};

struct LinkRowEdgeInfo {
    int firstCol = 0;
    bool firstIsUrlCharacter = false;
    int lastCol = 0;
    bool lastIsUrlCharacter = false;
};

// The reading of the screen that link detection does: one Character per
// cell, empty cells as spaces, right halves of wide characters skipped.
class LinkScanner {
public:
    LinkScanner(const Terminal& terminal, Buffer& buffer)
        : terminal_(terminal), ring_(buffer.lines()), cols_(buffer.cols())
    {}

    std::optional<LinkMatch> implicitLinkMatch(Position at)
    {
        const ImplicitLineMap map = buildImplicitLineMap(at);
        if (map.cells.empty())
            return std::nullopt;
        const auto matches = findLinkMatches(map.text);
        if (!matches)
            return std::nullopt;
        for (const Utf16Match& m : *matches) {
            if (m.end <= m.start || suppressLikeMatch(m, map.text))
                continue;
            const size_t first = map.characterAt(m.start);
            const size_t last = std::min(map.characterAt(m.end - 1) + 1, map.cells.size());
            std::map<int, ColumnRange> spans;
            bool covers = false;
            for (size_t i = first; i < last; ++i) {
                const ImplicitCellRef& ref = map.cells[i];
                auto [it, fresh] = spans.try_emplace(ref.row, ColumnRange{ref.col, ref.col + ref.width});
                if (!fresh) {
                    it->second.lowerBound = std::min(it->second.lowerBound, ref.col);
                    it->second.upperBound = std::max(it->second.upperBound, ref.col + ref.width);
                }
                covers = covers || (ref.row == at.row && ref.col <= at.col && at.col < ref.col + ref.width);
            }
            if (!covers)
                continue;
            LinkMatch result;
            result.text = toUtf8(std::u16string_view(map.text).substr(static_cast<size_t>(m.start),
                                                                      static_cast<size_t>(m.end - m.start)));
            result.row = at.row;
            result.range = spans[at.row];
            result.isExplicit = false;
            for (const auto& [row, range] : spans)
                if (!range.empty())
                    result.rowRanges.push_back({row, range});
            return result;
        }
        return std::nullopt;
    }

private:
    BufferLine& line(int row) { return ring_[row]; }
    int limit(const BufferLine& l) const { return std::min(l.dataSize(), cols_); }

    // The scalars of a cell; NUL stands for an empty cell.
    void cellScalars(const CharData& cell, std::u32string& out) const
    {
        out.clear();
        if (cell.code < CharData::firstClusterCode) {
            out += isUnicodeScalar(static_cast<uint32_t>(cell.code)) ? static_cast<char32_t>(cell.code) : U' ';
            return;
        }
        const std::string text = terminal_.character(cell.code);
        size_t pos = 0;
        while (pos < text.size())
            out += utf8::next(text, pos);
        if (out.empty())
            out += U' ';
    }

    void appendCharacter(const CharData& cell, std::u16string& text)
    {
        cellScalars(cell, scratch_);
        for (char32_t c : scratch_) {
            if (c == 0)
                c = U' ';
            if (c < 0x10000) {
                text += static_cast<char16_t>(c);
            } else {
                text += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
                text += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
            }
        }
    }

    bool isWhitespace(const CharData& cell)
    {
        cellScalars(cell, scratch_);
        const char32_t c = scratch_.front();
        return c == 0 || u_isUWhiteSpace(static_cast<UChar32>(c));
    }

    bool isUrlCharacter(const CharData& cell)
    {
        cellScalars(cell, scratch_);
        return std::all_of(scratch_.begin(), scratch_.end(), isUrlScalar);
    }

    // One past the last cell with content, its width counted.
    int contentEnd(int row)
    {
        BufferLine& l = line(row);
        const int lim = limit(l);
        for (int c = lim - 1; c >= 0; --c)
            if (l[c].code != 0)
                return std::min(c + std::max<int>(l[c].width, 1), lim);
        return 0;
    }

    std::optional<LinkRowEdgeInfo> linkRowEdgeInfo(int row)
    {
        if (row < 0 || row >= ring_.count())
            return std::nullopt;
        BufferLine& l = line(row);
        const int lim = std::min(limit(l), l.trimmedLength());
        std::optional<int> first, last;
        for (int c = 0; c < lim && !first; ++c)
            if (!isRightHalf(l, c) && !isWhitespace(l[c]))
                first = c;
        if (!first)
            return std::nullopt;
        for (int c = lim - 1; c >= *first && !last; --c)
            if (!isRightHalf(l, c) && !isWhitespace(l[c]))
                last = c;
        return LinkRowEdgeInfo{*first, isUrlCharacter(l[*first]), *last, isUrlCharacter(l[*last])};
    }

    std::u16string implicitLineSegmentText(BufferLine& l, int startCol, int endCol)
    {
        std::u16string text;
        for (int c = std::max(startCol, 0); c < std::min(endCol, l.dataSize()); ++c)
            if (!isRightHalf(l, c))
                appendCharacter(l[c], text);
        return text;
    }

    bool seamContainsImplicitLink(int upper, int lower, int upperLastCol, int lowerFirstCol)
    {
        BufferLine& up = line(upper);
        BufferLine& down = line(lower);
        std::u16string text = implicitLineSegmentText(up, upperLastCol + 1 - kSeamColumns, upperLastCol + 1);
        const auto join = static_cast<int32_t>(text.size());
        text += implicitLineSegmentText(down, lowerFirstCol, std::min(lowerFirstCol + kSeamColumns, limit(down)));
        const auto matches = findLinkMatches(text);
        if (!matches)
            return false;
        return std::any_of(matches->begin(), matches->end(), [&](const Utf16Match& m) {
            return m.start < join && m.end > join && !suppressLikeMatch(m, text);
        });
    }

    bool canJoinImplicitRows(int upper, int lower)
    {
        const auto up = linkRowEdgeInfo(upper);
        const auto down = linkRowEdgeInfo(lower);
        if (!up || !down)
            return false;
        const int threshold = cols_ > 9 ? cols_ / 5 : 2;
        if (up->lastCol < cols_ - threshold)
            return false;
        if (!up->lastIsUrlCharacter || !down->firstIsUrlCharacter)
            return false;
        return seamContainsImplicitLink(upper, lower, up->lastCol, down->firstCol);
    }

    std::optional<std::pair<int, int>> heuristicImplicitGroup(int row)
    {
        int top = row;
        while (top > 0 && row - top < kMaxImplicitRowsEachWay && canJoinImplicitRows(top - 1, top))
            --top;
        int bottom = row;
        while (bottom + 1 < ring_.count() && bottom - row < kMaxImplicitRowsEachWay &&
               canJoinImplicitRows(bottom, bottom + 1))
            ++bottom;
        if (top == row && bottom == row)
            return std::nullopt;
        return std::pair{top, bottom};
    }

    bool isImplicitContinuationRow(int row, int startRow)
    {
        if (row <= startRow)
            return false;
        return line(row).isWrapped() || canJoinImplicitRows(row - 1, row);
    }

    ImplicitLineMap buildImplicitLineMap(Position at)
    {
        ImplicitLineMap map;
        const int row = at.row;
        int col = at.col;
        if (isRightHalf(line(row), col))
            --col;
        int top = row, bottom = row;
        while (top > 0 && row - top < kMaxImplicitRowsEachWay && line(top).isWrapped())
            --top;
        while (bottom + 1 < ring_.count() && bottom - row < kMaxImplicitRowsEachWay && line(bottom + 1).isWrapped())
            ++bottom;
        if (top == row && bottom == row) {
            if (const auto group = heuristicImplicitGroup(row)) {
                top = group->first;
                bottom = group->second;
            }
        }
        if (col >= contentEnd(row))
            return map;
        map.firstRow = top;
        map.lastRow = bottom;
        for (int r = top; r <= bottom; ++r) {
            const int end = contentEnd(r);
            int start = 0;
            if (r > top && isImplicitContinuationRow(r, top)) {
                const auto edge = linkRowEdgeInfo(r);
                start = edge ? edge->firstCol : end;
            }
            BufferLine& l = line(r);
            for (int c = start; c < end; ++c) {
                if (isRightHalf(l, c))
                    continue;
                map.utf16Start.push_back(static_cast<int32_t>(map.text.size()));
                appendCharacter(l[c], map.text);
                map.cells.push_back({r, c, std::max<int>(l[c].width, 1)});
            }
        }
        return map;
    }

    const Terminal& terminal_;
    CircularBufferLineList& ring_;
    int cols_;
    std::u32string scratch_;
};

}  // namespace

std::optional<Position> Terminal::resolveLinkLocation(LinkLookupLocation at, Buffer& in) const
{
    Position p = at.position;
    if (at.kind == LinkLookupLocation::Kind::screen)
        p.row += in.yDisp();
    const int count = in.lines().count();
    if (count == 0)
        return std::nullopt;
    p.row = std::clamp(p.row, 0, count - 1);
    p.col = std::clamp(p.col, 0, std::max(in.cols() - 1, 0));
    return p;
}

std::optional<uint16_t> Terminal::payloadCode(Position at, Buffer& in)
{
    auto& ring = in.lines();
    if (at.row < 0 || at.row >= ring.count())
        return std::nullopt;
    const BufferLine& line = ring[at.row];
    if (at.col < 0 || at.col >= line.dataSize())
        return std::nullopt;
    uint16_t code = line[at.col].payload.code;
    if (code == 0 && isRightHalf(line, at.col))
        code = line[at.col - 1].payload.code;
    return code == 0 ? std::nullopt : std::optional<uint16_t>(code);
}

bool Terminal::linkPrintedByRemote(const LinkMatch& match, Buffer& in) const
{
    auto& ring = in.lines();
    for (const auto& r : match.rowRanges) {
        if (r.row < 0 || r.row >= ring.count())
            continue;
        if (ring[r.row].printedByRemote())
            return true;
        if (match.isExplicit && !r.range.empty())
            if (const auto code = payloadCode({r.range.lowerBound, r.row}, in); code && payloads_.isRemote(*code))
                return true;
    }
    return false;
}

std::optional<std::string> Terminal::parseHyperlinkPayload(std::string_view payload)
{
    const size_t semicolon = payload.find(';');
    if (semicolon == std::string_view::npos || semicolon + 1 == payload.size())
        return std::nullopt;
    return std::string(payload.substr(semicolon + 1));
}

std::optional<LinkMatch> Terminal::explicitLinkMatch(Position at, Buffer& in)
{
    const auto target = payloadCode(at, in);
    if (!target)
        return std::nullopt;
    const BufferLine& line = in.lines()[at.row];
    const int limit = std::min(line.dataSize(), in.cols());
    auto sameLink = [&](int col) { return payloadCode({col, at.row}, in) == target; };
    int start = at.col;
    while (start > 0 && sameLink(start - 1))
        --start;
    int end = at.col;
    while (end < limit && sameLink(end))
        ++end;
    if (end <= start)
        return std::nullopt;
    auto valueAt = [&](int col) -> std::optional<std::string> {
        const uint16_t code = line[std::clamp(col, 0, line.dataSize() - 1)].payload.code;
        const std::string* target = payloads_.target(code);
        return target ? std::optional<std::string>(*target) : std::nullopt;
    };
    auto value = valueAt(at.col);
    if (!value)
        value = valueAt(std::max(at.col - 1, 0));
    if (!value)
        return std::nullopt;
    auto uri = parseHyperlinkPayload(*value);
    if (!uri)
        return std::nullopt;
    LinkMatch m;
    m.text = std::move(*uri);
    m.row = at.row;
    m.range = {start, end};
    m.isExplicit = true;
    m.rowRanges = {{at.row, {start, end}}};
    return m;
}

std::optional<LinkMatch> Terminal::implicitLinkMatch(Position at, Buffer& in)
{
    if (at.row < 0 || at.row >= in.lines().count() || at.col < 0)
        return std::nullopt;
    return LinkScanner(*this, in).implicitLinkMatch(at);
}

std::optional<LinkMatch> Terminal::linkMatch(LinkLookupLocation at, LinkLookupMode mode)
{
    Buffer& b = *buffer;
    const auto position = resolveLinkLocation(at, b);
    if (!position)
        return std::nullopt;
    if (auto m = explicitLinkMatch(*position, b))
        return m;
    if (mode == LinkLookupMode::explicitAndImplicit)
        return implicitLinkMatch(*position, b);
    return std::nullopt;
}

}  // namespace ravelgrid
