#pragma once

#include "ravelgrid/gpu/BufferPool.h"
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

    static std::variant<std::unique_ptr<GpuTerminalRenderer>, GpuError>
    create(std::shared_ptr<OpenGlContext> context, const OpenGlShaderLibrary::Search& shaders, FaceLibrary& faces,
           platform::Scheduler& scheduler, GpuFrameCoordinator::Callbacks callbacks);
    ~GpuTerminalRenderer();

    // One frame of `view` into `framebuffer`, the context current.
    // `keepsContents` as for OpenGlFrameRenderer::drawFrame.
    OpenGlFrameRenderer::Outcome drawFrame(RendererView& view, unsigned framebuffer, int width, int height,
                                           double scale, bool keepsContents = false);

    OpenGlFrameRenderer& frames() { return *frames_; }
    GpuFrameCoordinator& coordinator() { return frames_->coordinator(); }
    RowDrawCache& rowCache() { return *cache_; }
    ImageTextureCache& images() { return *images_; }
    GlyphAtlas& grayscaleAtlas() { return *gray_; }
    GlyphAtlas& colorAtlas() { return *colour_; }

    // The frame's draw data, built again while the atlases change under
    // it: at most five rebuilds, then one with frozen atlases.
    DrawData buildFrameWithAtlasPasses(RendererView& view, double scale);
    // The layers of a frame's draw data. With `partial`, only rows that
    // reach into what changed since the last frame are drawn, and the
    // contents say where that is.
    OpenGlFrameContents contentsOf(const DrawData& data, const QColor& clear, bool partial = false);

    BufferPool& bufferPool() { return *pool_; }

    // Bounds of drawn pixels, origin lower left.
    struct PixelBox {
        float x0 = 0, y0 = 0, x1 = -1, y1 = -1;
        bool empty() const { return x1 < x0 || y1 < y0; }
        void add(float x, float y);
        void unite(const PixelBox& other);
        bool intersects(const PixelBox& other) const;
    };

private:
    GpuTerminalRenderer() = default;
    // A row as drawn: its buffers and counts, and where its pixels fall.
    struct RowStamp {
        std::vector<const void*> parts;
        std::vector<int> counts;
        PixelBox box;
        bool sameDrawing(const RowStamp& other) const { return parts == other.parts && counts == other.counts; }
    };
    static RowStamp stampOf(const RowDrawBuffers& row);
    std::shared_ptr<GpuBuffer> frameBuffer(const void* records, std::size_t bytes,
                                           std::vector<std::shared_ptr<GpuBuffer>>& frameBuffers);

    std::unique_ptr<OpenGlFrameRenderer> frames_;
    std::unique_ptr<GlyphAtlas> gray_, colour_;
    std::unique_ptr<FreeTypeGlyphRasterizer> rasterizer_;
    std::unique_ptr<GlyphCache> glyphs_;
    std::unique_ptr<DrawingFallbackChooser> chooser_;
    std::unique_ptr<ShaperCache> shaper_;
    std::unique_ptr<ImageTextureCache> images_;
    std::unique_ptr<RowDrawBuilder> builder_;
    std::unique_ptr<RowDrawCache> cache_;
    std::shared_ptr<BufferPool> pool_;
    // What the last frame drew, for the damage of the next.
    std::vector<RowStamp> lastRows_;
    PixelBox lastCaret_;
    CursorDrawData lastCursor_;
    std::array<float, 4> lastClear_{};
};

}  // namespace ravelgrid
