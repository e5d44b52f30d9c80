#pragma once

#include "platform/Scheduler.h"
#include "ravelgrid/gpu/GpuRecovery.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace ravelgrid {

// Keeps at most one frame in flight, retries refused frames with a growing
// delay and asks the view to recover when drawing stays broken. It knows
// frames only as tokens and time only through the scheduler, so it runs the
// same on a fake clock.
class GpuFrameCoordinator : public std::enable_shared_from_this<GpuFrameCoordinator> {
public:
    struct Token {
        std::uint64_t value = 0;
        bool operator==(const Token&) const = default;
    };

    // Reads the frame's command stream; holds whatever it needs alive.
    struct CommandBufferProbe {
        std::function<GpuTrackedCommandBufferStatus()> status;
        std::function<std::optional<std::string>()> error;
    };

    struct Callbacks {
        // Called with the lock held: must not call back into the coordinator.
        std::function<bool()> isRetryEligible;
        // The other three are called without the lock.
        std::function<void(GpuFrameRefusalReason)> requestDraw;
        std::function<void(const GpuRendererRecoveryReport&)> requestRecovery;
        std::function<void()> becameIdle;
    };

    static constexpr std::array<double, 5> retryDelays{0.016, 0.033, 0.066, 0.125, 0.25};
    static constexpr double watchdogDelay = 1.0;

    // Scheduled jobs hold the coordinator weakly, so it must be shared.
    static std::shared_ptr<GpuFrameCoordinator> create(platform::Scheduler& scheduler, Callbacks callbacks);

    std::optional<Token> beginFrame();
    void refuseFrame(Token token, GpuFrameRefusalReason reason);
    void attachCommandBuffer(Token token, CommandBufferProbe probe);
    void frameFinished(Token token, GpuTrackedCommandBufferStatus status, std::optional<std::string> error);
    void invalidate();

    bool hasActiveFrame() const;
    double now() const;

    GpuFrameCoordinator(platform::Scheduler& scheduler, Callbacks callbacks);

private:
    struct ActiveFrame {
        Token token;
        double startedAt = 0;
        std::optional<CommandBufferProbe> commandBuffer;
        bool pendingRedraw = false;
        bool recoveryRequested = false;
        std::optional<platform::Scheduler::TaskId> watchdog;
    };

    bool eligible() const { return callbacks_.isRetryEligible && callbacks_.isRetryEligible(); }
    double duration(double since) const;
    platform::Scheduler::TaskId schedule(double delay, std::function<void(GpuFrameCoordinator&)> job);
    void cancel(std::optional<platform::Scheduler::TaskId>& task);
    void armWatchdog(ActiveFrame& frame);

    void scheduleRetry(GpuFrameRefusalReason reason);
    void noteFailure(GpuFrameRefusalReason reason);
    void retryFired(GpuFrameRefusalReason reason);
    void frameWatchdogFired(Token token);
    void failureWatchdogFired();

    void idle() const
    {
        if (callbacks_.becameIdle)
            callbacks_.becameIdle();
    }
    void draw(GpuFrameRefusalReason reason) const
    {
        if (callbacks_.requestDraw)
            callbacks_.requestDraw(reason);
    }
    void recover(const GpuRendererRecoveryReport& report) const
    {
        if (callbacks_.requestRecovery)
            callbacks_.requestRecovery(report);
    }

    mutable std::mutex lock_;
    platform::Scheduler& scheduler_;
    const Callbacks callbacks_;
    std::uint64_t nextToken_ = 1;
    std::optional<ActiveFrame> activeFrame_;
    std::size_t retryIndex_ = 0;
    std::optional<platform::Scheduler::TaskId> retryTask_;
    std::optional<double> failureStartedAt_;
    std::optional<GpuFrameRefusalReason> lastFailureReason_;
    std::optional<platform::Scheduler::TaskId> failureWatchdog_;
    bool failureRecoveryRequested_ = false;
    bool invalidated_ = false;
};

}  // namespace ravelgrid
