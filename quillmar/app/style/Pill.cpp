#include "quillmar/app/style/Pill.h"

#include "quillmar/app/style/Metro.h"

#include <QPainter>
#include <QPainterPath>

namespace quillmar {
namespace {
constexpr int padX = 8;
constexpr int padY = 3;
}  // namespace

Pill::Pill(const QString& text, Metro::Role tone, QWidget* parent) : QWidget(parent), text_(text), tone_(tone)
{
    setFont(metroMonoFont(11, QFont::Medium));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void Pill::setText(const QString& text)
{
    if (text == text_)
        return;
    text_ = text;
    updateGeometry();
    update();
}

void Pill::setTone(Metro::Role tone)
{
    if (tone == tone_)
        return;
    tone_ = tone;
    update();
}

QSize Pill::sizeHint() const
{
    const QFontMetrics fm(font());
    return {fm.horizontalAdvance(text_) + 2 * padX, fm.height() + 2 * padY};
}

void Pill::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = r.height() / 2;
    const QColor colour = tone();
    QColor fill = colour;
    fill.setAlphaF(0.14f);
    QColor edge = colour;
    edge.setAlphaF(0.45f);
    p.setPen(QPen(edge, 1));
    p.setBrush(fill);
    p.drawRoundedRect(r, radius, radius);
    p.setPen(colour);
    p.drawText(rect(), Qt::AlignCenter, text_);
}

}  // namespace quillmar
