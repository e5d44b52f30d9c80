// Progress reports (OSC 9;4) shown by the view's progress bar.
#include "ravelgrid/view/TerminalView.h"

#include "ravelgrid/view/ProgressBarView.h"

namespace ravelgrid {

void TerminalView::setupProgressBar() {
    progressBar_ = new ProgressBarView(this);
    progressBar_->hide();
    updateProgressBarFrame();
}

void TerminalView::updateProgressBarFrame() {
    if (progressBar_)
        progressBar_->setGeometry(0, 0, width(), ProgressBarView::barHeight);
}

void TerminalView::progressReport(Terminal&, const ProgressReport& report) { applyProgressReport(report); }

std::optional<uint8_t> TerminalView::resolveProgress(const ProgressReport& report) {
    switch (report.state) {
    case ProgressReportState::set:
        lastProgressValue_ = report.progress.value_or(0);
        return lastProgressValue_;
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

void TerminalView::applyProgressReport(const ProgressReport& report) {
    if (report.state == ProgressReportState::remove) {
        clearProgressReport();
        return;
    }
    const std::optional<uint8_t> shown = resolveProgress(report);
    if (progressBar_)
        progressBar_->update(report.state, shown);
    scheduleProgressReportTimeout();
}

void TerminalView::scheduleProgressReportTimeout() {
    cancelTask(progressTimeoutTask_);
    progressTimeoutTask_ = runAfter(progressReportTimeoutNs, [this] {
        progressTimeoutTask_ = 0;
        clearProgressReport();
    });
}

void TerminalView::clearProgressReport() {
    cancelTask(progressTimeoutTask_);
    lastProgressValue_.reset();
    if (progressBar_)
        progressBar_->update(ProgressReportState::remove, std::nullopt);
}

}  // namespace ravelgrid
