#include "ravelgrid/gpu/GpuFrameCoordinator.h"

#include <cmath>

namespace ravelgrid {

std::shared_ptr<GpuFrameCoordinator> GpuFrameCoordinator::create(platform::Scheduler& scheduler, Callbacks callbacks)
{
    return std::make_shared<GpuFrameCoordinator>(scheduler, std::move(callbacks));
}

GpuFrameCoordinator::GpuFrameCoordinator(platform::Scheduler& scheduler, Callbacks callbacks)
    : scheduler_(scheduler), callbacks_(std::move(callbacks))
{}

double GpuFrameCoordinator::now() const
{
    return static_cast<double>(scheduler_.nowNs()) / 1e9;
}

double GpuFrameCoordinator::duration(double since) const
{
    const double d = now() - since;
    return std::isnan(d) || d < 0 ? 0.0 : d;
}

bool GpuFrameCoordinator::hasActiveFrame() const
{
    std::lock_guard guard(lock_);
    return activeFrame_.has_value();
}

platform::Scheduler::TaskId GpuFrameCoordinator::schedule(double delay, std::function<void(GpuFrameCoordinator&)> job)
{
    std::weak_ptr<GpuFrameCoordinator> weak = weak_from_this();
    return scheduler_.scheduleAfter(static_cast<std::uint64_t>(std::llround(delay * 1e9)),
                                    [weak, job = std::move(job)] {
                                        if (auto self = weak.lock())
                                            job(*self);
                                    });
}

void GpuFrameCoordinator::cancel(std::optional<platform::Scheduler::TaskId>& task)
{
    if (task)
        scheduler_.cancel(*task);
    task.reset();
}

void GpuFrameCoordinator::armWatchdog(ActiveFrame& frame)
{
    const Token token = frame.token;
    frame.watchdog = schedule(watchdogDelay, [token](GpuFrameCoordinator& c) { c.frameWatchdogFired(token); });
}

std::optional<GpuFrameCoordinator::Token> GpuFrameCoordinator::beginFrame()
{
    std::lock_guard guard(lock_);
    if (!activeFrame_) {
        if (invalidated_)
            return std::nullopt;
        const Token token{nextToken_++};
        activeFrame_ = ActiveFrame{token, now(), std::nullopt, false, false, std::nullopt};
        if (eligible())
            armWatchdog(*activeFrame_);
        return token;
    }
    // Waiting on the frame in flight is no failure: no episode, no report.
    activeFrame_->pendingRedraw = true;
    if (!activeFrame_->watchdog && !activeFrame_->recoveryRequested && eligible())
        armWatchdog(*activeFrame_);
    scheduleRetry(GpuFrameRefusalReason::activeFrame);
    return std::nullopt;
}

void GpuFrameCoordinator::scheduleRetry(GpuFrameRefusalReason reason)
{
    if (invalidated_ || retryTask_ || !eligible())
        return;
    const double delay = retryDelays[std::min(retryIndex_, retryDelays.size() - 1)];
    retryIndex_ = std::min(retryIndex_ + 1, retryDelays.size() - 1);
    retryTask_ = schedule(delay, [reason](GpuFrameCoordinator& c) { c.retryFired(reason); });
}

void GpuFrameCoordinator::refuseFrame(Token token, GpuFrameRefusalReason reason)
{
    {
        std::lock_guard guard(lock_);
        if (!activeFrame_ || activeFrame_->token != token)
            return;
        cancel(activeFrame_->watchdog);
        activeFrame_.reset();
        noteFailure(reason);
        scheduleRetry(reason);
    }
    idle();
}

void GpuFrameCoordinator::noteFailure(GpuFrameRefusalReason reason)
{
    lastFailureReason_ = reason;
    if (!eligible()) {
        failureStartedAt_.reset();
        cancel(failureWatchdog_);
        failureRecoveryRequested_ = false;
        retryIndex_ = 0;
        return;
    }
    if (!failureStartedAt_) {
        failureStartedAt_ = now();
        failureRecoveryRequested_ = false;
        failureWatchdog_ = schedule(watchdogDelay, [](GpuFrameCoordinator& c) { c.failureWatchdogFired(); });
    }
}

void GpuFrameCoordinator::retryFired(GpuFrameRefusalReason reason)
{
    {
        std::lock_guard guard(lock_);
        retryTask_.reset();
        if (invalidated_ || !eligible())
            return;
    }
    draw(reason);
    std::lock_guard guard(lock_);
    scheduleRetry(reason);
}

void GpuFrameCoordinator::attachCommandBuffer(Token token, CommandBufferProbe probe)
{
    std::lock_guard guard(lock_);
    if (!activeFrame_ || activeFrame_->token != token)
        return;
    activeFrame_->commandBuffer = std::move(probe);
    cancel(retryTask_);
    retryIndex_ = 0;
    cancel(failureWatchdog_);
    failureStartedAt_.reset();
    lastFailureReason_.reset();
    failureRecoveryRequested_ = false;
}

void GpuFrameCoordinator::frameFinished(Token token, GpuTrackedCommandBufferStatus status,
                                        std::optional<std::string> error)
{
    std::optional<GpuRendererRecoveryReport> report;
    bool pendingRedraw = false;
    {
        std::lock_guard guard(lock_);
        if (!activeFrame_ || activeFrame_->token != token)
            return;
        cancel(activeFrame_->watchdog);
        const double startedAt = activeFrame_->startedAt;
        pendingRedraw = activeFrame_->pendingRedraw;
        activeFrame_.reset();
        if (status == GpuTrackedCommandBufferStatus::error && !invalidated_)
            report = GpuRendererRecoveryReport{GpuFrameRefusalReason::activeFrame, duration(startedAt),
                                               GpuTrackedCommandBufferStatus::error, std::move(error)};
    }
    idle();
    if (report) {
        recover(*report);
        return;
    }
    if (pendingRedraw) {
        bool invalidated;
        {
            std::lock_guard guard(lock_);
            invalidated = invalidated_;
        }
        if (!invalidated)
            draw(GpuFrameRefusalReason::activeFrame);
    }
}

void GpuFrameCoordinator::frameWatchdogFired(Token token)
{
    std::optional<CommandBufferProbe> probe;
    double startedAt;
    {
        std::lock_guard guard(lock_);
        if (!activeFrame_ || activeFrame_->token != token || activeFrame_->recoveryRequested || invalidated_)
            return;
        activeFrame_->watchdog.reset();
        if (!eligible())
            return;
        activeFrame_->recoveryRequested = true;
        probe = activeFrame_->commandBuffer;
        startedAt = activeFrame_->startedAt;
    }
    if (!probe) {
        recover({GpuFrameRefusalReason::activeFrame, duration(startedAt), std::nullopt, std::nullopt});
        return;
    }
    const GpuTrackedCommandBufferStatus status = probe->status ? probe->status() : GpuTrackedCommandBufferStatus::error;
    std::optional<std::string> error = probe->error ? probe->error() : std::nullopt;
    if (status == GpuTrackedCommandBufferStatus::completed) {
        // The completion was lost or is late.
        frameFinished(token, status, std::nullopt);
    } else if (status == GpuTrackedCommandBufferStatus::error) {
        frameFinished(token, status, std::move(error));
    } else {
        recover({GpuFrameRefusalReason::activeFrame, duration(startedAt), status, std::move(error)});
    }
}

void GpuFrameCoordinator::failureWatchdogFired()
{
    GpuRendererRecoveryReport report;
    {
        std::lock_guard guard(lock_);
        failureWatchdog_.reset();
        if (invalidated_)
            return;
        if (!eligible()) {
            failureStartedAt_.reset();
            lastFailureReason_.reset();
            failureRecoveryRequested_ = false;
            retryIndex_ = 0;
            return;
        }
        if (failureRecoveryRequested_ || !failureStartedAt_ || !lastFailureReason_)
            return;
        failureRecoveryRequested_ = true;
        report = {*lastFailureReason_, duration(*failureStartedAt_), std::nullopt, std::nullopt};
    }
    recover(report);
}

void GpuFrameCoordinator::invalidate()
{
    bool dropped = false;
    {
        std::lock_guard guard(lock_);
        invalidated_ = true;
        cancel(retryTask_);
        cancel(failureWatchdog_);
        if (activeFrame_ && !activeFrame_->commandBuffer) {
            cancel(activeFrame_->watchdog);
            activeFrame_.reset();
            dropped = true;
        }
    }
    if (dropped)
        idle();
}

}  // namespace ravelgrid
