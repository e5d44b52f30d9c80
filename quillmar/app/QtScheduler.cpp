#include "quillmar/app/QtScheduler.h"

#include <QTimer>

#include <limits>

namespace quillmar {

QtScheduler::QtScheduler() { clock_.start(); }

QtScheduler::~QtScheduler() = default;

std::uint64_t QtScheduler::nowNs() const { return std::uint64_t(clock_.nsecsElapsed()); }

platform::Scheduler::TaskId QtScheduler::scheduleAfter(std::uint64_t delayNs, std::function<void()> task) {
    const TaskId id = ++lastId_;
    auto* timer = new QTimer(&context_);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    const std::uint64_t ms = (delayNs + 999'999) / 1'000'000;
    timer->setInterval(int(std::min<std::uint64_t>(ms, std::numeric_limits<int>::max())));
    QObject::connect(timer, &QTimer::timeout, &context_, [this, id, timer, task = std::move(task)] {
        pending_.erase(id);
        timer->deleteLater();
        task();
    });
    pending_[id] = timer;
    timer->start();
    return id;
}

void QtScheduler::cancel(TaskId id) {
    auto it = pending_.find(id);
    if (it == pending_.end())
        return;
    it->second->stop();
    it->second->deleteLater();
    pending_.erase(it);
}

}  // namespace quillmar
