#pragma once

#include "ravelgrid/gpu/DrawingFallbackChooser.h"
#include "ravelgrid/gpu/FreeTypeGlyphRasterizer.h"
#include "ravelgrid/gpu/GlyphAtlas.h"
#include "ravelgrid/gpu/GlyphCache.h"
#include "ravelgrid/gpu/RowDrawCache.h"
#include "ravelgrid/gpu/ShaperCache.h"
#include "ravelgrid/gpu/opengl/OpenGlFrameRenderer.h"

namespace ravelgrid {

class FaceLibrary;

// Draws one terminal view with OpenGL: the row draw data of the view,
// uploaded per row or per frame, in the fixed layer order, then the caret.
class GpuTerminalRenderer {
public:
    static constexpr int maxAtlasPasses = 5;

    static std::variant<std::unique_ptr<GpuTerminalRenderer>, GpuError> create(
        std::shared_ptr<OpenGlContext> context, const OpenGlShaderLibrary::Search& shaders, FaceLibrary& faces,
        platform::Scheduler& scheduler, GpuFrameCoordinator::Callbacks callbacks);
    ~GpuTerminalRenderer();

    // One frame of `view` into `framebuffer`, the context current.
    OpenGlFrameRenderer::Outcome drawFrame(RendererView& view, unsigned framebuffer, int width, int height,
                                           double scale);

    OpenGlFrameRenderer& frames() { return *frames_; }
    GpuFrameCoordinator& coordinator() { return frames_->coordinator(); }
    RowDrawCache& rowCache() { return *cache_; }
    GlyphAtlas& grayscaleAtlas() { return *gray_; }
    GlyphAtlas& colorAtlas() { return *colour_; }

    // The frame's draw data, built again while the atlases change under
    // it: at most five rebuilds, then one with frozen atlases.
    DrawData buildFrameWithAtlasPasses(RendererView& view, double scale);
    // The layers of a frame's draw data.
    OpenGlFrameContents contentsOf(const DrawData& data, const QColor& clear);

private:
    GpuTerminalRenderer() = default;

    std::unique_ptr<OpenGlFrameRenderer> frames_;
    std::unique_ptr<GlyphAtlas> gray_, colour_;
    std::unique_ptr<FreeTypeGlyphRasterizer> rasterizer_;
    std::unique_ptr<GlyphCache> glyphs_;
    std::unique_ptr<DrawingFallbackChooser> chooser_;
    std::unique_ptr<ShaperCache> shaper_;
    std::unique_ptr<ImageTextureCache> images_;
    std::unique_ptr<RowDrawBuilder> builder_;
    std::unique_ptr<RowDrawCache> cache_;
};

}  // namespace ravelgrid
