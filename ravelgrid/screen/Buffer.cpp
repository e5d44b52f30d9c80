#include "ravelgrid/screen/Buffer.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>

#include "platform/Log.h"

namespace ravelgrid {

namespace {

bool isPromptStartKind(SemanticPromptKind k)
{
    return k == SemanticPromptKind::initial || k == SemanticPromptKind::secondary;
}

std::atomic<uint64_t> bufferIds{1};

}  // namespace

Buffer::Buffer(int cols, int rows, int tabStopWidth, std::optional<int> scrollback, BidiPresentationState bidiState)
    : defaultBidiState(bidiState), self_(this), id_(bufferIds.fetch_add(1, std::memory_order_relaxed)), lines_(0),
      hasScrollback_(scrollback.has_value()), cols_(std::max(cols, minCols)), rows_(std::max(rows, minRows))
{
    if (scrollback)
        scrollback_ = std::max(*scrollback, 0);
    lines_.setMaxLength(getCorrectBufferLength(rows_));
    installLineCallbacks();
    scrollBottom_ = rows_ - 1;
    marginRight_ = cols_ - 1;
    resetTabStops(-1, tabStopWidth);
}

Buffer::~Buffer()
{
    // Lines that outlive the buffer must not reach back into it.
    *self_ = nullptr;
}

void Buffer::installLineCallbacks()
{
    lines_.makeEmpty = [this](int) { return getBlankLine(Attribute{}, false); };
    lines_.onLineRecycled = [this](bool hadImages) {
        if (hadImages && linesWithImagesCount_ > 0)
            --linesWithImagesCount_;
    };
    lines_.onLinePushed = [this](bool hasImages) {
        if (hasImages)
            ++linesWithImagesCount_;
    };
    lines_.onLineDropped = [this](bool hadImages) {
        if (hadImages && linesWithImagesCount_ > 0)
            --linesWithImagesCount_;
    };
    lines_.onLineAttached = [this](BufferLine& line) { line.owningBuffer_ = self_; };
}

int Buffer::getCorrectBufferLength(int rows) const
{
    if (!hasScrollback_)
        return rows;
    const long long total = static_cast<long long>(rows) + scrollback_.value_or(0);
    return static_cast<int>(std::min<long long>(total, INT_MAX));
}

BufferLinePtr Buffer::getBlankLine(const Attribute& attribute, bool isWrapped)
{
    CharData cell;
    cell.attribute = attribute;
    auto line = std::make_shared<BufferLine>(cols_, cell, isWrapped, defaultBidiState);
    line->owningBuffer_ = self_;
    return line;
}

CharData Buffer::getNullCell(std::optional<Attribute> attribute)
{
    CharData cell;
    cell.code = ' ';
    cell.attribute = attribute.value_or(Attribute{});
    return cell;
}

void Buffer::fillViewportRows(std::optional<Attribute> attribute)
{
    if (lines_.count() != 0)
        return;
    const Attribute attr = attribute.value_or(Attribute{});
    for (int r = 0; r < rows_; ++r) {
        BufferLinePtr line;
        while (!line && !spareRows_.empty()) {
            BufferLinePtr spare = std::move(spareRows_.back());
            spareRows_.pop_back();
            // Only a row nobody else still holds (a renderer, prompt marks).
            if (spare.use_count() == 1)
                line = std::move(spare);
        }
        if (line) {
            line->resetForReuse(attr, true);
            CharData blank;
            blank.attribute = attr;
            line->resize(cols_, blank);
            line->setBidiState(defaultBidiState);
            line->setRenderMode(BufferLine::RenderLineMode::single);
        } else {
            line = getBlankLine(attr, false);
        }
        cellsBlanked_ += static_cast<uint64_t>(line->storedSize());
        lines_.push(std::move(line));
    }
    spareRows_.clear();
}

CharData Buffer::getCharAtBufferRelative(Position pos)
{
    if (pos.row < 0 || pos.row >= lines_.count())
        return CharData::Null;
    const BufferLine& line = lines_[pos.row];
    if (pos.col < 0 || pos.col >= line.dataSize())
        return CharData::Null;
    return line[pos.col];
}

CharData Buffer::getChar(Position pos)
{
    return getCharAtBufferRelative({pos.col, pos.row + yDisp_});
}

void Buffer::clear()
{
    yDisp_ = 0;
    yBase_ = 0;
    x_ = 0;
    y_ = 0;
    linesTop_ = 0;
    unpackedScrollbackBytes_ = 0;
    spareRows_.clear();
    for (int i = 0; i < lines_.count() && i < rows_; ++i)
        if (lines_.peek(i) != nullptr)
            spareRows_.push_back(lines_.get(i));
    lines_ = CircularBufferLineList(getCorrectBufferLength(rows_));
    installLineCallbacks();
    linesWithImagesCount_ = 0;
    scrollTop_ = 0;
    scrollBottom_ = rows_ - 1;
    marginLeft_ = 0;
    marginRight_ = cols_ - 1;
    semanticContent = SemanticContent::none();
    semanticInput = SemanticInputState::idle;
    semanticClickMode = SemanticPromptClickMode::none();
    semanticUsesSpecialCursorKeys = false;
    semanticPromptStartLine.reset();
    semanticGroupCounter = 0;
    activeSemanticGroupID = 0;
}

void Buffer::softReset()
{
    savedAttr = Attribute{};
    savedY = 0;
    savedX = 0;
    savedCharset = nullptr;
    marginRight_ = cols_ - 1;
    marginLeft_ = 0;
    savedOriginMode = false;
    savedMarginMode = false;
    savedWrapAtMargin = false;
}

void Buffer::dropOldestRows(int n)
{
    lines_.trimStart(n);
    // Cheap insurance against drift: lines may sit in two slots for a moment
    // while the terminal moves them, so count from the ring itself.
    recountLinesWithImages();
}

void Buffer::clearScrollback()
{
    if (yBase_ <= 0)
        return;
    dropOldestRows(yBase_);
    yBase_ = 0;
    yDisp_ = 0;
    unpackedScrollbackBytes_ = 0;
}

void Buffer::changeHistorySize(std::optional<int> newScrollback)
{
    scrollback_ = newScrollback ? std::optional<int>(std::max(*newScrollback, 0)) : std::nullopt;
    hasScrollback_ = newScrollback.has_value();
    const int length = getCorrectBufferLength(rows_);
    if (length == lines_.maxLength())
        return;
    if (length > lines_.maxLength()) {
        lines_.setMaxLength(length);
        recountUnpackedScrollback();
        return;
    }
    const int n = lines_.count() - length;
    if (n > 0) {
        dropOldestRows(n);
        yBase_ = std::max(yBase_ - n, 0);
        yDisp_ = std::max(yDisp_ - n, 0);
    }
    lines_.setMaxLength(length);
    recountUnpackedScrollback();
}

// ---- rows leaving the screen -------------------------------------------------

void Buffer::recountUnpackedScrollback()
{
    size_t bytes = 0;
    for (int i = 0; i < yBase_ && i < lines_.count(); ++i)
        if (const BufferLine* line = lines_.peek(i))
            bytes += line->unpackedBytes();
    unpackedScrollbackBytes_ = bytes;
}

void Buffer::rowLeavingScrollback(const BufferLine& row)
{
    unpackedScrollbackBytes_ -= std::min(unpackedScrollbackBytes_, row.unpackedBytes());
}

bool Buffer::rowLeftScreen(BufferLine& row, BufferLine* spare)
{
    // Rows stayed full while the scrollback was small: a budget counted by
    // rows kept that much at full width for good, however little they show.
    const size_t bytes = row.unpackedBytes();
    if (ringFitsUnpacked() && unpackedScrollbackBytes_ + bytes <= unpackedScrollbackBudget) {
        unpackedScrollbackBytes_ += bytes;
        return false;
    }
    row.compact(spare);
    return true;
}

// ---- tab stops --------------------------------------------------------------

void Buffer::resetTabStops(int index, int tabStopWidth)
{
    if (tabStopWidth <= 0)
        tabStopWidth = 8;
    int start = 0;
    if (index == -1) {
        tabStops.assign(static_cast<size_t>(cols_), false);
    } else {
        tabStops.resize(static_cast<size_t>(cols_), false);
        const int i = std::clamp(index, 0, cols_ - 1);
        start = tabStops[static_cast<size_t>(i)] ? index : previousTabStop(i);
    }
    for (long long c = std::max(start, 0); c < cols_; c += tabStopWidth)
        tabStops[static_cast<size_t>(c)] = true;
}

void Buffer::setTabStop(int column)
{
    const int c = column == -1 ? x_ : column;
    if (c >= 0 && c < static_cast<int>(tabStops.size()))
        tabStops[static_cast<size_t>(c)] = true;
}

void Buffer::clearTabStop(int column)
{
    const int c = column == -1 ? x_ : column;
    if (c >= 0 && c < static_cast<int>(tabStops.size()))
        tabStops[static_cast<size_t>(c)] = false;
}

int Buffer::nextTabStop(bool restrictToMargins, int fromColumn) const
{
    const int limit = restrictToMargins ? marginRight_ : cols_ - 1;
    int c = fromColumn == -1 ? x_ : fromColumn;
    if (c >= limit)
        return limit;
    c = std::max(c, -1);
    while (true) {
        ++c;
        if (c >= limit)
            break;
        if (c < static_cast<int>(tabStops.size()) && tabStops[static_cast<size_t>(c)])
            break;
    }
    return std::min(c, limit);
}

int Buffer::previousTabStop(int fromColumn) const
{
    const int from = fromColumn == -1 ? x_ : fromColumn;
    int result = 0;
    for (int c = std::min(from - 1, static_cast<int>(tabStops.size()) - 1); c >= 0; --c) {
        if (tabStops[static_cast<size_t>(c)]) {
            result = c;
            break;
        }
    }
    return result >= cols_ ? cols_ - 1 : result;
}

// ---- images -----------------------------------------------------------------

void Buffer::clearLineImages(int row)
{
    if (row < 0 || row >= lines_.count())
        return;
    BufferLine& line = lines_[row];
    if (!line.hasImages())
        return;
    if (linesWithImagesCount_ > 0)
        --linesWithImagesCount_;
    line.setImages(std::nullopt);
}

void Buffer::setLineImages(int row, std::optional<TerminalImageList> images)
{
    if (row < 0 || row >= lines_.count())
        return;
    BufferLine& line = lines_[row];
    const bool had = line.hasImages();
    line.setImages(std::move(images));
    if (had && !line.hasImages() && linesWithImagesCount_ > 0)
        --linesWithImagesCount_;
    else if (!had && line.hasImages())
        ++linesWithImagesCount_;
}

void Buffer::addLineImage(int row, TerminalImagePtr image)
{
    if (row < 0 || row >= lines_.count() || !image)
        return;
    BufferLine& line = lines_[row];
    if (!line.hasImages())
        ++linesWithImagesCount_;
    line.addImage(std::move(image));
}

void Buffer::recountLinesWithImages()
{
    int n = 0;
    for (int i = 0; i < lines_.count(); ++i) {
        const BufferLine* line = lines_.peek(i);
        if (line != nullptr && line->hasImages())
            ++n;
    }
    linesWithImagesCount_ = n;
}

// ---- rows by identity ---------------------------------------------------------

std::optional<int> Buffer::findRowOfLine(int startRow, const BufferLine* line)
{
    const int count = lines_.count();
    if (count == 0 || line == nullptr)
        return std::nullopt;
    const int s = std::min(count - 1, std::max(startRow, 0));
    for (int d = 0; s + d < count || s - d >= 0; ++d) {
        if (s + d < count && lines_.peek(s + d) == line)
            return s + d;
        if (d > 0 && s - d >= 0 && lines_.peek(s - d) == line)
            return s - d;
    }
    return std::nullopt;
}

// ---- shell-integration prompt bookkeeping ------------------------------------

bool Buffer::hasPromptStartMark(const BufferLine& line)
{
    return std::any_of(line.semanticMarks().begin(), line.semanticMarks().end(),
                       [](const SemanticMark& m) { return isPromptStartKind(m.kind); });
}

void Buffer::beginSemanticGroup(int row)
{
    if (row < 0 || row >= lines_.count())
        return;
    ++semanticGroupCounter;
    if (semanticGroupCounter == 0)
        semanticGroupCounter = 1;
    activeSemanticGroupID = semanticGroupCounter;
    semanticPromptStartLine = lines_.get(row);
    semanticPromptStartRowCache = row;
}

void Buffer::addSemanticMark(SemanticPromptKind kind, int row, int column)
{
    if (row < 0 || row >= lines_.count())
        return;
    BufferLine& line = lines_[row];
    if (line.dataSize() < 1)
        return;
    line.setSemanticMark(kind, std::clamp(column, 0, line.dataSize() - 1), activeSemanticGroupID);
}

std::vector<SemanticPromptAnchor> Buffer::semanticMarksOfRow(int row)
{
    std::vector<SemanticPromptAnchor> out;
    if (row < 0 || row >= lines_.count())
        return out;
    const BufferLine& line = lines_[row];
    if (line.dataSize() < 1)
        return out;
    for (const auto& m : line.semanticMarks())
        out.push_back({{std::clamp(m.column, 0, line.dataSize() - 1), row}, m.kind});
    return out;
}

bool Buffer::rowHasActivePromptStart(int row)
{
    if (row < 0 || row >= lines_.count())
        return false;
    const auto& marks = lines_[row].semanticMarks();
    return std::any_of(marks.begin(), marks.end(), [&](const SemanticMark& m) {
        return isPromptStartKind(m.kind) && m.group == activeSemanticGroupID;
    });
}

std::optional<int> Buffer::findPromptRowNearCursor()
{
    const int count = lines_.count();
    if (count > 0) {
        const int s = std::min(count - 1, std::max(yBase_ + y_, 0));
        for (int r = s; r >= 0; --r) {
            if (rowHasActivePromptStart(r)) {
                semanticPromptStartLine = lines_.get(r);
                semanticPromptStartRowCache = r;
                return r;
            }
        }
        for (int r = s + 1; r < count; ++r) {
            if (rowHasActivePromptStart(r)) {
                semanticPromptStartLine = lines_.get(r);
                semanticPromptStartRowCache = r;
                return r;
            }
        }
    }
    semanticPromptStartLine.reset();
    return std::nullopt;
}

std::optional<int> Buffer::semanticPromptStartRow()
{
    if (!semanticPromptStartLine)
        return std::nullopt;
    const BufferLine* target = semanticPromptStartLine.get();
    const int cache = semanticPromptStartRowCache;
    if (cache >= 0 && cache < lines_.count() && lines_.peek(cache) == target && hasPromptStartMark(*target))
        return cache;
    ++semanticPromptRowScanCount;
    if (auto row = findRowOfLine(cache, target); row && hasPromptStartMark(*target)) {
        semanticPromptStartRowCache = *row;
        return row;
    }
    return findPromptRowNearCursor();
}

std::optional<Buffer::PromptMark> Buffer::currentPromptMark() const
{
    if (!semanticPromptStartLine)
        return std::nullopt;
    const auto& marks = semanticPromptStartLine->semanticMarks();
    for (SemanticPromptKind kind : {SemanticPromptKind::initial, SemanticPromptKind::secondary}) {
        for (const auto& m : marks)
            if (m.kind == kind)
                return PromptMark{semanticPromptStartLine, m.kind, m.column};
    }
    return std::nullopt;
}

bool Buffer::semanticPromptQuery(int row)
{
    if (semanticInput != SemanticInputState::prompt && semanticInput != SemanticInputState::armed)
        return false;
    if (row < 0 || row >= lines_.count())
        return false;
    const auto promptRow = semanticPromptStartRow();
    if (!promptRow)
        return false;
    if (lines_.peek(*promptRow) != lines_.peek(row))
        return false;
    return rowHasActivePromptStart(row);
}

std::optional<Position> Buffer::semanticInputStart()
{
    const auto promptRow = semanticPromptStartRow();
    if (!promptRow)
        return std::nullopt;
    const int len = lines_[*promptRow].dataSize();
    if (len < 1)
        return std::nullopt;
    const auto mark = currentPromptMark();
    if (!mark)
        return std::nullopt;
    return Position{std::clamp(mark->column, 0, len - 1), *promptRow};
}

std::optional<uint64_t> Buffer::promptGroupOfRow(int row, int promptRow, bool promptRowAbsent)
{
    if (row < 0 || row >= lines_.count())
        return std::nullopt;
    const auto& marks = lines_[row].semanticMarks();
    for (const auto& m : marks)
        if (m.kind == SemanticPromptKind::initial)
            return m.group;
    if (row == promptRow && !promptRowAbsent) {
        for (const auto& m : marks)
            if (m.kind == SemanticPromptKind::secondary)
                return m.group;
    }
    return std::nullopt;
}

std::optional<uint64_t> Buffer::continuationGroupOfRow(int row)
{
    if (row < 0 || row >= lines_.count())
        return std::nullopt;
    for (const auto& m : lines_[row].semanticMarks()) {
        if (m.group != 0 && (m.kind == SemanticPromptKind::right || m.kind == SemanticPromptKind::continuation ||
                             m.kind == SemanticPromptKind::secondary))
            return m.group;
    }
    return std::nullopt;
}

bool Buffer::isInActiveSemanticGroup(int row)
{
    if (row < 0 || row >= lines_.count() || activeSemanticGroupID == 0)
        return false;
    const auto hard = lines_[row].semanticHardContinuationGroup();
    if (hard && *hard == activeSemanticGroupID)
        return true;
    const auto group = continuationGroupOfRow(row);
    return group && *group == activeSemanticGroupID;
}

std::optional<SemanticPromptKind> Buffer::semanticPromptSpan(int row)
{
    if (row < 0 || row >= lines_.count())
        return std::nullopt;
    const auto promptRow = semanticPromptStartRow();
    const int pr = promptRow.value_or(0);
    if (promptGroupOfRow(row, pr, !promptRow))
        return SemanticPromptKind::initial;
    if (continuationGroupOfRow(row))
        return SemanticPromptKind::continuation;

    std::optional<uint64_t> carried;
    bool seen = false;
    for (int r = row; r > 0; --r) {
        const BufferLine& line = lines_[r];
        if (!line.isWrapped()) {
            const auto hard = line.semanticHardContinuationGroup();
            if (!hard || (seen && hard != carried))
                return std::nullopt;
            carried = hard;
            seen = true;
        }
        auto group = promptGroupOfRow(r - 1, pr, !promptRow);
        if (!group)
            group = continuationGroupOfRow(r - 1);
        if (group) {
            if (!seen || group == carried)
                return SemanticPromptKind::continuation;
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<Position> Buffer::semanticInputRange(int column, int row)
{
    const auto start = semanticInputStart();
    if (!start || start->row > row)
        return std::nullopt;
    std::optional<Position> best;
    const int last = std::min(row, lines_.count() - 1);
    for (int r = start->row; r <= last; ++r) {
        for (const auto& m : lines_[r].semanticMarks()) {
            if (m.kind == SemanticPromptKind::secondary && m.group == activeSemanticGroupID &&
                (r < row || m.column <= column))
                best = Position{m.column, r};
        }
    }
    return best ? best : start;
}

}  // namespace ravelgrid
