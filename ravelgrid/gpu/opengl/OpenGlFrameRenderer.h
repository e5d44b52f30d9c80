#pragma once

#include "ravelgrid/gpu/GpuFrameCoordinator.h"
#include "ravelgrid/gpu/opengl/OpenGlPipelines.h"

#include <functional>
#include <optional>
#include <vector>

namespace ravelgrid {

// One layer of a frame: records drawn with one pipeline.
struct OpenGlLayer {
    OpenGlPipeline pipeline = OpenGlPipeline::cellColor;
    std::shared_ptr<GpuBuffer> buffer;
    std::size_t count = 0;
    std::shared_ptr<GpuTexture> texture;
};

// A rectangle of drawable pixels, origin lower left.
struct OpenGlPixelRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const OpenGlPixelRect&) const = default;
};

struct OpenGlFrameContents {
    std::array<float, 4> clearColor{0, 0, 0, 1};
    std::vector<OpenGlLayer> layers;  // in drawing order
    // Only this part changed since the last frame (when the renderer said
    // it may draw partially): the rest of the last frame stays.
    std::optional<OpenGlPixelRect> damage;
    // Pooled buffers of this frame, handed to `recycle` once the GPU is done.
    std::vector<std::shared_ptr<GpuBuffer>> frameBuffers;
    std::function<void(std::vector<std::shared_ptr<GpuBuffer>>)> recycle;
};

// Draws frames into a GL framebuffer, one in flight: the frame goes into a
// texture of our own first and is then copied out, so a refused frame can
// put the last good one back instead of leaving undefined pixels, and a
// frame that changed little redraws only that part of the texture. The
// frame's "command buffer" is a fence after the last draw, polled on the
// scheduler's thread with the context current.
class OpenGlFrameRenderer {
public:
    enum class Outcome { drawn, busy, refused };

    static std::variant<std::unique_ptr<OpenGlFrameRenderer>, GpuError>
    create(std::shared_ptr<OpenGlContext> context, const OpenGlShaderLibrary::Search& shaders,
           platform::Scheduler& scheduler, GpuFrameCoordinator::Callbacks callbacks);
    ~OpenGlFrameRenderer();

    OpenGlBackend& backend() { return backend_; }
    OpenGlPipelines& pipelines() { return *pipelines_; }
    GpuFrameCoordinator& coordinator() { return *coordinator_; }
    const std::shared_ptr<OpenGlContext>& context() const { return context_; }

    // Draws into `framebuffer` (0: the default one) of `width` x `height`
    // pixels, the context current. `build` runs only once the frame may go
    // ahead. Refusals go to the coordinator.
    // `keepsContents`: the framebuffer holds what was last copied into it
    // until it is resized (a widget's that only updates partially), so
    // only the damage need go out.
    Outcome drawFrame(unsigned framebuffer, int width, int height, const std::function<OpenGlFrameContents()>& build,
                      bool keepsContents = false);

    // Inside `build`: whether the last good frame is still in the target
    // at this size, so that a frame may redraw only its damage there.
    bool mayDrawPartially() const { return partialAllowed_; }
    // The framebuffer was made anew (a widget resized): the next copy is
    // whole.
    void forgetCopies() { lastCopy_.reset(); }
    std::uint64_t partialFrames() const { return partialFrames_; }

    // Tests stand in for a driver failure: the next frame sees this error
    // after its last draw (GL_OUT_OF_MEMORY fails the frame) or a reset.
    void forceErrorOnce(unsigned glError) { forcedError_ = glError; }
    void forceResetOnce() { forcedReset_ = true; }
    std::uint64_t framesCompleted() const { return framesCompleted_; }

private:
    OpenGlFrameRenderer(std::shared_ptr<OpenGlContext> context, platform::Scheduler& scheduler);
    bool ensureTarget(int width, int height);
    void restoreLastFrame(unsigned framebuffer, int width, int height);
    bool contextWasReset();
    void pollFence(GpuFrameCoordinator::Token token);
    void releaseTarget();

    std::shared_ptr<OpenGlContext> context_;
    OpenGlBackend backend_;
    std::unique_ptr<OpenGlPipelines> pipelines_;
    std::shared_ptr<GpuFrameCoordinator> coordinator_;
    std::unique_ptr<platform::ScopedTasks> tasks_;
    unsigned targetFramebuffer_ = 0;
    unsigned targetTexture_ = 0;
    int targetWidth_ = 0, targetHeight_ = 0;
    bool targetHoldsFrame_ = false;
    // The target holds the last frame, drawn to the end.
    bool lastFrameGood_ = false;
    // Where the whole target last went.
    struct Copy {
        unsigned framebuffer = 0;
        int width = 0, height = 0;
        bool operator==(const Copy&) const = default;
    };
    std::optional<Copy> lastCopy_;
    bool partialAllowed_ = false;
    std::uint64_t partialFrames_ = 0;
    // The fence of the frame in flight and whether it failed.
    struct Fence {
        GpuFrameCoordinator::Token token;
        void* sync = nullptr;
        bool failed = false;
        std::optional<std::string> error;
        std::vector<std::shared_ptr<GpuBuffer>> buffers;
        std::function<void(std::vector<std::shared_ptr<GpuBuffer>>)> recycle;
    };
    std::shared_ptr<Fence> fence_;
    std::optional<unsigned> forcedError_;
    bool forcedReset_ = false;
    std::uint64_t framesCompleted_ = 0;
};

}  // namespace ravelgrid
