#pragma once

#include "ravelgrid/process/DeliveryQueue.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

namespace ravelgrid {

// A plain delivery queue for headless programs and tests: tasks posted from
// any thread run on whichever thread calls one of the run functions.
class RunLoop final : public DeliveryQueue {
public:
    RunLoop() = default;
    ~RunLoop() override;

    void post(Task task) override;

    // Runs tasks until stop() is called (from a task or another thread).
    void run();
    void stop();

    // Runs tasks until `done` holds (checked after every task and at the
    // start) or the timeout passes; returns the last value of `done`.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    // Runs tasks for the given time, also waiting while there are none.
    void runFor(std::chrono::milliseconds duration);

    // Runs the tasks that are queued now, not those they post; returns how many ran.
    std::size_t runPending();

    std::size_t queuedCount() const;

private:
    bool runOne(std::chrono::steady_clock::time_point deadline, bool honourStop);

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    bool stopRequested_ = false;
};

}  // namespace ravelgrid
