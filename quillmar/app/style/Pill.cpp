#include "quillmar/app/style/Pill.h"

#include "quillmar/app/style/Metro.h"

#include <QPainter>
#include <QPainterPath>

namespace quillmar {
namespace {
constexpr int padX = 8;
constexpr int padY = 3;
}  // namespace

Pill::Pill(const QString& text, const QColor& tone, QWidget* parent) : QWidget(parent), text_(text), tone_(tone) {
    setFont(metroMonoFont(11, QFont::Medium));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void Pill::setText(const QString& text) {
    if (text == text_)
        return;
    text_ = text;
    updateGeometry();
    update();
}

void Pill::setTone(const QColor& tone) {
    tone_ = tone;
    update();
}

QSize Pill::sizeHint() const {
    const QFontMetrics fm(font());
    return {fm.horizontalAdvance(text_) + 2 * padX, fm.height() + 2 * padY};
}

void Pill::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = r.height() / 2;
    QColor fill = tone_;
    fill.setAlphaF(0.14f);
    QColor edge = tone_;
    edge.setAlphaF(0.45f);
    p.setPen(QPen(edge, 1));
    p.setBrush(fill);
    p.drawRoundedRect(r, radius, radius);
    p.setPen(tone_);
    p.drawText(rect(), Qt::AlignCenter, text_);
}

}  // namespace quillmar
