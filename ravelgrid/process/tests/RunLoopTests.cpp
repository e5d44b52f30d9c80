#include "ravelgrid/process/RunLoop.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace ravelgrid;
using namespace std::chrono_literals;

TEST(RunLoop, RunsTasksFromOtherThreadsInOrderOnTheRunningThread) {
    RunLoop loop;
    std::vector<int> seen;
    std::thread::id ranOn;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i) loop.post([&, i] { seen.push_back(i); });
        loop.post([&] {
            ranOn = std::this_thread::get_id();
            loop.stop();
        });
    });
    loop.run();
    poster.join();
    ASSERT_EQ(seen.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(RunLoop, RunPendingLeavesTasksPostedByTasksForLater) {
    RunLoop loop;
    int ran = 0;
    loop.post([&] {
        ++ran;
        loop.post([&] { ++ran; });
    });
    EXPECT_EQ(loop.runPending(), 1u);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(loop.queuedCount(), 1u);
}

TEST(RunLoop, RunUntilGivesUpAtTheTimeoutAndAStopDoesNotLeakIntoIt) {
    RunLoop loop;
    loop.stop();  // only ends run(), never runUntil()
    int ran = 0;
    loop.post([&] { ++ran; });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(loop.runUntil([] { return false; }, 100ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
    EXPECT_EQ(ran, 1);
    bool flag = false;
    std::thread setter([&] { loop.post([&] { flag = true; }); });
    EXPECT_TRUE(loop.runUntil([&] { return flag; }, 5s));
    setter.join();
}
