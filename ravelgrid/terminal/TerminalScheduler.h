#pragma once

#include <chrono>
#include <functional>

namespace ravelgrid {

// Delayed work on the terminal's own thread, supplied by the host: the view's
// event loop, a run loop, or a fake clock in tests. A terminal keeps at most
// one task pending and decides itself, when the task runs, whether there is
// still anything to do; a scheduler therefore needs no cancelling.
class TerminalScheduler {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~TerminalScheduler() = default;

    virtual Clock::time_point now() const = 0;
    // Runs `task` on the terminal's thread once `delay` has passed.
    virtual void scheduleAfter(Clock::duration delay, std::function<void()> task) = 0;
};

}  // namespace ravelgrid
