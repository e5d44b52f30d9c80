#pragma once

#include <QColor>
#include <QFont>
#include <QSizeF>
#include <QString>
#include <QTextLayout>
#include <QWidget>

namespace ravelgrid {

// Uncommitted input-method text, laid over the grid from the caret on: the
// first line starts at the caret's column, further lines wrap to the full
// width below it. Each character takes about one cell.
class MarkedTextOverlay final : public QWidget {
public:
    explicit MarkedTextOverlay(QWidget* parent);

    struct Look {
        QFont font;
        QColor foreground;
        QColor background;
        QSizeF cell;
    };
    // Lays the text out and moves the overlay: `caret` is the caret's frame
    // and `viewWidth` the width of the view it is laid over.
    void setText(const QString& text, int cursor, const Look& look, const QRectF& caret, qreal viewWidth);
    const QString& text() const { return text_; }
    int lineCount() const { return layout_.lineCount(); }
    const Look& look() const { return look_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    int cursor_ = -1;
    Look look_;
    QTextLayout layout_;
};

}  // namespace ravelgrid
