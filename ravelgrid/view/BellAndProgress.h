#pragma once

#include "platform/Scheduler.h"
#include "ravelgrid/terminal/TerminalTypes.h"
#include "ravelgrid/view/BellStyle.h"

#include <QtGlobal>

#include <cstdint>
#include <optional>

class QVariantAnimation;

namespace ravelgrid {

class ProgressBarView;
class TerminalView;
class VisualBellOverlay;

// A view's wordless notices: the bar of a program's progress reports, which
// goes after a quiet while, and the bell's sound and flash, held to a rate a
// bell flood cannot turn into noise.
class BellAndProgress {
public:
    // A bell flood beeps and flashes at most once per this interval.
    static constexpr uint64_t bellIntervalNs = 100'000'000;
    static constexpr int visualBellDurationMs = 200;
    static constexpr qreal visualBellPeakOpacity = 0.35;
    static constexpr uint64_t progressReportTimeoutNs = 15'000'000'000ull;

    // The bar is made hidden at once; the flash on its first use.
    BellAndProgress(TerminalView& view, platform::Scheduler& scheduler);
    ~BellAndProgress();
    BellAndProgress(const BellAndProgress&) = delete;
    BellAndProgress& operator=(const BellAndProgress&) = delete;

    BellStyle bellStyle() const { return bellStyle_; }
    void setBellStyle(BellStyle style) { bellStyle_ = style; }
    // The terminal's bell: a beep through the view's delegate and a flash,
    // as the style asks.
    void ring();
    // Flashes the view; a flash already running starts over.
    void flash();
    bool flashActive() const;
    qreal flashOpacity() const;

    ProgressBarView* progressBar() const { return progressBar_; }
    // Follows the view's width.
    void layoutProgressBar();
    void applyProgressReport(const ProgressReport& report);
    std::optional<uint8_t> resolveProgress(const ProgressReport& report);
    std::optional<uint8_t> lastProgressValue() const { return lastProgressValue_; }
    void clearProgressReport();

private:
    void scheduleProgressReportTimeout();
    void cancelProgressReportTimeout();

    TerminalView& view_;
    platform::Scheduler& scheduler_;
    BellStyle bellStyle_ = BellStyle::sound;
    std::optional<uint64_t> lastBeepNs_;
    std::optional<uint64_t> lastFlashNs_;
    VisualBellOverlay* bellOverlay_ = nullptr;    // a child of the view
    QVariantAnimation* bellAnimation_ = nullptr;  // owned by the overlay
    ProgressBarView* progressBar_ = nullptr;      // a child of the view
    platform::Scheduler::TaskId progressTimeoutTask_ = 0;
    std::optional<uint8_t> lastProgressValue_;
};

}  // namespace ravelgrid
