#include "ravelgrid/view/QtScheduler.h"

#include <QTimer>

#include <chrono>
#include <ctime>

namespace ravelgrid {

QtScheduler::QtScheduler() : owner_(std::make_unique<QObject>())
{}

QtScheduler::~QtScheduler() = default;  // the timers are children of owner_

std::uint64_t QtScheduler::nowNs() const
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1'000'000'000ull + std::uint64_t(ts.tv_nsec);
}

platform::Scheduler::TaskId QtScheduler::scheduleAfter(std::uint64_t delayNs, std::function<void()> task)
{
    const TaskId id = ++lastId_;
    auto* timer = new QTimer(owner_.get());  // owned by owner_
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    // Rounded up so that the task never runs early.
    timer->setInterval(std::chrono::milliseconds((delayNs + 999'999) / 1'000'000));
    QObject::connect(timer, &QTimer::timeout, timer, [this, id, timer, task = std::move(task)]() mutable {
        timers_.erase(id);
        // The task may cancel or schedule others; it runs after the timer is
        // no longer listed, and the timer is freed once the event is done.
        auto run = std::move(task);
        timer->deleteLater();
        if (run)
            run();
    });
    timers_.emplace(id, timer);
    timer->start();
    return id;
}

void QtScheduler::cancel(TaskId id)
{
    auto it = timers_.find(id);
    if (it == timers_.end())
        return;
    QTimer* timer = it->second;
    timers_.erase(it);
    timer->stop();
    timer->deleteLater();
}

QtScheduler& QtScheduler::system()
{
    // Never destroyed: views may outlive static destruction order.
    static QtScheduler* scheduler = new QtScheduler;
    return *scheduler;
}

}  // namespace ravelgrid
