#include "ravelgrid/view/TerminalAccessible.h"

#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/terminal/Terminal.h"
#include "ravelgrid/view/TerminalView.h"

#include <QAccessible>

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
        snapshotPass_ = pass;
    }
    return snapshot_;
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
