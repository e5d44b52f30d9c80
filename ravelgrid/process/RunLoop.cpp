#include "ravelgrid/process/RunLoop.h"

#include <utility>

namespace ravelgrid {

RunLoop::~RunLoop() {
    if (DeliveryQueue::main() == this) DeliveryQueue::setMain(nullptr);
}

void RunLoop::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

bool RunLoop::runOne(std::chrono::steady_clock::time_point deadline, bool honourStop) {
    Task task;
    {
        std::unique_lock lock(mutex_);
        auto ready = [&] { return !tasks_.empty() || (honourStop && stopRequested_); };
        if (deadline == std::chrono::steady_clock::time_point::max()) {
            wake_.wait(lock, ready);
        } else if (!wake_.wait_until(lock, deadline, ready)) {
            return false;
        }
        if ((honourStop && stopRequested_) || tasks_.empty()) return false;
        task = std::move(tasks_.front());
        tasks_.pop_front();
    }
    if (task) task();
    return true;
}

void RunLoop::run() {
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

void RunLoop::stop() {
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
    }
    wake_.notify_all();
}

bool RunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        runOne(deadline, false);
    }
    return true;
}

void RunLoop::runFor(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < deadline) runOne(deadline, false);
}

std::size_t RunLoop::runPending() {
    std::deque<Task> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(tasks_);
    }
    std::size_t count = 0;
    for (auto& task : batch) {
        if (task) task();
        ++count;
    }
    return count;
}

std::size_t RunLoop::queuedCount() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

}  // namespace ravelgrid
