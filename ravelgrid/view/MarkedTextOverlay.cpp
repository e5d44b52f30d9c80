#include "ravelgrid/view/MarkedTextOverlay.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QTextOption>

#include <algorithm>
#include <cmath>

namespace ravelgrid {

namespace {

// The margin the overlay keeps from the view's left and right edges.
constexpr qreal edgeMargin = 4;

}  // namespace

MarkedTextOverlay::MarkedTextOverlay(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

void MarkedTextOverlay::setText(const QString& text, int cursor, const Look& look, const QRectF& caret, qreal viewWidth)
{
    text_ = text;
    cursor_ = cursor;
    look_ = look;
    const qreal cellW = std::max<qreal>(look.cell.width(), 1);
    const qreal cellH = std::max<qreal>(look.cell.height(), 1);
    const qreal width = std::max(viewWidth - 2 * edgeMargin, cellW);

    QFont font = look.font;
    // Every character about one cell wide, as on the grid.
    const qreal kern = std::max<qreal>(0, cellW - QFontMetricsF(font).horizontalAdvance(QLatin1Char('W')));
    font.setLetterSpacing(QFont::AbsoluteSpacing, kern);
    layout_.setText(text);
    layout_.setFont(font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout_.setTextOption(option);

    const qreal indent = caret.left() >= edgeMargin ? caret.left() - edgeMargin : 0;
    layout_.beginLayout();
    qreal y = 0;
    for (QTextLine line = layout_.createLine(); line.isValid(); line = layout_.createLine()) {
        const qreal x = y == 0 ? std::min(indent, width - cellW) : 0;
        line.setLineWidth(std::max(width - x, cellW));
        line.setPosition(QPointF(x, y));
        y += cellH;
    }
    layout_.endLayout();
    const qreal height = std::max(y, cellH);
    setGeometry(QRectF(edgeMargin, caret.top(), width, height).toAlignedRect());
    update();
}

void MarkedTextOverlay::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    // Only the lines' own rectangles: the grid stays visible around them.
    const qreal cellH = std::max<qreal>(look_.cell.height(), 1);
    for (int i = 0; i < layout_.lineCount(); ++i) {
        const QTextLine line = layout_.lineAt(i);
        painter.fillRect(QRectF(line.x(), line.y(), line.naturalTextWidth(), cellH), look_.background);
    }
    painter.setPen(look_.foreground);
    // Underlined, as composition text is shown elsewhere.
    QTextLayout::FormatRange underline;
    underline.start = 0;
    underline.length = int(text_.size());
    underline.format.setFontUnderline(true);
    underline.format.setForeground(look_.foreground);
    layout_.draw(&painter, QPointF(0, 0), {underline});
    if (cursor_ >= 0 && cursor_ <= text_.size())
        layout_.drawCursor(&painter, QPointF(0, 0), cursor_);
}

}  // namespace ravelgrid
