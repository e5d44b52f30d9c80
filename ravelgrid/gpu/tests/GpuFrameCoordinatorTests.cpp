#include "ravelgrid/gpu/GpuFrameCoordinator.h"

#include "platform/FakeScheduler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <thread>

using namespace ravelgrid;
using R = GpuFrameRefusalReason;
using S = GpuTrackedCommandBufferStatus;

namespace {

struct Harness {
    platform::FakeScheduler clock;
    bool eligible = true;
    std::vector<std::string> events;
    std::vector<double> drawTimes;
    std::vector<GpuRendererRecoveryReport> reports;
    // What the renderer does when asked to draw; none by default.
    std::function<void(R)> onDraw;
    std::function<void()> onIdle;
    std::function<void()> onRecover;
    std::shared_ptr<GpuFrameCoordinator> c;

    Harness()
    {
        GpuFrameCoordinator::Callbacks cb;
        cb.isRetryEligible = [this] { return eligible; };
        cb.requestDraw = [this](R r) {
            events.push_back("draw:" + std::string(toString(r)));
            drawTimes.push_back(seconds());
            if (onDraw)
                onDraw(r);
        };
        cb.requestRecovery = [this](const GpuRendererRecoveryReport& report) {
            events.push_back("recover:" + std::string(toString(report.reason)));
            reports.push_back(report);
            if (onRecover)
                onRecover();
        };
        cb.becameIdle = [this] {
            events.push_back("idle");
            if (onIdle)
                onIdle();
        };
        c = GpuFrameCoordinator::create(clock, std::move(cb));
    }
    double seconds() const { return double(clock.nowNs()) / 1e9; }
    // A renderer that cannot get its drawable.
    void refuseEveryDraw(R reason = R::missingDrawable)
    {
        onDraw = [this, reason](R) {
            if (auto t = c->beginFrame())
                c->refuseFrame(*t, reason);
        };
    }
    static GpuFrameCoordinator::CommandBufferProbe probe(S status, std::optional<std::string> error = {})
    {
        return {[status] { return status; }, [error] { return error; }};
    }
};

}  // namespace

TEST(GpuFrameCoordinator, TokensCountBegunFramesOnly)
{
    Harness h;
    const auto first = h.c->beginFrame();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->value, 1u);
    EXPECT_FALSE(h.c->beginFrame());  // one frame in flight
    h.c->attachCommandBuffer(*first, Harness::probe(S::committed));
    h.c->frameFinished(*first, S::completed, std::nullopt);
    const auto second = h.c->beginFrame();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->value, 2u);
}

TEST(GpuFrameCoordinator, ADrawRefusedDuringAFrameIsRedrawnOnceItFinishes)
{
    Harness h;
    const auto t = h.c->beginFrame();
    h.c->attachCommandBuffer(*t, Harness::probe(S::committed));
    EXPECT_FALSE(h.c->beginFrame());
    EXPECT_FALSE(h.c->beginFrame());
    h.c->frameFinished(*t, S::completed, std::nullopt);
    EXPECT_EQ(h.events, (std::vector<std::string>{"idle", "draw:activeFrame"}));
    // A stale completion or refusal changes nothing.
    h.c->frameFinished(*t, S::error, "late");
    h.c->refuseFrame(*t, R::missingDrawable);
    EXPECT_EQ(h.events.size(), 2u);
}

TEST(GpuFrameCoordinator, RetriesBackOffAndAnAttachedFrameStartsThemAgain)
{
    Harness h;
    h.refuseEveryDraw();
    const double start = h.seconds();
    h.c->refuseFrame(*h.c->beginFrame(), R::missingDrawable);
    // Refusals while a retry is pending neither move it nor advance it.
    h.c->refuseFrame(*h.c->beginFrame(), R::missingCommandBuffer);
    h.clock.advanceSeconds(0.9);
    const double expected[] = {0.016, 0.033, 0.066, 0.125, 0.25, 0.25};
    ASSERT_GE(h.drawTimes.size(), 6u);
    double previous = start;
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_NEAR(h.drawTimes[i] - previous, expected[i], 1e-6) << i;
        previous = h.drawTimes[i];
    }
    EXPECT_EQ(h.events[0], "idle");

    // A frame that gets its command buffer clears the failure state.
    h.onDraw = nullptr;
    const auto t = h.c->beginFrame();
    ASSERT_TRUE(t);
    h.c->attachCommandBuffer(*t, Harness::probe(S::committed));
    h.c->frameFinished(*t, S::completed, std::nullopt);
    const std::size_t draws = h.drawTimes.size();
    h.clock.advanceSeconds(1.0);
    EXPECT_EQ(h.drawTimes.size(), draws);  // the pending retry went with it
    h.c->refuseFrame(*h.c->beginFrame(), R::missingRenderEncoder);
    const double refusedAt = h.seconds();
    h.clock.advanceSeconds(0.02);
    ASSERT_EQ(h.drawTimes.size(), draws + 1);
    EXPECT_NEAR(h.drawTimes.back() - refusedAt, 0.016, 1e-6);
    EXPECT_EQ(h.events.back(), "draw:missingRenderEncoder");
}

TEST(GpuFrameCoordinator, ASecondOfRefusalsAsksForOneRecoveryWithTheLatestReason)
{
    Harness h;
    int n = 0;
    h.onDraw = [&](R) {
        if (auto t = h.c->beginFrame())
            h.c->refuseFrame(*t, ++n % 2 ? R::missingRenderPassDescriptor : R::missingCommandBuffer);
    };
    h.c->refuseFrame(*h.c->beginFrame(), R::missingDrawable);
    h.clock.advanceSeconds(0.999);
    EXPECT_TRUE(h.reports.empty());
    h.clock.advanceSeconds(0.002);
    ASSERT_EQ(h.reports.size(), 1u);
    const R latest = n % 2 ? R::missingRenderPassDescriptor : R::missingCommandBuffer;
    EXPECT_EQ(h.reports[0].reason, latest);
    EXPECT_NEAR(h.reports[0].failureDuration, 1.0, 1e-6);
    EXPECT_FALSE(h.reports[0].commandBufferStatus);
    EXPECT_FALSE(h.reports[0].commandBufferError);
    h.clock.advanceSeconds(5.0);
    EXPECT_EQ(h.reports.size(), 1u);  // once per episode
}

TEST(GpuFrameCoordinator, AStuckFrameIsReportedOrFinishedByItsProbe)
{
    {
        Harness h;  // no command buffer yet
        h.c->beginFrame();
        h.clock.advanceSeconds(0.999);
        EXPECT_TRUE(h.reports.empty());
        h.clock.advanceSeconds(0.001);
        ASSERT_EQ(h.reports.size(), 1u);
        EXPECT_EQ(h.reports[0], (GpuRendererRecoveryReport{R::activeFrame, 1.0, std::nullopt, std::nullopt}));
        EXPECT_TRUE(h.c->hasActiveFrame());
        EXPECT_FALSE(h.c->beginFrame());  // still stuck
        h.clock.advanceSeconds(3.0);
        EXPECT_EQ(h.reports.size(), 1u);  // once per frame
    }
    {
        Harness h;
        const auto t = h.c->beginFrame();
        h.c->attachCommandBuffer(*t, Harness::probe(S::scheduled, "slow"));
        h.clock.advanceSeconds(1.0);
        ASSERT_EQ(h.reports.size(), 1u);
        EXPECT_EQ(h.reports[0], (GpuRendererRecoveryReport{R::activeFrame, 1.0, S::scheduled, "slow"}));
    }
    {
        Harness h;  // the completion was lost
        const auto t = h.c->beginFrame();
        h.c->attachCommandBuffer(*t, Harness::probe(S::completed));
        h.clock.advanceSeconds(1.0);
        EXPECT_TRUE(h.reports.empty());
        EXPECT_EQ(h.events, std::vector<std::string>{"idle"});
        EXPECT_FALSE(h.c->hasActiveFrame());
    }
    {
        Harness h;  // not eligible: no watchdog at all
        h.eligible = false;
        h.c->beginFrame();
        h.clock.advanceSeconds(5.0);
        EXPECT_TRUE(h.reports.empty());
        EXPECT_EQ(h.clock.pendingCount(), 0u);
    }
}

TEST(GpuFrameCoordinator, AnErrorCompletionGoesIdleThenRecoversWithoutDrawing)
{
    Harness h;
    const auto t = h.c->beginFrame();
    h.c->attachCommandBuffer(*t, Harness::probe(S::committed));
    EXPECT_FALSE(h.c->beginFrame());  // pendingRedraw
    h.clock.advanceSeconds(0.5);
    h.events.clear();
    h.drawTimes.clear();
    h.c->frameFinished(*t, S::error, "GPU hang");
    EXPECT_EQ(h.events, (std::vector<std::string>{"idle", "recover:activeFrame"}));
    ASSERT_EQ(h.reports.size(), 1u);
    EXPECT_EQ(h.reports[0].commandBufferStatus, S::error);
    EXPECT_EQ(h.reports[0].commandBufferError, "GPU hang");
    EXPECT_NEAR(h.reports[0].failureDuration, 0.5, 1e-6);
}

TEST(GpuFrameCoordinator, InvalidatedCoordinatorBeginsNothingAndLetsTheFrameInFlightFinish)
{
    Harness h;
    const auto t = h.c->beginFrame();
    h.c->attachCommandBuffer(*t, Harness::probe(S::committed));
    h.c->invalidate();
    EXPECT_TRUE(h.events.empty());  // the frame in flight stays
    EXPECT_FALSE(h.c->beginFrame());
    h.c->frameFinished(*t, S::error, "lost");
    EXPECT_EQ(h.events, std::vector<std::string>{"idle"});
    EXPECT_FALSE(h.c->beginFrame());
    h.clock.advanceSeconds(5.0);
    EXPECT_EQ(h.events, std::vector<std::string>{"idle"});

    Harness begun;
    begun.c->beginFrame();
    begun.c->invalidate();  // a frame without a command buffer is dropped at once
    EXPECT_EQ(begun.events, std::vector<std::string>{"idle"});
    begun.clock.advanceSeconds(5.0);
    EXPECT_TRUE(begun.reports.empty());
}

TEST(GpuFrameCoordinator, CallbacksMayReenterTheCoordinator)
{
    auto scenario = std::async(std::launch::async, [] {
        Harness h;
        h.refuseEveryDraw();
        h.onIdle = [&] { (void)h.c->hasActiveFrame(); };
        // A recovery that retires the renderer from inside the callback.
        h.onRecover = [&] { h.c->invalidate(); };
        h.c->refuseFrame(*h.c->beginFrame(), R::missingDrawable);
        h.clock.advanceSeconds(2.0);
        const auto t = h.c->beginFrame();
        if (t) {
            h.c->attachCommandBuffer(*t, Harness::probe(S::committed));
            h.c->frameFinished(*t, S::completed, std::nullopt);
        }
        h.c->invalidate();
        return h.reports.size();
    });
    if (scenario.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "coordinator deadlocked";
        std::_Exit(1);
    }
    EXPECT_EQ(scenario.get(), 1u);
}

TEST(GpuFrameCoordinator, ScheduledJobsOutliveNoCoordinator)
{
    platform::FakeScheduler clock;
    int draws = 0;
    {
        GpuFrameCoordinator::Callbacks cb;
        cb.isRetryEligible = [] { return true; };
        cb.requestDraw = [&](R) { ++draws; };
        auto c = GpuFrameCoordinator::create(clock, std::move(cb));
        c->refuseFrame(*c->beginFrame(), R::missingDrawable);
    }
    clock.advanceSeconds(2.0);
    EXPECT_EQ(draws, 0);
}
