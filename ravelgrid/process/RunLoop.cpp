#include "ravelgrid/process/RunLoop.h"

#include <cstdint>
#include <utility>

namespace ravelgrid {

RunLoop::~RunLoop()
{
    if (DeliveryQueue::main() == this)
        DeliveryQueue::setMain(nullptr);
}

void RunLoop::post(Task task)
{
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

std::uint64_t RunLoop::nowNs() const
{
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

platform::Scheduler::TaskId RunLoop::scheduleAfter(std::uint64_t delayNs, std::function<void()> task)
{
    TaskId id = 0;
    {
        std::lock_guard lock(mutex_);
        id = ++lastTimerId_;
        // Capped where the steady clock's time points end.
        constexpr std::uint64_t latest = static_cast<std::uint64_t>(INT64_MAX);
        const std::uint64_t now = nowNs();
        const std::uint64_t due = delayNs >= latest - now ? latest : now + delayNs;
        timers_.emplace(std::make_pair(due, id), std::move(task));
    }
    wake_.notify_one();
    return id;
}

void RunLoop::cancel(TaskId id)
{
    std::lock_guard lock(mutex_);
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->first.second == id) {
            timers_.erase(it);
            return;
        }
    }
}

bool RunLoop::timerDueLocked() const
{
    return !timers_.empty() && timers_.begin()->first.first <= nowNs();
}

RunLoop::Task RunLoop::takeLocked()
{
    // Posted tasks and due timers take turns, so neither starves the other;
    // a due timer stays cancellable until it is taken.
    const bool timer = timerDueLocked() && (tasks_.empty() || timerTurn_);
    timerTurn_ = !timer;
    if (timer) {
        Task task = std::move(timers_.begin()->second);
        timers_.erase(timers_.begin());
        return task;
    }
    Task task = std::move(tasks_.front());
    tasks_.pop_front();
    return task;
}

bool RunLoop::runOne(std::chrono::steady_clock::time_point deadline, bool honourStop)
{
    Task task;
    {
        std::unique_lock lock(mutex_);
        auto ready = [&] { return !tasks_.empty() || timerDueLocked() || (honourStop && stopRequested_); };
        while (!ready()) {
            auto until = deadline;
            if (!timers_.empty()) {
                const auto due =
                    std::chrono::steady_clock::time_point(std::chrono::nanoseconds(timers_.begin()->first.first));
                until = std::min(until, due);
            }
            if (until == std::chrono::steady_clock::time_point::max()) {
                wake_.wait(lock);
            } else {
                wake_.wait_until(lock, until);
                if (!ready() && std::chrono::steady_clock::now() >= deadline)
                    return false;
            }
        }
        if (honourStop && stopRequested_)
            return false;
        task = takeLocked();
    }
    if (task)
        task();
    return true;
}

void RunLoop::run()
{
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = false;
    }
    for (;;) {
        runOne(std::chrono::steady_clock::time_point::max(), true);
        std::lock_guard lock(mutex_);
        if (stopRequested_) {
            stopRequested_ = false;
            return;
        }
    }
}

void RunLoop::stop()
{
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
    }
    wake_.notify_all();
}

bool RunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        runOne(deadline, false);
    }
    return true;
}

void RunLoop::runFor(std::chrono::milliseconds duration)
{
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < deadline)
        runOne(deadline, false);
}

std::size_t RunLoop::runPending()
{
    std::deque<Task> batch;
    std::uint64_t now = 0;
    {
        std::lock_guard lock(mutex_);
        batch.swap(tasks_);
        now = nowNs();
    }
    std::size_t count = 0;
    for (auto& task : batch) {
        if (task)
            task();
        ++count;
    }
    // Then the timers that were due when we started, each taken only when
    // it runs so that a task above may still cancel it.
    for (;;) {
        Task task;
        {
            std::lock_guard lock(mutex_);
            if (timers_.empty() || timers_.begin()->first.first > now)
                break;
            task = std::move(timers_.begin()->second);
            timers_.erase(timers_.begin());
        }
        if (task)
            task();
        ++count;
    }
    return count;
}

std::size_t RunLoop::queuedCount() const
{
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

std::size_t RunLoop::timerCount() const
{
    std::lock_guard lock(mutex_);
    return timers_.size();
}

}  // namespace ravelgrid
