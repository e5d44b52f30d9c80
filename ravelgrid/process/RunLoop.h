#pragma once

#include "platform/Scheduler.h"
#include "ravelgrid/process/DeliveryQueue.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

namespace ravelgrid {

// A plain delivery queue for headless programs and tests: tasks posted from
// any thread run on whichever thread calls one of the run functions. It is
// also a scheduler on the steady clock: timed tasks run from the same run
// functions once due, after the tasks posted before they fell due.
class RunLoop final : public DeliveryQueue, public platform::Scheduler {
public:
    RunLoop() = default;
    ~RunLoop() override;

    void post(Task task) override;

    std::uint64_t nowNs() const override;
    TaskId scheduleAfter(std::uint64_t delayNs, std::function<void()> task) override;
    void cancel(TaskId id) override;

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

    // Posted tasks waiting; timed tasks not yet due are not counted.
    std::size_t queuedCount() const;
    // Timed tasks neither run nor cancelled yet.
    std::size_t timerCount() const;

private:
    bool runOne(std::chrono::steady_clock::time_point deadline, bool honourStop);

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    bool timerDueLocked() const;
    Task takeLocked();
    bool timerTurn_ = false;
    // Keyed by due time, then id, so equal times run in scheduling order.
    std::map<std::pair<std::uint64_t, TaskId>, Task> timers_;
    TaskId lastTimerId_ = 0;
    bool stopRequested_ = false;
};

}  // namespace ravelgrid
