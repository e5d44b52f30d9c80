#pragma once

#include <QAccessibleWidget>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace ravelgrid {

class Terminal;
class TerminalView;

// What a screen reader sees of a terminal: the visible rows only, so its
// size is bounded by the grid whatever the scrollback holds.
struct VisibleText {
    // Rows joined with "\n", trailing blanks dropped; the cursor's row keeps
    // its blanks up to the cursor so the caret never lands on the next row.
    QString text;
    // For each UTF-16 unit of text: its screen row and column.
    std::vector<int> rowOf;
    std::vector<int> columnOf;
    // Offset of the first unit of each row.
    std::vector<int> rowStart;
    int caret = 0;

    static VisibleText of(Terminal& terminal);
    // How many have been made so far (tests count them).
    static uint64_t made();
};

// Character, word, sentence and line boundaries of one text, answered as
// Qt's default text interface answers them but from one analysis of the
// text per kind instead of one per question, so that a reader walking the
// text costs in proportion to its length.
class TextBoundaries {
public:
    explicit TextBoundaries(QString text = {}) : text_(std::move(text)) {}

    QString at(int offset, QAccessible::TextBoundaryType type, int* startOffset, int* endOffset) const;
    QString before(int offset, QAccessible::TextBoundaryType type, int* startOffset, int* endOffset) const;
    QString after(int offset, QAccessible::TextBoundaryType type, int* startOffset, int* endOffset) const;

    // How many analyses have been made so far (tests count them).
    static uint64_t analyses();

private:
    // Sorted offsets where an item of that kind starts or ends.
    const std::vector<int>& edges(QAccessible::TextBoundaryType type) const;
    int edgeBefore(const std::vector<int>& marks, int offset) const;
    int edgeAfter(const std::vector<int>& marks, int offset) const;
    const std::vector<int>& newlines() const;
    int newlineFrom(int offset) const;
    int newlineUpTo(int offset) const;
    QString line(int direction, int offset, int* startOffset, int* endOffset) const;
    QString piece(int from, int to, int* startOffset, int* endOffset) const;

    QString text_;
    mutable std::array<std::optional<std::vector<int>>, 3> edges_;
    mutable std::optional<std::vector<int>> newlines_;
};

// Keeps what was last announced for one view and tells Qt's accessibility
// layer about changes: once per display pass, and only while something
// listens.
class TerminalAccessibilityNotifier {
public:
    explicit TerminalAccessibilityNotifier(TerminalView& view) : view_(view) {}
    // textMayHaveChanged is false for a pass that found no dirty rows: then
    // only a moved caret is worth telling.
    void displayed(bool textMayHaveChanged);
    // Whether a pass tells anything: while a sink is set or QAccessible is
    // active.
    static bool listening();
    // Qt drops every event while no accessibility client is active, and the
    // offscreen platform has no bridge to activate: its tests take the
    // events here instead. nullptr gives them back to Qt.
    using Sink = void (*)(QAccessibleEvent*);
    static void setSink(Sink sink);

private:
    static void post(QAccessibleEvent& event);

    TerminalView& view_;
    QString text_;
    int caret_ = -1;
    bool known_ = false;
};

class TerminalAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit TerminalAccessible(TerminalView* view);

    // Registers the factory with Qt once; safe to call again.
    static void install();

    void* interface_cast(QAccessible::InterfaceType type) override;
    QString text(QAccessible::Text t) const override;

    // QAccessibleTextInterface
    void selection(int selectionIndex, int* startOffset, int* endOffset) const override;
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override;
    void setCursorPosition(int) override {}
    QString text(int startOffset, int endOffset) const override;
    // Qt's defaults analyse the whole text again at every call.
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                             int* endOffset) const override;
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                            int* endOffset) const override;
    QString textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                         int* endOffset) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint& point) const override;
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int* startOffset, int* endOffset) const override;

private:
    TerminalView* view() const;
    // One snapshot per display pass, so that a reader walking the screen a
    // character at a time does not rebuild the whole text for each one.
    const VisibleText& snapshot() const;
    // Those of the current snapshot's text.
    const TextBoundaries& boundaries() const;

    mutable VisibleText snapshot_;
    mutable TextBoundaries boundaries_;
    mutable std::optional<uint64_t> snapshotPass_;
};

}  // namespace ravelgrid
