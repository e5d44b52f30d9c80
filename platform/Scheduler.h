#pragma once

#include <cstdint>
#include <functional>
#include <vector>

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
// is cancelled, so no task outlives what it captured.
class ScopedTasks {
public:
    explicit ScopedTasks(Scheduler& scheduler) : scheduler_(&scheduler) {}
    ScopedTasks(const ScopedTasks&) = delete;
    ScopedTasks& operator=(const ScopedTasks&) = delete;
    ~ScopedTasks() { cancelAll(); }

    Scheduler& scheduler() const { return *scheduler_; }

    Scheduler::TaskId after(std::uint64_t delayNs, std::function<void()> task)
    {
        prune();
        const Scheduler::TaskId id = scheduler_->scheduleAfter(delayNs, std::move(task));
        ids_.push_back(id);
        return id;
    }
    void cancel(Scheduler::TaskId id) { scheduler_->cancel(id); }
    void cancelAll()
    {
        for (Scheduler::TaskId id : ids_)
            scheduler_->cancel(id);
        ids_.clear();
    }

private:
    // Ids of finished tasks are harmless to cancel; keep the list short.
    void prune()
    {
        if (ids_.size() > 64) {
            std::vector<Scheduler::TaskId> keep(ids_.end() - 32, ids_.end());
            ids_.swap(keep);
        }
    }

    Scheduler* scheduler_;
    std::vector<Scheduler::TaskId> ids_;
};

}  // namespace platform
