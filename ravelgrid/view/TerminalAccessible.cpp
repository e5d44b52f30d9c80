#include "ravelgrid/view/TerminalAccessible.h"

#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/terminal/Terminal.h"
#include "ravelgrid/view/TerminalView.h"

#include <QAccessible>
#include <QTextBoundaryFinder>

#include <algorithm>

namespace ravelgrid {

namespace {
uint64_t snapshotsMade = 0;
}  // namespace

uint64_t VisibleText::made()
{
    return snapshotsMade;
}

VisibleText VisibleText::of(Terminal& terminal)
{
    ++snapshotsMade;
    VisibleText v;
    Buffer& buffer = terminal.activeBuffer();
    const int rows = std::max(terminal.rows, 0);
    const int cols = std::max(terminal.cols, 0);
    // The cursor's screen row: its buffer line less the first shown line.
    const int cursorRow = buffer.yBase() + buffer.y() - buffer.yDisp();
    const int cursorColumn = std::clamp(buffer.x(), 0, cols);
    v.rowStart.reserve(rows);
    for (int row = 0; row < rows; ++row) {
        if (row > 0) {
            v.text += QLatin1Char('\n');
            v.rowOf.push_back(row - 1);
            v.columnOf.push_back(cols);
        }
        v.rowStart.push_back(int(v.text.size()));
        const BufferLine* line = terminal.getLine(row);
        const int size = line ? std::min(line->dataSize(), cols) : 0;
        const int rowBegin = int(v.text.size());
        int kept = rowBegin;  // end of the text worth keeping on this row
        int caretAt = -1;
        int lastStart = rowBegin;
        for (int col = 0; col < size; ++col) {
            const CharData& cell = (*line)[col];
            if (row == cursorRow && col == cursorColumn) {
                // On the second half of a wide character the caret is on the character.
                caretAt = cell.width == 0 ? lastStart : int(v.text.size());
                kept = std::max(kept, caretAt);
            }
            if (cell.width == 0)
                continue;
            lastStart = int(v.text.size());
            const QString s =
                cell.code == 0 ? QStringLiteral(" ") : QString::fromStdString(terminal.getCharacter(cell));
            for (qsizetype i = 0; i < s.size(); ++i) {
                v.rowOf.push_back(row);
                v.columnOf.push_back(col);
            }
            v.text += s;
            if (cell.code != 0 && !s.trimmed().isEmpty())
                kept = int(v.text.size());
        }
        if (row == cursorRow && caretAt < 0) {
            // Blanks up to the cursor stay, even past the stored cells.
            for (int col = size; col < cursorColumn; ++col) {
                v.text += QLatin1Char(' ');
                v.rowOf.push_back(row);
                v.columnOf.push_back(col);
            }
            caretAt = int(v.text.size());
            kept = caretAt;
        }
        if (row == cursorRow)
            v.caret = caretAt;
        v.text.truncate(kept);
        v.rowOf.resize(kept);
        v.columnOf.resize(kept);
    }
    // A cursor outside the viewport leaves the caret at the end.
    if (cursorRow < 0 || cursorRow >= rows)
        v.caret = int(v.text.size());
    return v;
}

namespace {
uint64_t boundaryAnalyses = 0;
}  // namespace

uint64_t TextBoundaries::analyses()
{
    return boundaryAnalyses;
}

const std::vector<int>& TextBoundaries::edges(QAccessible::TextBoundaryType type) const
{
    const size_t kind = type == QAccessible::WordBoundary ? 1 : type == QAccessible::SentenceBoundary ? 2 : 0;
    std::optional<std::vector<int>>& slot = edges_[kind];
    if (!slot) {
        ++boundaryAnalyses;
        static constexpr QTextBoundaryFinder::BoundaryType finderType[] = {
            QTextBoundaryFinder::Grapheme, QTextBoundaryFinder::Word, QTextBoundaryFinder::Sentence};
        QTextBoundaryFinder finder(finderType[kind], text_);
        std::vector<int> found;
        // Qt steps over breaks that neither start nor end an item, such as
        // the one between two blanks.
        do {
            if (finder.boundaryReasons() & (QTextBoundaryFinder::StartOfItem | QTextBoundaryFinder::EndOfItem))
                found.push_back(int(finder.position()));
        } while (finder.toNextBoundary() != -1);
        slot = std::move(found);
    }
    return *slot;
}

// The last edge before offset; Qt's walk back stops at the text's start
// whether an item starts there or not.
int TextBoundaries::edgeBefore(const std::vector<int>& marks, int offset) const
{
    const auto it = std::lower_bound(marks.begin(), marks.end(), offset);
    return it == marks.begin() ? 0 : *(it - 1);
}

// The first edge after offset, or the text's end.
int TextBoundaries::edgeAfter(const std::vector<int>& marks, int offset) const
{
    const auto it = std::upper_bound(marks.begin(), marks.end(), offset);
    return it == marks.end() ? int(text_.size()) : *it;
}

const std::vector<int>& TextBoundaries::newlines() const
{
    if (!newlines_) {
        std::vector<int> found;
        for (qsizetype i = 0; i < text_.size(); ++i)
            if (text_[i] == QChar::LineFeed)
                found.push_back(int(i));
        newlines_ = std::move(found);
    }
    return *newlines_;
}

// The first "\n" at or after offset, else -1.
int TextBoundaries::newlineFrom(int offset) const
{
    const std::vector<int>& at = newlines();
    const auto it = std::lower_bound(at.begin(), at.end(), offset);
    return it == at.end() ? -1 : *it;
}

// The last "\n" at or before offset, else -1.
int TextBoundaries::newlineUpTo(int offset) const
{
    const std::vector<int>& at = newlines();
    const auto it = std::upper_bound(at.begin(), at.end(), offset);
    return it == at.begin() ? -1 : *(it - 1);
}

QString TextBoundaries::piece(int from, int to, int* startOffset, int* endOffset) const
{
    *startOffset = from;
    *endOffset = to;
    return text_.mid(from, to - from);
}

// A line runs up to and with its "\n"; direction -1 is the line before the
// one at offset, 1 the line after.
QString TextBoundaries::line(int direction, int offset, int* startOffset, int* endOffset) const
{
    const int size = int(text_.size());
    if (direction > 0) {
        offset = newlineFrom(std::min(offset, size - 1));
        if (offset < 0)
            return {};
        ++offset;
    } else if (direction < 0) {
        offset = newlineUpTo(std::max(offset - 1, 0));
        if (offset < 0)
            return {};
    }
    const int from = (offset > 0 ? newlineUpTo(offset - 1) : -1) + 1;
    int to = newlineFrom(std::min(offset, size - 1)) + 1;
    if (to <= 0 || to > size)
        to = size;
    return piece(from, to, startOffset, endOffset);
}

QString TextBoundaries::at(int offset, QAccessible::TextBoundaryType type, int* startOffset, int* endOffset) const
{
    const int size = int(text_.size());
    *startOffset = *endOffset = -1;
    if (offset == -1)
        offset = size;
    if (size == 0 || offset < 0 || offset > size)
        return {};
    switch (type) {
    case QAccessible::LineBoundary:
    case QAccessible::ParagraphBoundary: return line(0, offset, startOffset, endOffset);
    case QAccessible::NoBoundary: return piece(0, size, startOffset, endOffset);
    case QAccessible::CharBoundary:
        if (offset == size)
            return {};
        break;
    default: break;
    }
    const std::vector<int>& e = edges(type);
    // Where Qt's own walk would never end (a word at 0 before a blank, or at
    // the end right after a letter) the item at 0 starts there and the one
    // at the end is empty.
    const int from = offset == 0 || std::binary_search(e.begin(), e.end(), offset) ? offset : edgeBefore(e, offset);
    return piece(from, from == size ? size : edgeAfter(e, from), startOffset, endOffset);
}

QString TextBoundaries::before(int offset, QAccessible::TextBoundaryType type, int* startOffset, int* endOffset) const
{
    const int size = int(text_.size());
    *startOffset = *endOffset = -1;
    if (offset == -1)
        offset = size;
    if (size == 0 || offset <= 0 || offset > size)
        return {};
    switch (type) {
    case QAccessible::LineBoundary:
    case QAccessible::ParagraphBoundary: return line(-1, offset, startOffset, endOffset);
    case QAccessible::NoBoundary: return {};
    default: break;
    }
    const std::vector<int>& e = edges(type);
    const int to = std::binary_search(e.begin(), e.end(), offset) ? offset : edgeBefore(e, offset);
    // Inside the first item nothing comes before (Qt answers -1 to 0 here).
    if (to == 0)
        return {};
    return piece(edgeBefore(e, to), to, startOffset, endOffset);
}

QString TextBoundaries::after(int offset, QAccessible::TextBoundaryType type, int* startOffset, int* endOffset) const
{
    const int size = int(text_.size());
    *startOffset = *endOffset = -1;
    if (offset == -1)
        offset = size;
    if (size == 0 || offset < 0 || offset >= size)
        return {};
    switch (type) {
    case QAccessible::LineBoundary:
    case QAccessible::ParagraphBoundary: return line(1, offset, startOffset, endOffset);
    case QAccessible::NoBoundary: return {};
    default: break;
    }
    const std::vector<int>& e = edges(type);
    const int from = edgeAfter(e, offset);
    if (from == size)
        return {};
    return piece(from, edgeAfter(e, from), startOffset, endOffset);
}

namespace {
TerminalAccessibilityNotifier::Sink sink = nullptr;
}  // namespace

bool TerminalAccessibilityNotifier::listening()
{
    return sink || QAccessible::isActive();
}

void TerminalAccessibilityNotifier::setSink(Sink s)
{
    sink = s;
}

void TerminalAccessibilityNotifier::post(QAccessibleEvent& event)
{
    if (sink)
        sink(&event);
    else
        QAccessible::updateAccessibility(&event);
}

void TerminalAccessibilityNotifier::displayed(bool textMayHaveChanged)
{
    if (!listening())
        return;
    if (!textMayHaveChanged && !known_)
        textMayHaveChanged = true;
    const VisibleText now = VisibleText::of(view_.terminal());
    if (textMayHaveChanged && (!known_ || now.text != text_)) {
        // Announce only the part that differs, so a reader speaks new output
        // rather than the whole screen.
        const qsizetype limit = std::min(now.text.size(), text_.size());
        qsizetype prefix = 0;
        while (prefix < limit && now.text[prefix] == text_[prefix])
            ++prefix;
        qsizetype suffix = 0;
        while (suffix < limit - prefix && now.text[now.text.size() - 1 - suffix] == text_[text_.size() - 1 - suffix])
            ++suffix;
        const QString removed = text_.mid(prefix, text_.size() - prefix - suffix);
        const QString added = now.text.mid(prefix, now.text.size() - prefix - suffix);
        if (removed.isEmpty()) {
            QAccessibleTextInsertEvent event(&view_, int(prefix), added);
            post(event);
        } else {
            QAccessibleTextUpdateEvent event(&view_, int(prefix), removed, added);
            post(event);
        }
        text_ = now.text;
    }
    if (now.caret != caret_) {
        QAccessibleTextCursorEvent event(&view_, now.caret);
        post(event);
        caret_ = now.caret;
    }
    known_ = true;
}

namespace {

QAccessibleInterface* terminalFactory(const QString&, QObject* object)
{
    if (auto* view = qobject_cast<TerminalView*>(object))
        return new TerminalAccessible(view);
    return nullptr;
}

}  // namespace

TerminalAccessible::TerminalAccessible(TerminalView* view)
    : QAccessibleWidget(view, QAccessible::Terminal, QStringLiteral("Terminal"))
{}

void TerminalAccessible::install()
{
    static const bool installed = [] {
        QAccessible::installFactory(terminalFactory);
        return true;
    }();
    (void)installed;
}

TerminalView* TerminalAccessible::view() const
{
    return static_cast<TerminalView*>(widget());
}

const VisibleText& TerminalAccessible::snapshot() const
{
    const uint64_t pass = view()->displayPasses();
    if (snapshotPass_ != pass) {
        snapshot_ = VisibleText::of(view()->terminal());
        boundaries_ = TextBoundaries(snapshot_.text);
        snapshotPass_ = pass;
    }
    return snapshot_;
}

const TextBoundaries& TerminalAccessible::boundaries() const
{
    snapshot();
    return boundaries_;
}

void* TerminalAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

QString TerminalAccessible::text(QAccessible::Text t) const
{
    switch (t) {
    case QAccessible::Name:
        return view()->accessibleName().isEmpty() ? QStringLiteral("Terminal") : view()->accessibleName();
    case QAccessible::Value: return snapshot().text;
    default: return QAccessibleWidget::text(t);
    }
}

void TerminalAccessible::selection(int, int* startOffset, int* endOffset) const
{
    *startOffset = 0;
    *endOffset = 0;
}

int TerminalAccessible::cursorPosition() const
{
    return snapshot().caret;
}

QString TerminalAccessible::text(int startOffset, int endOffset) const
{
    const QString& all = snapshot().text;
    const int start = std::clamp(startOffset, 0, int(all.size()));
    const int end = endOffset < 0 ? int(all.size()) : std::clamp(endOffset, start, int(all.size()));
    return all.mid(start, end - start);
}

QString TerminalAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                                             int* endOffset) const
{
    return boundaries().before(offset, boundaryType, startOffset, endOffset);
}

QString TerminalAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                                            int* endOffset) const
{
    return boundaries().after(offset, boundaryType, startOffset, endOffset);
}

QString TerminalAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                                         int* endOffset) const
{
    return boundaries().at(offset, boundaryType, startOffset, endOffset);
}

int TerminalAccessible::characterCount() const
{
    return int(snapshot().text.size());
}

QRect TerminalAccessible::characterRect(int offset) const
{
    const auto cell = view()->cellDimension();
    const VisibleText& v = snapshot();
    if (!cell || offset < 0 || v.rowOf.empty())
        return {};
    // The end of the text is where the next character would go.
    const size_t i = std::min<size_t>(size_t(offset), v.rowOf.size() - 1);
    int column = v.columnOf[i];
    if (size_t(offset) >= v.rowOf.size())
        ++column;
    const QRectF local(column * cell->width(), v.rowOf[i] * cell->height(), cell->width(), cell->height());
    const QRect r = local.toAlignedRect();
    return QRect(view()->mapToGlobal(r.topLeft()), r.size());
}

int TerminalAccessible::offsetAtPoint(const QPoint& point) const
{
    const auto cell = view()->cellDimension();
    if (!cell || cell->width() <= 0 || cell->height() <= 0)
        return -1;
    const QPoint local = view()->mapFromGlobal(point);
    const int row = int(local.y() / cell->height());
    const int column = int(local.x() / cell->width());
    const VisibleText& v = snapshot();
    if (local.x() < 0 || local.y() < 0 || row >= int(v.rowStart.size()))
        return -1;
    // The first unit at or past the column on that row, else the row's end.
    int offset = v.rowStart[row];
    while (size_t(offset) < v.rowOf.size() && v.rowOf[offset] == row && v.columnOf[offset] < column)
        ++offset;
    // Past the row's last character the answer is the row's end; a column
    // skipped inside the row is the second half of a wide character.
    const bool rowEnd = size_t(offset) >= v.rowOf.size() || v.text[offset] == QLatin1Char('\n');
    if (!rowEnd && v.rowOf[offset] == row && v.columnOf[offset] > column)
        --offset;
    return std::max(offset, v.rowStart[row]);
}

QString TerminalAccessible::attributes(int offset, int* startOffset, int* endOffset) const
{
    *startOffset = *endOffset = offset;
    return {};
}

}  // namespace ravelgrid
