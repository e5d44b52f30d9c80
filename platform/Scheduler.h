#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_set>
#include <utility>

namespace platform {

// The one clock and timer interface of the engine and the application: the
// Qt event loop in the window, a run loop in headless use, a fake clock in
// tests. Tasks run on the scheduler's own thread; nowNs() may be read from
// any thread.
class Scheduler {
public:
    using TaskId = std::uint64_t;  // 0 is never a task

    virtual ~Scheduler() = default;

    // Monotonic nanoseconds.
    virtual std::uint64_t nowNs() const = 0;
    // Runs `task` once `delayNs` has passed. Returns an id for cancel().
    virtual TaskId scheduleAfter(std::uint64_t delayNs, std::function<void()> task) = 0;
    // Drops a pending task; unknown or finished ids are ignored.
    virtual void cancel(TaskId id) = 0;
};

// Tasks owned by one object: whatever is still pending when the owner goes
// is cancelled, so no task outlives what it captured. An id is forgotten only
// once its task has run or been cancelled, so the list holds exactly what is
// pending, however many tasks ran meanwhile.
class ScopedTasks {
public:
    explicit ScopedTasks(Scheduler& scheduler) : scheduler_(&scheduler) {}
    ScopedTasks(const ScopedTasks&) = delete;
    ScopedTasks& operator=(const ScopedTasks&) = delete;
    ~ScopedTasks() { cancelAll(); }

    Scheduler& scheduler() const { return *scheduler_; }

    Scheduler::TaskId after(std::uint64_t delayNs, std::function<void()> task)
    {
        // The id is known only once scheduled; the task reads it when it runs.
        auto self = std::make_shared<Scheduler::TaskId>(0);
        const Scheduler::TaskId id = scheduler_->scheduleAfter(delayNs, [this, self, task = std::move(task)] {
            // Forgotten before it runs: the task may end its owner.
            pending_.erase(*self);
            task();
        });
        *self = id;
        pending_.insert(id);
        return id;
    }
    void cancel(Scheduler::TaskId id)
    {
        if (pending_.erase(id) != 0)
            scheduler_->cancel(id);
    }
    void cancelAll()
    {
        for (Scheduler::TaskId id : std::exchange(pending_, {}))
            scheduler_->cancel(id);
    }

private:
    Scheduler* scheduler_;
    std::unordered_set<Scheduler::TaskId> pending_;
};

}  // namespace platform
