#pragma once

#include "ravelgrid/gpu/GpuRendererStatus.h"

#include <optional>
#include <string>
#include <string_view>

namespace ravelgrid {

// The state of a frame's command stream as the coordinator tracks it.
enum class GpuTrackedCommandBufferStatus { notEnqueued, enqueued, committed, scheduled, completed, error };

std::string_view toString(GpuTrackedCommandBufferStatus status);
// 0..4 are the first five states; anything larger is an error.
GpuTrackedCommandBufferStatus trackedStatusFromRaw(unsigned long raw);

// What the coordinator tells the view when drawing is considered broken.
struct GpuRendererRecoveryReport {
    GpuFrameRefusalReason reason = GpuFrameRefusalReason::activeFrame;
    double failureDuration = 0;  // seconds, never negative
    std::optional<GpuTrackedCommandBufferStatus> commandBufferStatus;
    std::optional<std::string> commandBufferError;

    bool operator==(const GpuRendererRecoveryReport&) const = default;
};

// The view replaces a failing renderer at most once every 30 s; a refusal
// says why, so the log shows the real reason for the fall-back.
class GpuAutomaticRecoveryPolicy {
public:
    static constexpr double minimumInterval = 30.0;

    struct Decision {
        bool allowed = false;
        std::string refusal;  // empty when allowed
    };

    // An allowed replacement is remembered; a refused one changes nothing.
    Decision decide(double now);
    void reset() { lastReplacementAt_.reset(); }
    std::optional<double> lastReplacementAt() const { return lastReplacementAt_; }

private:
    std::optional<double> lastReplacementAt_;
};

}  // namespace ravelgrid
