#include "ravelgrid/gpu/opengl/GpuTerminalRenderer.h"

#include "platform/Log.h"
#include "ravelgrid/gpu/FaceLibrary.h"

#include <cstring>
#include <string>

namespace ravelgrid {
namespace {

template <typename Record>
std::shared_ptr<GpuBuffer> upload(GpuBackend& backend, const std::vector<Record>& records) {
    if (records.empty())
        return nullptr;
    auto buffer = backend.makeBuffer(records.size() * sizeof(Record));
    if (buffer)
        std::memcpy(buffer->contents().data(), records.data(), records.size() * sizeof(Record));
    return buffer;
}

void addLayer(OpenGlFrameContents& out, OpenGlPipeline pipeline, std::shared_ptr<GpuBuffer> buffer,
              std::size_t count, std::shared_ptr<GpuTexture> texture = nullptr) {
    if (buffer && count > 0)
        out.layers.push_back({pipeline, std::move(buffer), count, std::move(texture)});
}

std::shared_ptr<GpuTexture> shared(GlyphAtlas& atlas) {
    // The atlas owns its texture; a frame holds it only while drawing.
    return std::shared_ptr<GpuTexture>(std::shared_ptr<GpuTexture>{}, &atlas.texture());
}

}  // namespace

std::variant<std::unique_ptr<GpuTerminalRenderer>, GpuError> GpuTerminalRenderer::create(
    std::shared_ptr<OpenGlContext> context, const OpenGlShaderLibrary::Search& shaders, FaceLibrary& faces,
    platform::Scheduler& scheduler, GpuFrameCoordinator::Callbacks callbacks) {
    auto frames = OpenGlFrameRenderer::create(std::move(context), shaders, scheduler, std::move(callbacks));
    if (auto* error = std::get_if<GpuError>(&frames))
        return *error;
    std::unique_ptr<GpuTerminalRenderer> made(new GpuTerminalRenderer);
    made->frames_ = std::move(std::get<std::unique_ptr<OpenGlFrameRenderer>>(frames));
    GpuBackend& backend = made->frames_->backend();
    made->gray_ = GlyphAtlas::create(backend, 1024,
                                     GlyphAtlas::resolveMaxSize(backend, GlyphAtlasFormat::grayscale),
                                     GlyphAtlasFormat::grayscale);
    made->colour_ =
        GlyphAtlas::create(backend, 1024, GlyphAtlas::resolveMaxSize(backend, GlyphAtlasFormat::bgra), GlyphAtlasFormat::bgra);
    if (!made->gray_ || !made->colour_)
        return GpuError(GpuError::Kind::atlasUnavailable);
    made->rasterizer_ = std::make_unique<FreeTypeGlyphRasterizer>();
    made->glyphs_ = std::make_unique<GlyphCache>(*made->rasterizer_, *made->gray_, *made->colour_);
    made->chooser_ = std::make_unique<DrawingFallbackChooser>();
    made->shaper_ = std::make_unique<ShaperCache>(faces, made->chooser_.get());
    made->images_ = std::make_unique<ImageTextureCache>(backend);
    made->builder_ = std::make_unique<RowDrawBuilder>(*made->glyphs_, *made->gray_, *made->shaper_, *made->images_);
    made->cache_ = std::make_unique<RowDrawCache>(backend, *made->builder_, *made->images_);
    made->glyphs_->clearRowCache = [cache = made->cache_.get()] { cache->clear(); };
    return made;
}

GpuTerminalRenderer::~GpuTerminalRenderer() {
    // Row buffers and textures go before the frame renderer's context handle.
    cache_.reset();
    builder_.reset();
    images_.reset();
    glyphs_.reset();
    gray_.reset();
    colour_.reset();
}

DrawData GpuTerminalRenderer::buildFrameWithAtlasPasses(RendererView& view, double scale) {
    // Five rebuilds while the atlases change under the build, then a last
    // one with both frozen, where glyphs that do not fit are skipped.
    struct Thaw {
        GlyphAtlas& gray;
        GlyphAtlas& colour;
        ~Thaw() {
            gray.setFrozen(false);
            colour.setFrozen(false);
        }
    } thaw{*gray_, *colour_};
    DrawData data;
    for (int pass = 0;; ++pass) {
        if (pass == maxAtlasPasses) {
            platform::logWarning(atlasLogCategory,
                                 "glyph working set exceeds max atlas capacity; some glyphs will be skipped this frame");
            gray_->setFrozen(true);
            colour_->setFrozen(true);
        }
        glyphs_->atlasInvalidatedDuringBuild = false;
        data = cache_->buildDrawData(view, scale);
        if (!glyphs_->atlasInvalidatedDuringBuild || pass >= maxAtlasPasses)
            return data;
        data = {};
        cache_->clear();
        std::string line = "glyph atlas changed during frame build; rebuild pass ";
        line.append(std::to_string(pass + 1)).append("/").append(std::to_string(maxAtlasPasses));
        platform::logInfo(atlasLogCategory, line);
    }
}

OpenGlFrameContents GpuTerminalRenderer::contentsOf(const DrawData& data, const QColor& clear) {
    OpenGlFrameContents out;
    out.clearColor = {float(clear.redF()), float(clear.greenF()), float(clear.blueF()), float(clear.alphaF())};
    GpuBackend& backend = frames_->backend();
    auto grayTexture = shared(*gray_);
    auto colourTexture = shared(*colour_);
    auto images = [&](const std::vector<ImageDraw>& draws) {
        for (const ImageDraw& draw : draws)
            addLayer(out, OpenGlPipeline::text, upload(backend, draw.vertices), draw.vertices.size(), draw.texture);
    };
    if (data.frame) {
        const RowDrawData& f = *data.frame;
        addLayer(out, OpenGlPipeline::cellColor, upload(backend, f.backgroundCells), f.backgroundCells.size());
        images(f.underImageDraws);
        addLayer(out, OpenGlPipeline::cellColor, upload(backend, f.powerlineJoinCells), f.powerlineJoinCells.size());
        addLayer(out, OpenGlPipeline::cellTextGray, upload(backend, f.glyphCellsGray), f.glyphCellsGray.size(),
                 grayTexture);
        addLayer(out, OpenGlPipeline::cellText, upload(backend, f.glyphCellsColor), f.glyphCellsColor.size(),
                 colourTexture);
        addLayer(out, OpenGlPipeline::cellColor, upload(backend, f.decorationCells), f.decorationCells.size());
        images(f.placeholderImageDraws);
        images(f.overImageDraws);
        images(f.otherImageDraws);
    } else {
        auto perRow = [&](auto buffer, auto count, OpenGlPipeline pipeline, std::shared_ptr<GpuTexture> texture) {
            for (const RowDrawBuffers& row : data.rows)
                addLayer(out, pipeline, row.*buffer, static_cast<std::size_t>(std::max(row.*count, 0)), texture);
        };
        auto rowImages = [&](std::vector<ImageDrawBuffer> RowDrawBuffers::*list) {
            for (const RowDrawBuffers& row : data.rows)
                for (const ImageDrawBuffer& image : row.*list)
                    addLayer(out, OpenGlPipeline::text, image.buffer,
                             static_cast<std::size_t>(std::max(image.vertexCount, 0)), image.texture);
        };
        perRow(&RowDrawBuffers::backgroundBuffer, &RowDrawBuffers::backgroundCount, OpenGlPipeline::cellColor, nullptr);
        rowImages(&RowDrawBuffers::underImageBuffers);
        perRow(&RowDrawBuffers::powerlineJoinBuffer, &RowDrawBuffers::powerlineJoinCount, OpenGlPipeline::cellColor,
               nullptr);
        perRow(&RowDrawBuffers::glyphGrayBuffer, &RowDrawBuffers::glyphGrayCount, OpenGlPipeline::cellTextGray,
               grayTexture);
        perRow(&RowDrawBuffers::glyphColorBuffer, &RowDrawBuffers::glyphColorCount, OpenGlPipeline::cellText,
               colourTexture);
        perRow(&RowDrawBuffers::decorationBuffer, &RowDrawBuffers::decorationCount, OpenGlPipeline::cellColor,
               nullptr);
        rowImages(&RowDrawBuffers::placeholderImageBuffers);
        rowImages(&RowDrawBuffers::overImageBuffers);
        rowImages(&RowDrawBuffers::otherImageBuffers);
    }
    // The caret: its shape, then its glyph in the caret's text colour.
    std::vector<ColorVertexRecord> shape;
    shape.reserve(data.cursor.colorVertices.size());
    for (const ColorVertex& v : data.cursor.colorVertices)
        shape.push_back({{v.x, v.y}, {0, 0}, {v.r, v.g, v.b, v.a}});
    addLayer(out, OpenGlPipeline::color, upload(backend, shape), shape.size());
    // Caret glyph corners come in atlas texels; the shader wants fractions.
    auto caretGlyph = [&](const std::vector<GlyphVertex>& vertices, GlyphAtlas& atlas, OpenGlPipeline pipeline,
                          std::shared_ptr<GpuTexture> texture) {
        if (vertices.empty())
            return;
        const float side = float(atlas.texture().side());
        std::vector<GlyphVertex> scaled = vertices;
        for (GlyphVertex& v : scaled) {
            v.u /= side;
            v.v /= side;
        }
        addLayer(out, pipeline, upload(backend, scaled), scaled.size(), std::move(texture));
    };
    caretGlyph(data.cursor.glyphVerticesGray, *gray_, OpenGlPipeline::textGray, grayTexture);
    caretGlyph(data.cursor.glyphVerticesColor, *colour_, OpenGlPipeline::text, colourTexture);
    return out;
}

OpenGlFrameRenderer::Outcome GpuTerminalRenderer::drawFrame(RendererView& view, unsigned framebuffer, int width,
                                                            int height, double scale) {
    return frames_->drawFrame(framebuffer, width, height, [&] {
        DrawData data = buildFrameWithAtlasPasses(view, scale);
        return contentsOf(data, view.defaultBackground());
    });
}

}  // namespace ravelgrid
