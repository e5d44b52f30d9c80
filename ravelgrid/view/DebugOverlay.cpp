#include "ravelgrid/view/DebugOverlay.h"

#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/view/TerminalView.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QLabel>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace ravelgrid {
namespace {

QString number(int v)
{
    return QStringLiteral("%1").arg(v, 3, 10, QLatin1Char('0'));
}

}  // namespace

DebugOverlay::DebugOverlay(const QRect& frame, TerminalView& view) : QWidget(&view), terminal_(view.terminal())
{
    setGeometry(frame);
    font_ = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    height_ = QFontMetricsF(font_).boundingRect(QStringLiteral("W")).height();
    if (height_ <= 0)
        height_ = QFontMetricsF(font_).height();
    dbg_ = new QLabel(QStringLiteral("WAITING"), this);
    dbg_->setObjectName(QStringLiteral("debugStatus"));
    dbg_->setFont(font_);
    dbg_->setGeometry(0, 8, frame.width(), 14);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    view.setDebugOverlay(this);
}

QString DebugOverlay::statusText() const
{
    return dbg_->text();
}

void DebugOverlay::refresh()
{
    const Buffer& buffer = *terminal_.buffer;
    const auto& ring = const_cast<Buffer&>(buffer).lines();
    dbg_->setText(QStringLiteral("x: %1 y: %2 yDisp: %3 yBase: %4 clc: %5 startIndex: %6")
                      .arg(buffer.x())
                      .arg(buffer.y())
                      .arg(buffer.yDisp())
                      .arg(buffer.yBase())
                      .arg(ring.storageCount())
                      .arg(ring.startIndex()));
    update();
}

QString DebugOverlay::lineText(const BufferLine* line) const
{
    if (!line)
        return QStringLiteral("<empty>");
    QString text;
    const int cols = terminal_.cols;
    const int size = line->dataSize();
    for (int c = 0; c < cols && size > 0; ++c) {
        const CharData& cell = (*line)[std::min(c, size - 1)];
        if (cell.code == 0)
            text += QLatin1Char(' ');
        else
            text += QString::fromStdString(terminal_.getCharacter(cell));
    }
    return text;
}

QString DebugOverlay::rowText(int i) const
{
    const Buffer& buffer = *terminal_.buffer;
    const auto& ring = const_cast<Buffer&>(buffer).lines();
    QString marks;
    marks += i == buffer.yDisp() ? QLatin1Char('D') : QLatin1Char(' ');
    marks += i == buffer.yBase() ? QLatin1Char('B') : QLatin1Char(' ');
    const int storage = std::max(ring.storageCount(), 1);
    QString left = QLatin1Char('[') + number(i) + QLatin1Char(':') + number((ring.startIndex() + i) % storage) +
                   QLatin1Char(']') + marks + lineText(ring.storageSlot(i));
    // An empty logical slot reads as a blank line; the ring is left as it is.
    const BufferLine* logical = i < ring.count() ? ring.peek(i) : nullptr;
    QString right = QLatin1Char('[') + number(i) + QLatin1Char(']') + marks +
                    (logical ? lineText(logical) : QString(terminal_.cols, QLatin1Char(' ')));
    return left + right;
}

QStringList DebugOverlay::listing(int maxRows) const
{
    QStringList rows;
    const int n = const_cast<Buffer&>(*terminal_.buffer).lines().maxLength();
    for (int i = 0; i < std::min(n, maxRows); ++i)
        rows << rowText(i);
    return rows;
}

void DebugOverlay::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    painter.setPen(Qt::black);
    painter.setFont(font_);
    const int fit = height_ > 0 ? int(std::ceil(height() / height_)) : 0;
    const QStringList rows = listing(fit);
    for (int i = 0; i < rows.size(); ++i)
        painter.drawText(QPointF(0, (i + 1) * height_), rows[i]);
}

}  // namespace ravelgrid
