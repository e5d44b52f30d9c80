#include "quillmar/app/style/BrandMark.h"

#include <QFontDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <QVariantAnimation>

#include <cmath>

namespace quillmar {
namespace {

double mix(double rest, double glow, double t)
{
    return rest + (glow - rest) * t;
}

QColor withAlpha(QColor c, double alpha)
{
    c.setAlphaF(float(std::clamp(alpha, 0.0, 1.0)));
    return c;
}

// A soft glow around `shape`: widening strokes, each fainter than the last.
void glow(QPainter& p, const QPainterPath& shape, const QColor& colour, double opacity, double radius)
{
    if (opacity <= 0 || radius <= 0)
        return;
    const int steps = std::max(2, int(std::ceil(radius / 2)));
    for (int i = steps; i >= 1; --i) {
        const double width = 2 * radius * i / steps;
        p.setPen(QPen(withAlpha(colour, opacity / (steps + 1) * (steps - i + 1) / 2), width, Qt::SolidLine,
                      Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPath(shape);
    }
}

}  // namespace

BrandMark::BrandMark(double size, QWidget* parent) : QWidget(parent), size_(size)
{
    const int side = int(std::ceil(size));
    setFixedSize(side, side);
    setAccessibleName(tr("quillmar"));
}

BrandMark::~BrandMark() = default;

QSize BrandMark::sizeHint() const
{
    const int side = int(std::ceil(size_));
    return {side, side};
}

double BrandMark::borderOpacity() const
{
    return mix(0.28, 0.75, phase_);
}

void BrandMark::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!glows() || scheduled_)
        return;
    // Started on a later turn of the event loop, not inside the show.
    scheduled_ = true;
    QTimer::singleShot(0, this, &BrandMark::startPulse);
}

void BrandMark::startPulse()
{
    glowPulse_ = true;
    animation_ = std::make_unique<QVariantAnimation>();
    animation_->setStartValue(0.0);
    animation_->setEndValue(1.0);
    animation_->setDuration(pulseMs);
    animation_->setEasingCurve(QEasingCurve::InOutQuad);
    connect(animation_.get(), &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        phase_ = v.toDouble();
        update();
    });
    // Auto-reverse for ever: each run turns round where the last one ended.
    connect(animation_.get(), &QVariantAnimation::finished, this, [this] {
        animation_->setDirection(animation_->direction() == QAbstractAnimation::Forward ? QAbstractAnimation::Backward
                                                                                        : QAbstractAnimation::Forward);
        animation_->start();
    });
    animation_->start();
}

BrandMark::Outlines BrandMark::outlines(double s, QPointF origin)
{
    Outlines o;
    const QRectF card(origin, QSizeF(s, s));
    o.radius = 0.225 * s;
    o.card.addRoundedRect(card, o.radius, o.radius);
    QFont font(QStringLiteral("JetBrains Mono"));
    font.setBold(true);
    font.setPixelSize(std::max(1, int(std::lround(0.4 * s))));
    const QFontMetricsF fm(font);
    const double textWidth = fm.horizontalAdvance(QStringLiteral("qm"));
    const double cursorW = 0.17 * s, cursorH = 0.33 * s, gap = 0.02 * s;
    const double total = textWidth + gap + cursorW;
    const double baseline = card.center().y() + (fm.ascent() - fm.descent()) / 2;
    const double x0 = card.center().x() - total / 2;
    o.letters.addText(QPointF(x0, baseline), font, QStringLiteral("qm"));
    const QRectF cursor(x0 + textWidth + gap, baseline - cursorH, cursorW, cursorH);
    o.cursor.addRoundedRect(cursor, 0.02 * s, 0.02 * s);
    return o;
}

void BrandMark::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size_;
    const double t = phase_;
    const Outlines o = outlines(s, QPointF((width() - s) / 2, (height() - s) / 2));
    const QRectF card = o.card.boundingRect();
    const double radius = o.radius;
    const QPainterPath& cardPath = o.card;

    if (glows())
        glow(p, cardPath, amber(), mix(0.12, 0.55, t), mix(3, 12, t));
    p.fillPath(cardPath, cardBg());
    const double bw = borderWidth();
    QPen border(withAlpha(amber(), borderOpacity()), bw, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    border.setMiterLimit(10);
    p.setPen(border);
    p.setBrush(Qt::NoBrush);
    const QRectF inner = card.adjusted(bw / 2, bw / 2, -bw / 2, -bw / 2);
    p.drawRoundedRect(inner, radius - bw / 2, radius - bw / 2);

    const QPainterPath& letters = o.letters;
    const QPainterPath& cursorPath = o.cursor;
    if (glows()) {
        glow(p, letters, ink(), 0.45, mix(1, 5, t));
        glow(p, cursorPath, amber(), mix(0.35, 0.9, t), mix(3, 10, t));
    }
    p.setPen(Qt::NoPen);
    p.fillPath(letters, ink());
    p.fillPath(cursorPath, amber());
}

}  // namespace quillmar
