#pragma once

#include "platform/Scheduler.h"

#include <QElapsedTimer>
#include <QObject>

#include <map>

class QTimer;

namespace quillmar {

// The scheduler of the Qt event loop on the thread that made it.
class QtScheduler final : public platform::Scheduler {
public:
    QtScheduler();
    ~QtScheduler() override;

    std::uint64_t nowNs() const override;
    TaskId scheduleAfter(std::uint64_t delayNs, std::function<void()> task) override;
    void cancel(TaskId id) override;

private:
    QElapsedTimer clock_;
    QObject context_;  // its death takes every pending timer with it
    std::map<TaskId, QTimer*> pending_;
    TaskId lastId_ = 0;
};

}  // namespace quillmar
