#include "ravelgrid/gpu/opengl/OpenGlFrameRenderer.h"

#include "ravelgrid/gpu/GpuProfile.h"

#include <QOpenGLContext>

#include <algorithm>

namespace ravelgrid {
namespace {

constexpr std::uint64_t fencePollNs = 1'000'000;

std::string glErrorText(GLenum error)
{
    switch (error) {
    case GL_OUT_OF_MEMORY: return "GL_OUT_OF_MEMORY";
    case GL_INVALID_ENUM: return "GL_INVALID_ENUM";
    case GL_INVALID_VALUE: return "GL_INVALID_VALUE";
    case GL_INVALID_OPERATION: return "GL_INVALID_OPERATION";
    case GL_INVALID_FRAMEBUFFER_OPERATION: return "GL_INVALID_FRAMEBUFFER_OPERATION";
    default: return "GL error " + std::to_string(error);
    }
}

}  // namespace

OpenGlFrameRenderer::OpenGlFrameRenderer(std::shared_ptr<OpenGlContext> context, platform::Scheduler& scheduler)
    : context_(context), backend_(std::move(context)), tasks_(std::make_unique<platform::ScopedTasks>(scheduler))
{}

std::variant<std::unique_ptr<OpenGlFrameRenderer>, GpuError>
OpenGlFrameRenderer::create(std::shared_ptr<OpenGlContext> context, const OpenGlShaderLibrary::Search& shaders,
                            platform::Scheduler& scheduler, GpuFrameCoordinator::Callbacks callbacks)
{
    if (!context || !context->alive())
        return GpuError(GpuError::Kind::deviceUnavailable);
    auto library = OpenGlShaderLibrary::load(shaders);
    if (auto* error = std::get_if<GpuError>(&library))
        return *error;
    auto pipelines = OpenGlPipelines::create(context, std::get<OpenGlShaderLibrary>(library));
    if (auto* error = std::get_if<GpuError>(&pipelines))
        return *error;
    std::unique_ptr<OpenGlFrameRenderer> made(new OpenGlFrameRenderer(context, scheduler));
    made->pipelines_ = std::move(std::get<std::unique_ptr<OpenGlPipelines>>(pipelines));
    made->coordinator_ = GpuFrameCoordinator::create(scheduler, std::move(callbacks));
    return made;
}

OpenGlFrameRenderer::~OpenGlFrameRenderer()
{
    tasks_.reset();
    coordinator_->invalidate();
    OpenGlContext::Scope scope(*context_);
    if (scope.ok() && fence_ && fence_->sync)
        context_->gl().glDeleteSync(static_cast<GLsync>(fence_->sync));
    releaseTarget();
}

void OpenGlFrameRenderer::releaseTarget()
{
    OpenGlContext::Scope scope(*context_);
    if (!scope.ok())
        return;
    auto& gl = context_->gl();
    if (targetFramebuffer_)
        gl.glDeleteFramebuffers(1, &targetFramebuffer_);
    if (targetTexture_)
        gl.glDeleteTextures(1, &targetTexture_);
    targetFramebuffer_ = targetTexture_ = 0;
    targetWidth_ = targetHeight_ = 0;
    targetHoldsFrame_ = false;
    lastFrameGood_ = false;
}

bool OpenGlFrameRenderer::ensureTarget(int width, int height)
{
    if (targetFramebuffer_ && width == targetWidth_ && height == targetHeight_)
        return true;
    releaseTarget();
    auto& gl = context_->gl();
    gl.glGenTextures(1, &targetTexture_);
    gl.glBindTexture(GL_TEXTURE_2D, targetTexture_);
    gl.glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
    gl.glBindTexture(GL_TEXTURE_2D, 0);
    gl.glGenFramebuffers(1, &targetFramebuffer_);
    gl.glBindFramebuffer(GL_FRAMEBUFFER, targetFramebuffer_);
    gl.glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, targetTexture_, 0);
    targetWidth_ = width;
    targetHeight_ = height;
    return gl.glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
}

void OpenGlFrameRenderer::restoreLastFrame(unsigned framebuffer, int width, int height)
{
    if (!targetHoldsFrame_ || width != targetWidth_ || height != targetHeight_)
        return;
    auto& gl = context_->gl();
    gl.glBindFramebuffer(GL_READ_FRAMEBUFFER, targetFramebuffer_);
    gl.glBindFramebuffer(GL_DRAW_FRAMEBUFFER, framebuffer);
    gl.glBlitFramebuffer(0, 0, width, height, 0, 0, width, height, GL_COLOR_BUFFER_BIT, GL_NEAREST);
    gl.glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
}

bool OpenGlFrameRenderer::contextWasReset()
{
    if (forcedReset_) {
        forcedReset_ = false;
        return true;
    }
    using ResetStatus = GLenum (*)();
    auto* context = context_->context();
    auto status = reinterpret_cast<ResetStatus>(context->getProcAddress("glGetGraphicsResetStatus"));
    return status && status() != GL_NO_ERROR;
}

OpenGlFrameRenderer::Outcome OpenGlFrameRenderer::drawFrame(unsigned framebuffer, int width, int height,
                                                            const std::function<OpenGlFrameContents()>& build,
                                                            bool keepsContents)
{
    GpuProfileInterval drawSpan("Metal.Draw");
    auto token = coordinator_->beginFrame();
    if (!token)
        return Outcome::busy;
    auto refuse = [&](GpuFrameRefusalReason reason) {
        coordinator_->refuseFrame(*token, reason);
        return Outcome::refused;
    };
    QOpenGLContext* current = QOpenGLContext::currentContext();
    if (!context_->alive() || current != context_->context() || width <= 0 || height <= 0)
        return refuse(GpuFrameRefusalReason::missingDrawable);
    auto& gl = context_->gl();
    while (gl.glGetError() != GL_NO_ERROR) {
    }
    {
        GpuProfileInterval span("Metal.CurrentDrawable");
        gl.glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    }
    {
        GpuProfileInterval span("Metal.RenderPass");
        if (gl.glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE)
            return refuse(GpuFrameRefusalReason::missingRenderPassDescriptor);
    }
    if (contextWasReset()) {
        restoreLastFrame(framebuffer, width, height);
        return refuse(GpuFrameRefusalReason::missingCommandBuffer);
    }
    // Whatever happens from here on, only a frame drawn to the end may be
    // drawn over partially.
    partialAllowed_ = lastFrameGood_ && targetHoldsFrame_ && width == targetWidth_ && height == targetHeight_;
    lastFrameGood_ = false;
    OpenGlFrameContents contents;
    {
        GpuProfileInterval span("Metal.BuildDrawData");
        contents = build();
    }
    std::optional<OpenGlPixelRect> damage;
    if (partialAllowed_ && contents.damage) {
        const OpenGlPixelRect& d = *contents.damage;
        const int x0 = std::clamp(d.x, 0, width), y0 = std::clamp(d.y, 0, height);
        const int x1 = std::clamp(d.x + std::max(d.width, 0), 0, width);
        const int y1 = std::clamp(d.y + std::max(d.height, 0), 0, height);
        damage = OpenGlPixelRect{x0, y0, x1 - x0, y1 - y0};
    }
    partialAllowed_ = false;
    GpuProfileInterval encodeSpan("Metal.Encode");
    if (!ensureTarget(width, height) || gl.glGetError() != GL_NO_ERROR) {
        gl.glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
        restoreLastFrame(framebuffer, width, height);
        return refuse(GpuFrameRefusalReason::missingRenderEncoder);
    }
    gl.glBindFramebuffer(GL_FRAMEBUFFER, targetFramebuffer_);
    gl.glViewport(0, 0, width, height);
    gl.glDisable(GL_DEPTH_TEST);
    if (damage) {
        // Clear and draw only the damage: the last frame stays around it.
        gl.glEnable(GL_SCISSOR_TEST);
        gl.glScissor(damage->x, damage->y, damage->width, damage->height);
        ++partialFrames_;
    } else {
        gl.glDisable(GL_SCISSOR_TEST);
    }
    gl.glClearColor(contents.clearColor[0], contents.clearColor[1], contents.clearColor[2], contents.clearColor[3]);
    gl.glClear(GL_COLOR_BUFFER_BIT);
    if (gl.glGetError() != GL_NO_ERROR) {
        gl.glDisable(GL_SCISSOR_TEST);
        gl.glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
        // The target may be half cleared: only a whole frame goes back.
        targetHoldsFrame_ = false;
        return refuse(GpuFrameRefusalReason::missingRenderEncoder);
    }
    auto fence = std::make_shared<Fence>();
    fence->token = *token;
    fence->buffers = std::move(contents.frameBuffers);
    fence->recycle = std::move(contents.recycle);
    const auto w = static_cast<float>(width), h = static_cast<float>(height);
    for (const OpenGlLayer& layer : contents.layers) {
        auto* buffer = dynamic_cast<OpenGlBuffer*>(layer.buffer.get());
        if (!buffer || layer.count == 0)
            continue;
        auto* texture = dynamic_cast<OpenGlTexture*>(layer.texture.get());
        if (!pipelines_->draw(layer.pipeline, *buffer, layer.count, texture, w, h) && !fence->failed) {
            GLenum error = gl.glGetError();
            fence->failed = true;
            fence->error = glErrorText(error);
        }
    }
    if (forcedError_) {
        fence->failed = true;
        fence->error = glErrorText(*forcedError_);
        backend_.noteError(*forcedError_);
        forcedError_.reset();
    }
    gl.glBindSampler(0, 0);
    gl.glDisable(GL_SCISSOR_TEST);
    // A failed frame shows the last good one; a good one becomes it.
    if (!fence->failed) {
        targetHoldsFrame_ = true;
        lastFrameGood_ = true;
        // Only the damage goes out to a framebuffer that still holds the
        // last frame copied into it; anywhere else, the whole frame.
        const Copy copy{framebuffer, width, height};
        OpenGlPixelRect out{0, 0, width, height};
        if (damage && keepsContents && lastCopy_ == copy)
            out = *damage;
        else
            lastCopy_ = keepsContents ? std::optional(copy) : std::nullopt;
        gl.glBindFramebuffer(GL_READ_FRAMEBUFFER, targetFramebuffer_);
        gl.glBindFramebuffer(GL_DRAW_FRAMEBUFFER, framebuffer);
        gl.glBlitFramebuffer(out.x, out.y, out.x + out.width, out.y + out.height, out.x, out.y, out.x + out.width,
                             out.y + out.height, GL_COLOR_BUFFER_BIT, GL_NEAREST);
        gl.glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    } else {
        // The target now holds the failed frame; the screen keeps the last.
        targetHoldsFrame_ = false;
        gl.glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    }
    GpuProfileInterval commitSpan("Metal.Commit");
    fence->sync = gl.glFenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
    gl.glFlush();
    if (fence_ && fence_->sync)
        gl.glDeleteSync(static_cast<GLsync>(fence_->sync));
    fence_ = fence;
    std::weak_ptr<Fence> weak = fence;
    std::shared_ptr<OpenGlContext> context = context_;
    coordinator_->attachCommandBuffer(
        *token, {.status =
                     [weak, context] {
                         auto held = weak.lock();
                         if (!held || !held->sync)
                             return GpuTrackedCommandBufferStatus::notEnqueued;
                         if (held->failed)
                             return GpuTrackedCommandBufferStatus::error;
                         OpenGlContext::Scope scope(*context);
                         if (!scope.ok())
                             return GpuTrackedCommandBufferStatus::error;
                         GLenum state = context->gl().glClientWaitSync(static_cast<GLsync>(held->sync), 0, 0);
                         if (state == GL_ALREADY_SIGNALED || state == GL_CONDITION_SATISFIED)
                             return GpuTrackedCommandBufferStatus::completed;
                         if (state == GL_WAIT_FAILED)
                             return GpuTrackedCommandBufferStatus::error;
                         return GpuTrackedCommandBufferStatus::committed;
                     },
                 .error = [weak]() -> std::optional<std::string> {
                     auto held = weak.lock();
                     return held ? held->error : std::nullopt;
                 }});
    const auto polled = *token;
    tasks_->after(0, [this, polled] { pollFence(polled); });
    return Outcome::drawn;
}

void OpenGlFrameRenderer::pollFence(GpuFrameCoordinator::Token token)
{
    auto fence = fence_;
    if (!fence || !(fence->token == token))
        return;
    if (fence->failed) {
        coordinator_->frameFinished(token, GpuTrackedCommandBufferStatus::error, fence->error);
        return;
    }
    OpenGlContext::Scope scope(*context_);
    if (!scope.ok()) {
        coordinator_->frameFinished(token, GpuTrackedCommandBufferStatus::error, std::string("context lost"));
        return;
    }
    GLenum state = context_->gl().glClientWaitSync(static_cast<GLsync>(fence->sync), 0, 0);
    if (state == GL_ALREADY_SIGNALED || state == GL_CONDITION_SATISFIED) {
        ++framesCompleted_;
        // The GPU is done with the frame's pooled buffers.
        if (fence->recycle && !fence->buffers.empty())
            fence->recycle(std::exchange(fence->buffers, {}));
        coordinator_->frameFinished(token, GpuTrackedCommandBufferStatus::completed, std::nullopt);
    } else if (state == GL_WAIT_FAILED) {
        coordinator_->frameFinished(token, GpuTrackedCommandBufferStatus::error,
                                    std::string("glClientWaitSync failed"));
    } else {
        tasks_->after(fencePollNs, [this, token] { pollFence(token); });
    }
}

}  // namespace ravelgrid
