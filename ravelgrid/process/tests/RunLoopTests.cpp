#include "ravelgrid/process/RunLoop.h"
#include "ravelgrid/terminal/Terminal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace ravelgrid;
using namespace std::chrono_literals;

TEST(RunLoop, RunsTasksFromOtherThreadsInOrderOnTheRunningThread)
{
    RunLoop loop;
    std::vector<int> seen;
    std::thread::id ranOn;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i)
            loop.post([&, i] { seen.push_back(i); });
        loop.post([&] {
            ranOn = std::this_thread::get_id();
            loop.stop();
        });
    });
    loop.run();
    poster.join();
    ASSERT_EQ(seen.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(seen[i], i);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(RunLoop, RunPendingLeavesTasksPostedByTasksForLater)
{
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

TEST(RunLoop, RunUntilGivesUpAtTheTimeoutAndAStopDoesNotLeakIntoIt)
{
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

TEST(RunLoop, TimedTasksRunInDueOrderAndCancelledOnesNever)
{
    RunLoop loop;
    std::vector<int> seen;
    // Before scheduling: the last task is due 30 ms after that, not after now.
    const auto start = std::chrono::steady_clock::now();
    loop.scheduleAfter(30'000'000, [&] { seen.push_back(3); });
    const auto dropped = loop.scheduleAfter(10'000'000, [&] { seen.push_back(0); });
    loop.scheduleAfter(20'000'000, [&] { seen.push_back(2); });
    loop.scheduleAfter(5'000'000, [&] {
        seen.push_back(1);
        loop.cancel(dropped);  // already due or not, it must not run
    });
    loop.scheduleAfter(UINT64_MAX, [&] { seen.push_back(99); });  // never falls due
    EXPECT_TRUE(loop.runUntil([&] { return seen.size() == 3; }, 5s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(loop.runPending(), 0u);
}

// run() has no deadline of its own: only the timer's own wake-up can end it
// (the stop it posts runs after the tasks posted before).
TEST(RunLoop, ATimerWaitsNoLongerThanItsDelayAndPostedTasksStillRun)
{
    RunLoop loop;
    bool fired = false;
    int posted = 0;
    loop.scheduleAfter(20'000'000, [&] {
        fired = true;
        loop.post([&] { loop.stop(); });
    });
    std::thread poster([&] {
        for (int i = 0; i < 50; ++i)
            loop.post([&] { ++posted; });
    });
    poster.join();
    loop.run();
    EXPECT_TRUE(fired);
    EXPECT_EQ(posted, 50);
}

namespace {

// A host whose trust takes a look of 100 ms to learn.
class SlowTrustHost : public TerminalDelegate {
public:
    void send(Terminal&, std::span<const uint8_t> data) override { sent.append(data.begin(), data.end()); }
    bool isOutputRemote(Terminal&) override { return false; }
    RequestTrust requestTrust(Terminal&) override { return RequestTrust::unknown; }
    std::function<bool()> requestTrustAwaiter(Terminal&) override
    {
        return [] {
            std::this_thread::sleep_for(100ms);
            return true;
        };
    }
    void synchronizedOutputChanged(Terminal&, bool active) override { (active ? on : off)++; }
    std::string sent;
    int on = 0, off = 0;
};

}  // namespace

TEST(RunLoop, AReleasedTerminalLeavesNoTimerBehindAfterHoldingItsInput)
{
    RunLoop loop;
    SlowTrustHost host;
    auto terminal = std::make_unique<Terminal>(&host);
    terminal->setScheduler(&loop);
    terminal->setBackgroundWorkAllowed(true);
    terminal->feed("\x1b[?2026h\x1b[1;1;1;1;1;5*yafter");
    EXPECT_TRUE(terminal->inputHeld());
    ASSERT_TRUE(loop.runUntil([&] { return !terminal->inputHeld(); }, 5s));
    EXPECT_EQ(host.sent.rfind("\x1bP1!~", 0), 0u) << host.sent;
    EXPECT_EQ(host.on, 1);
    terminal.reset();
    EXPECT_EQ(loop.timerCount(), 0u) << "the terminal's tasks went with it";
    // A timer left behind would fire in here, on the freed terminal.
    loop.runFor(1300ms);
    EXPECT_EQ(host.off, 0);
}
