#pragma once

#include "platform/Scheduler.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

namespace platform {

// A clock that only moves when told to, for tests. Due tasks run in order of
// their due time, then of scheduling; a task may schedule or cancel others.
class FakeScheduler final : public Scheduler {
public:
    std::uint64_t nowNs() const override { return now_.load(); }

    TaskId scheduleAfter(std::uint64_t delayNs, std::function<void()> task) override
    {
        const TaskId id = ++lastId_;
        pending_.push_back(Pending{now_.load() + delayNs, id, std::move(task)});
        return id;
    }

    void cancel(TaskId id) override
    {
        pending_.erase(std::remove_if(pending_.begin(), pending_.end(), [id](const Pending& p) { return p.id == id; }),
                       pending_.end());
    }

    // Moves the clock forward by `ns`, running every task that falls due.
    void advance(std::uint64_t ns)
    {
        const std::uint64_t target = now_.load() + ns;
        for (;;) {
            auto next = std::min_element(pending_.begin(), pending_.end(), [](const Pending& a, const Pending& b) {
                return a.due != b.due ? a.due < b.due : a.id < b.id;
            });
            if (next == pending_.end() || next->due > target)
                break;
            Pending p = std::move(*next);
            pending_.erase(next);
            now_.store(std::max(now_.load(), p.due));
            p.task();
        }
        now_.store(target);
    }
    void advanceSeconds(double s) { advance(static_cast<std::uint64_t>(s * 1e9 + 0.5)); }
    template <class Rep, class Period>
    void advance(std::chrono::duration<Rep, Period> d)
    {
        advance(static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count()));
    }

    std::size_t pendingCount() const { return pending_.size(); }

private:
    struct Pending {
        std::uint64_t due;
        TaskId id;
        std::function<void()> task;
    };
    std::atomic<std::uint64_t> now_{1'000'000'000};
    TaskId lastId_ = 0;
    std::vector<Pending> pending_;
};

}  // namespace platform
