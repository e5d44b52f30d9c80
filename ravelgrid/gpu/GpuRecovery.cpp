#include "ravelgrid/gpu/GpuRecovery.h"

#include <cmath>
#include <cstdio>

namespace ravelgrid {

std::string_view toString(GpuTrackedCommandBufferStatus status)
{
    switch (status) {
    case GpuTrackedCommandBufferStatus::notEnqueued: return "notEnqueued";
    case GpuTrackedCommandBufferStatus::enqueued: return "enqueued";
    case GpuTrackedCommandBufferStatus::committed: return "committed";
    case GpuTrackedCommandBufferStatus::scheduled: return "scheduled";
    case GpuTrackedCommandBufferStatus::completed: return "completed";
    case GpuTrackedCommandBufferStatus::error: return "error";
    }
    return "error";
}

GpuTrackedCommandBufferStatus trackedStatusFromRaw(unsigned long raw)
{
    if (raw > 4)
        return GpuTrackedCommandBufferStatus::error;
    return static_cast<GpuTrackedCommandBufferStatus>(raw);
}

GpuAutomaticRecoveryPolicy::Decision GpuAutomaticRecoveryPolicy::decide(double now)
{
    if (lastReplacementAt_) {
        const double since = now - *lastReplacementAt_;
        // A clock that went backwards (or NaN) must not allow a burst.
        if (!(since >= minimumInterval)) {
            char text[96];
            std::snprintf(text, sizeof text, "automatic recovery refused: last replacement %.1f s ago",
                          std::isfinite(since) && since > 0 ? since : 0.0);
            return Decision{false, text};
        }
    }
    lastReplacementAt_ = now;
    return Decision{true, {}};
}

}  // namespace ravelgrid
