#pragma once

#include "platform/Scheduler.h"

#include <QObject>

#include <memory>
#include <unordered_map>

class QTimer;

namespace ravelgrid {

// The scheduler of the real monotonic clock and the Qt event loop. Tasks run
// in the event loop of the thread that created the scheduler; scheduleAfter()
// and cancel() are called on that thread too.
class QtScheduler final : public platform::Scheduler {
public:
    QtScheduler();
    ~QtScheduler() override;

    std::uint64_t nowNs() const override;
    TaskId scheduleAfter(std::uint64_t delayNs, std::function<void()> task) override;
    void cancel(TaskId id) override;

    std::size_t pendingCount() const { return timers_.size(); }

    // The scheduler of the main thread; lives until the process ends.
    static QtScheduler& system();

private:
    std::unique_ptr<QObject> owner_;  // parent of the timers
    std::unordered_map<TaskId, QTimer*> timers_;
    TaskId lastId_ = 0;
};

}  // namespace ravelgrid
