#include "ravelgrid/view/ProgressBarView.h"

#include <QEasingCurve>
#include <QPainter>

#include <algorithm>

namespace ravelgrid {

ProgressBarView::ProgressBarView(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    widthAnimation_.setDuration(determinateDurationMs);
    widthAnimation_.setEasingCurve(QEasingCurve::InOutQuad);
    connect(&widthAnimation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        barWidth_ = v.toReal();
        QWidget::update();
    });
    // There and back: one sweep each way.
    sweep_.setDuration(2 * indeterminateDurationMs);
    sweep_.setStartValue(0.0);
    sweep_.setKeyValueAt(0.5, 1.0);
    sweep_.setEndValue(0.0);
    sweep_.setEasingCurve(QEasingCurve::InOutQuad);
    sweep_.setLoopCount(-1);
    connect(&sweep_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        sweepPhase_ = v.toReal();
        QWidget::update();
    });
    hide();
}

QColor ProgressBarView::barColor() const
{
    switch (state_) {
    case ProgressReportState::error: return QColor(255, 59, 48);
    case ProgressReportState::pause: return QColor(255, 149, 0);
    default: return palette().color(QPalette::Highlight);
    }
}

qreal ProgressBarView::targetWidth() const
{
    // Past 100 the bar is clipped to the full width.
    return progress_ ? qreal(width()) * std::min<qreal>(*progress_, 100) / 100.0 : 0;
}

void ProgressBarView::update(ProgressReportState state, std::optional<uint8_t> progress)
{
    const bool wasVisible = isVisible() && state_ != ProgressReportState::remove;
    state_ = state;
    progress_ = progress;
    if (state == ProgressReportState::remove) {
        sweep_.stop();
        widthAnimation_.stop();
        barWidth_ = 0;
        hide();
        return;
    }
    if (!progress) {
        widthAnimation_.stop();
        const qreal w = width() * barWidthRatio;
        if (w > 0 && width() > w) {
            if (sweep_.state() != QAbstractAnimation::Running)
                sweep_.start();
        } else {
            sweep_.stop();
        }
    } else {
        sweep_.stop();
        const qreal target = targetWidth();
        widthAnimation_.stop();
        if (wasVisible && barWidth_ != target) {
            widthAnimation_.setStartValue(barWidth_);
            widthAnimation_.setEndValue(target);
            widthAnimation_.start();
        } else {
            barWidth_ = target;
        }
    }
    show();
    raise();
    QWidget::update();
}

void ProgressBarView::finishWidthAnimation()
{
    if (widthAnimation_.state() == QAbstractAnimation::Running)
        widthAnimation_.stop();
    barWidth_ = targetWidth();
    QWidget::update();
}

QRectF ProgressBarView::barRect() const
{
    if (state_ == ProgressReportState::remove)
        return {};
    if (!progress_) {
        const qreal w = width() * barWidthRatio;
        const qreal x = (width() > w) ? sweepPhase_ * (width() - w) : 0;
        return {x, 0, w, qreal(height())};
    }
    return {0, 0, std::clamp<qreal>(barWidth_, 0, width()), qreal(height())};
}

void ProgressBarView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    // A layout pass sets the width without animating it.
    widthAnimation_.stop();
    barWidth_ = targetWidth();
}

void ProgressBarView::paintEvent(QPaintEvent*)
{
    if (state_ == ProgressReportState::remove)
        return;
    QPainter painter(this);
    const QColor color = barColor();
    if (!progress_) {
        QColor track = color;
        track.setAlphaF(0.3f);
        painter.fillRect(rect(), track);
    }
    painter.fillRect(barRect(), color);
}

}  // namespace ravelgrid
