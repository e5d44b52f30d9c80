#pragma once

#include <QObject>

#include <cstdint>
#include <functional>

namespace ravelgrid {

// The clock and the deferred calls of a terminal view, replaceable so that
// tests can run the redraw timing on a fake clock. Every deferred call is
// tied to a context object and is dropped when that object is destroyed
// first.
class DisplayScheduler {
public:
    virtual ~DisplayScheduler() = default;

    // Monotonic nanoseconds.
    virtual uint64_t uptimeNs() const = 0;
    // Runs `task` on the context's thread after the delay.
    virtual void scheduleAfter(uint64_t delayNs, QObject* context, std::function<void()> task) = 0;

    // The scheduler of the real clock and the Qt event loop.
    static DisplayScheduler& system();
};

}  // namespace ravelgrid
