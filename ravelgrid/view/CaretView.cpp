#include "ravelgrid/view/CaretView.h"

#include "ravelgrid/view/TerminalView.h"

#include <QEasingCurve>
#include <QPainter>
#include <QVariantAnimation>

namespace ravelgrid {

namespace {

bool isBlinkingStyle(CursorStyle style)
{
    return style == CursorStyle::blinkBlock || style == CursorStyle::blinkUnderline || style == CursorStyle::blinkBar;
}

}  // namespace

CaretView::CaretView(TerminalView* view) : QWidget(view), view_(view), blink_(new QVariantAnimation(this))
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
    // One cycle: fade out, then back in, each way eased in (slow at first).
    blink_->setStartValue(0.0);
    blink_->setEndValue(1.0);
    blink_->setDuration(2 * blinkHalfPeriodMs);
    blink_->setLoopCount(-1);
    connect(blink_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        const qreal t = value.toReal();
        const QEasingCurve easeIn(QEasingCurve::InQuad);
        setOpacity(t < 0.5 ? 1.0 - easeIn.valueForProgress(t * 2) : 1.0 - easeIn.valueForProgress(2 - t * 2));
    });
}

void CaretView::setTracksFocus(bool on)
{
    tracksFocus_ = on;
    updateAnimations();
}

bool CaretView::drawsFocused() const
{
    return !tracksFocus_ || view_->caretFocused();
}

bool CaretView::blinking() const
{
    return blink_->state() == QAbstractAnimation::Running;
}

void CaretView::updateAnimations()
{
    blink_->stop();
    setOpacity(1.0);
    // An unfocused caret is a steady hollow box; focus restarts the blink
    // from full opacity.
    if (isBlinkingStyle(view_->terminal().cursorStyle) && drawsFocused())
        blink_->start();
    update();
}

void CaretView::setOpacity(qreal opacity)
{
    if (opacity == opacity_)
        return;
    opacity_ = opacity;
    update();
}

void CaretView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setOpacity(opacity_);
    view_->drawCaret(painter, QRectF(rect()));
}

}  // namespace ravelgrid
