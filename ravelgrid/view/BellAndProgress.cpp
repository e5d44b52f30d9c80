#include "ravelgrid/view/BellAndProgress.h"

#include "ravelgrid/view/ProgressBarView.h"
#include "ravelgrid/view/TerminalView.h"

#include <QPainter>
#include <QVariantAnimation>
#include <QWidget>

namespace ravelgrid {

// The flash: a child over the whole view, painted in the foreground colour
// at the animation's opacity, transparent to the pointer.
class VisualBellOverlay final : public QWidget {
public:
    explicit VisualBellOverlay(TerminalView* view) : QWidget(view), view_(view)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_TranslucentBackground);
        setFocusPolicy(Qt::NoFocus);
    }
    qreal opacity = 0;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setOpacity(opacity);
        painter.fillRect(rect(), view_->nativeForegroundColor());
    }

private:
    TerminalView* view_;
};

BellAndProgress::BellAndProgress(TerminalView& view, platform::Scheduler& scheduler)
    : view_(view), scheduler_(scheduler)
{
    progressBar_ = new ProgressBarView(&view_);
    progressBar_->hide();
    layoutProgressBar();
}

BellAndProgress::~BellAndProgress()
{
    cancelProgressReportTimeout();
}

void BellAndProgress::ring()
{
    // A flood of bells (cat of a binary) beeps and flashes once per interval.
    const uint64_t now = scheduler_.nowNs();
    auto due = [now](const std::optional<uint64_t>& last) {
        return !last || now < *last || now - *last >= bellIntervalNs;
    };
    const bool audible = bellStyle_ == BellStyle::sound || bellStyle_ == BellStyle::soundAndVisual;
    const bool visual = bellStyle_ == BellStyle::visual || bellStyle_ == BellStyle::soundAndVisual;
    if (audible && due(lastBeepNs_)) {
        lastBeepNs_ = now;
        if (TerminalViewDelegate* delegate = view_.terminalDelegate())
            delegate->bell(view_);
    }
    if (visual && due(lastFlashNs_)) {
        lastFlashNs_ = now;
        flash();
    }
}

void BellAndProgress::flash()
{
    if (!bellOverlay_) {
        auto* overlay = new VisualBellOverlay(&view_);
        bellOverlay_ = overlay;
        bellAnimation_ = new QVariantAnimation(overlay);
        bellAnimation_->setDuration(visualBellDurationMs);
        bellAnimation_->setStartValue(0.0);
        bellAnimation_->setKeyValueAt(0.3, visualBellPeakOpacity);
        bellAnimation_->setEndValue(0.0);
        QObject::connect(bellAnimation_, &QVariantAnimation::valueChanged, overlay, [overlay](const QVariant& v) {
            overlay->opacity = v.toReal();
            overlay->update();
        });
        QObject::connect(bellAnimation_, &QVariantAnimation::finished, overlay, [overlay] { overlay->hide(); });
    }
    bellAnimation_->stop();
    bellOverlay_->setGeometry(view_.rect());
    bellOverlay_->show();
    bellOverlay_->raise();
    bellAnimation_->start();
}

bool BellAndProgress::flashActive() const
{
    return bellOverlay_ && bellOverlay_->isVisible();
}

qreal BellAndProgress::flashOpacity() const
{
    return flashActive() ? bellOverlay_->opacity : 0.0;
}

void BellAndProgress::layoutProgressBar()
{
    progressBar_->setGeometry(0, 0, view_.width(), ProgressBarView::barHeight);
}

std::optional<uint8_t> BellAndProgress::resolveProgress(const ProgressReport& report)
{
    switch (report.state) {
    case ProgressReportState::set: lastProgressValue_ = report.progress.value_or(0); return lastProgressValue_;
    case ProgressReportState::error:
        if (report.progress)
            lastProgressValue_ = report.progress;
        return lastProgressValue_;
    case ProgressReportState::indeterminate: return std::nullopt;
    case ProgressReportState::pause:
        lastProgressValue_ = report.progress ? *report.progress : lastProgressValue_.value_or(100);
        return lastProgressValue_;
    case ProgressReportState::remove: break;
    }
    return std::nullopt;
}

void BellAndProgress::applyProgressReport(const ProgressReport& report)
{
    if (report.state == ProgressReportState::remove) {
        clearProgressReport();
        return;
    }
    const std::optional<uint8_t> shown = resolveProgress(report);
    progressBar_->update(report.state, shown);
    scheduleProgressReportTimeout();
}

void BellAndProgress::scheduleProgressReportTimeout()
{
    cancelProgressReportTimeout();
    progressTimeoutTask_ = scheduler_.scheduleAfter(progressReportTimeoutNs, [this] {
        progressTimeoutTask_ = 0;
        clearProgressReport();
    });
}

void BellAndProgress::cancelProgressReportTimeout()
{
    if (progressTimeoutTask_ != 0)
        scheduler_.cancel(progressTimeoutTask_);
    progressTimeoutTask_ = 0;
}

void BellAndProgress::clearProgressReport()
{
    cancelProgressReportTimeout();
    lastProgressValue_.reset();
    progressBar_->update(ProgressReportState::remove, std::nullopt);
}

}  // namespace ravelgrid
