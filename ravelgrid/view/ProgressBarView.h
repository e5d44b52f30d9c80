#pragma once

#include "ravelgrid/terminal/TerminalTypes.h"

#include <QColor>
#include <QVariantAnimation>
#include <QWidget>

#include <cstdint>
#include <optional>

namespace ravelgrid {

// The thin bar along the top of a terminal view that shows a program's
// progress report: a filled bar for a percentage, a sliding segment while
// the amount is unknown; the accent colour, orange when paused, red on error.
// It never takes the mouse.
class ProgressBarView : public QWidget {
    Q_OBJECT

public:
    static constexpr int barHeight = 2;
    static constexpr double barWidthRatio = 0.25;
    static constexpr int indeterminateDurationMs = 1200;
    static constexpr int determinateDurationMs = 200;

    explicit ProgressBarView(QWidget* parent = nullptr);

    // Shows a state; remove hides the bar. No percentage: the sliding segment.
    void update(ProgressReportState state, std::optional<uint8_t> progress);

    ProgressReportState state() const { return state_; }
    std::optional<uint8_t> progress() const { return progress_; }
    QColor barColor() const;
    bool sweeping() const { return sweep_.state() == QAbstractAnimation::Running; }
    // The bar's rectangle as painted now.
    QRectF barRect() const;
    // Ends a running change of width at once (tests, and layout).
    void finishWidthAnimation();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    qreal targetWidth() const;

    ProgressReportState state_ = ProgressReportState::remove;
    std::optional<uint8_t> progress_;
    qreal barWidth_ = 0;    // the percentage bar, animated
    qreal sweepPhase_ = 0;  // 0..1 across the track and back
    QVariantAnimation widthAnimation_;
    QVariantAnimation sweep_;
};

}  // namespace ravelgrid
