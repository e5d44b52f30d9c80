#pragma once

#include "ravelgrid/view/DisplayScheduler.h"

#include <QPointer>

#include <algorithm>
#include <vector>

namespace ravelgrid {

// A clock that only moves when told to, for tests.
class FakeDisplayScheduler final : public DisplayScheduler {
public:
    uint64_t uptimeNs() const override { return now_; }
    void scheduleAfter(uint64_t delayNs, QObject* context, std::function<void()> task) override;

    // Moves the clock forward, running every task that falls due, in order.
    void advance(uint64_t ns);
    size_t pendingCount() const;

private:
    struct Pending {
        uint64_t due;
        uint64_t sequence;
        QPointer<QObject> context;
        std::function<void()> task;
    };
    uint64_t now_ = 1'000'000'000;
    uint64_t sequence_ = 0;
    std::vector<Pending> pending_;
};

inline void FakeDisplayScheduler::scheduleAfter(uint64_t delayNs, QObject* context, std::function<void()> task) {
    pending_.push_back(Pending{now_ + delayNs, sequence_++, QPointer<QObject>(context), std::move(task)});
}

inline void FakeDisplayScheduler::advance(uint64_t ns) {
    const uint64_t target = now_ + ns;
    for (;;) {
        auto next = std::min_element(pending_.begin(), pending_.end(), [](const Pending& a, const Pending& b) {
            return a.due != b.due ? a.due < b.due : a.sequence < b.sequence;
        });
        if (next == pending_.end() || next->due > target)
            break;
        Pending p = std::move(*next);
        pending_.erase(next);
        now_ = std::max(now_, p.due);
        if (p.context)
            p.task();
    }
    now_ = target;
}

inline size_t FakeDisplayScheduler::pendingCount() const { return pending_.size(); }

}  // namespace ravelgrid
