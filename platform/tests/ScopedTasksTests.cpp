// Tasks owned by an object go with it, whatever ran meanwhile.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "platform/FakeScheduler.h"

using namespace platform;

TEST(ScopedTasks, APendingTaskStaysCancellableHoweverManyRanSince)
{
    FakeScheduler clock;
    int late = 0;
    int ticks = 0;
    auto owner = std::make_unique<ScopedTasks>(clock);
    owner->after(1'000'000'000, [&] { ++late; });
    // A poll every millisecond, each a new task, as a held input makes.
    std::function<void()> tick = [&] {
        if (++ticks < 200)
            owner->after(1'000'000, tick);
    };
    owner->after(1'000'000, tick);
    clock.advance(300'000'000);
    EXPECT_EQ(ticks, 200);
    owner.reset();
    EXPECT_EQ(clock.pendingCount(), 0u);
    clock.advance(1'000'000'000);
    EXPECT_EQ(late, 0) << "the task outlived its owner";
}

TEST(ScopedTasks, TasksCancelledOrRunAreForgottenAndMayEndTheirOwner)
{
    FakeScheduler clock;
    auto owner = std::make_unique<ScopedTasks>(clock);
    int ran = 0;
    const auto dropped = owner->after(5, [&] { ++ran; });
    owner->after(10, [&] {
        ++ran;
        owner.reset();  // a task that closes what owns it
    });
    owner->after(20, [&] { ++ran; });
    owner->cancel(dropped);
    owner->cancel(dropped);  // twice is harmless
    EXPECT_EQ(clock.pendingCount(), 2u);
    clock.advance(100);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(clock.pendingCount(), 0u);
}
