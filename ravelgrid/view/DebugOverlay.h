#pragma once

#include <QFont>
#include <QStringList>
#include <QWidget>

class QLabel;

namespace ravelgrid {

class Terminal;
class TerminalView;

// A developer's view of a terminal's line ring: every slot of the storage
// beside every logical line, with the rows of yDisp ("D") and yBase ("B")
// marked, and a status line of the buffer's counters. The application does
// not offer it.
class DebugOverlay : public QWidget {
    Q_OBJECT

public:
    DebugOverlay(const QRect& frame, TerminalView& view);

    // Reads the counters again and repaints.
    void refresh();
    QString statusText() const;
    // One listed row: storage slot i on the left, logical line i on the right.
    QString rowText(int i) const;
    // The rows that fit, top first.
    QStringList listing(int maxRows) const;
    qreal rowHeight() const { return height_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString lineText(const class BufferLine* line) const;

    Terminal& terminal_;
    QFont font_;
    qreal height_ = 0;
    QLabel* dbg_ = nullptr;
};

}  // namespace ravelgrid
