#include "ravelgrid/gpu/opengl/GpuTerminalRenderer.h"

#include "platform/Log.h"
#include "ravelgrid/gpu/FaceLibrary.h"

#include <cmath>
#include <cstring>
#include <string>

namespace ravelgrid {
namespace {

void addLayer(OpenGlFrameContents& out, OpenGlPipeline pipeline, std::shared_ptr<GpuBuffer> buffer, std::size_t count,
              std::shared_ptr<GpuTexture> texture = nullptr)
{
    if (buffer && count > 0)
        out.layers.push_back({pipeline, std::move(buffer), count, std::move(texture)});
}

std::shared_ptr<GpuTexture> shared(GlyphAtlas& atlas)
{
    // The atlas owns its texture; a frame holds it only while drawing.
    return std::shared_ptr<GpuTexture>(std::shared_ptr<GpuTexture>{}, &atlas.texture());
}

}  // namespace

std::variant<std::unique_ptr<GpuTerminalRenderer>, GpuError>
GpuTerminalRenderer::create(std::shared_ptr<OpenGlContext> context, const OpenGlShaderLibrary::Search& shaders,
                            FaceLibrary& faces, platform::Scheduler& scheduler,
                            GpuFrameCoordinator::Callbacks callbacks)
{
    auto frames = OpenGlFrameRenderer::create(std::move(context), shaders, scheduler, std::move(callbacks));
    if (auto* error = std::get_if<GpuError>(&frames))
        return *error;
    std::unique_ptr<GpuTerminalRenderer> made(new GpuTerminalRenderer);
    made->frames_ = std::move(std::get<std::unique_ptr<OpenGlFrameRenderer>>(frames));
    GpuBackend& backend = made->frames_->backend();
    made->gray_ = GlyphAtlas::create(backend, 1024, GlyphAtlas::resolveMaxSize(backend, GlyphAtlasFormat::grayscale),
                                     GlyphAtlasFormat::grayscale);
    made->colour_ = GlyphAtlas::create(backend, 1024, GlyphAtlas::resolveMaxSize(backend, GlyphAtlasFormat::bgra),
                                       GlyphAtlasFormat::bgra);
    if (!made->gray_ || !made->colour_)
        return GpuError(GpuError::Kind::atlasUnavailable);
    made->rasterizer_ = std::make_unique<FreeTypeGlyphRasterizer>();
    made->glyphs_ = std::make_unique<GlyphCache>(*made->rasterizer_, *made->gray_, *made->colour_);
    made->chooser_ = std::make_unique<DrawingFallbackChooser>();
    made->shaper_ = std::make_unique<ShaperCache>(faces, made->chooser_.get());
    made->images_ = std::make_unique<ImageTextureCache>(backend);
    made->builder_ = std::make_unique<RowDrawBuilder>(*made->glyphs_, *made->gray_, *made->shaper_, *made->images_);
    made->cache_ = std::make_unique<RowDrawCache>(backend, *made->builder_, *made->images_);
    made->pool_ = std::make_shared<BufferPool>(backend, 256, 4);
    made->glyphs_->clearRowCache = [cache = made->cache_.get()] { cache->clear(); };
    return made;
}

GpuTerminalRenderer::~GpuTerminalRenderer()
{
    // Row buffers and textures go before the frame renderer's context handle.
    cache_.reset();
    pool_.reset();
    builder_.reset();
    images_.reset();
    glyphs_.reset();
    gray_.reset();
    colour_.reset();
}

DrawData GpuTerminalRenderer::buildFrameWithAtlasPasses(RendererView& view, double scale)
{
    // Five rebuilds while the atlases change under the build, then a last
    // one with both frozen, where glyphs that do not fit are skipped.
    struct Thaw {
        GlyphAtlas& gray;
        GlyphAtlas& colour;
        ~Thaw()
        {
            gray.setFrozen(false);
            colour.setFrozen(false);
        }
    } thaw{*gray_, *colour_};
    glyphs_->setFontSmoothing(view.fontSmoothing());
    DrawData data;
    for (int pass = 0;; ++pass) {
        if (pass == maxAtlasPasses) {
            platform::logWarning(
                atlasLogCategory,
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

void GpuTerminalRenderer::PixelBox::add(float x, float y)
{
    if (empty()) {
        x0 = x1 = x;
        y0 = y1 = y;
        return;
    }
    x0 = std::min(x0, x);
    x1 = std::max(x1, x);
    y0 = std::min(y0, y);
    y1 = std::max(y1, y);
}

void GpuTerminalRenderer::PixelBox::unite(const PixelBox& other)
{
    if (other.empty())
        return;
    add(other.x0, other.y0);
    add(other.x1, other.y1);
}

bool GpuTerminalRenderer::PixelBox::intersects(const PixelBox& other) const
{
    return !empty() && !other.empty() && x0 <= other.x1 && other.x0 <= x1 && y0 <= other.y1 && other.y0 <= y1;
}

namespace {

using PixelBox = GpuTerminalRenderer::PixelBox;

// Rectangle records (position, size first) of a row buffer.
void addRects(PixelBox& box, const std::shared_ptr<GpuBuffer>& buffer, int count, std::size_t stride)
{
    auto* gl = dynamic_cast<const OpenGlBuffer*>(buffer.get());
    if (!gl || count <= 0)
        return;
    const std::span<const std::byte> bytes = gl->bytes();
    const std::size_t records = std::min(static_cast<std::size_t>(count), bytes.size() / stride);
    for (std::size_t i = 0; i < records; ++i) {
        float f[4];
        std::memcpy(f, bytes.data() + i * stride, sizeof f);
        box.add(f[0], f[1]);
        box.add(f[0] + f[2], f[1] + f[3]);
    }
}

void addVertices(PixelBox& box, const std::shared_ptr<GpuBuffer>& buffer, int count)
{
    auto* gl = dynamic_cast<const OpenGlBuffer*>(buffer.get());
    if (!gl || count <= 0)
        return;
    const std::span<const std::byte> bytes = gl->bytes();
    const std::size_t vertices = std::min(static_cast<std::size_t>(count), bytes.size() / sizeof(GlyphVertex));
    for (std::size_t i = 0; i < vertices; ++i) {
        float f[2];
        std::memcpy(f, bytes.data() + i * sizeof(GlyphVertex), sizeof f);
        box.add(f[0], f[1]);
    }
}

template <typename Vertex>
void addCaret(PixelBox& box, const std::vector<Vertex>& vertices)
{
    for (const Vertex& v : vertices)
        box.add(v.x, v.y);
}

}  // namespace

GpuTerminalRenderer::RowStamp GpuTerminalRenderer::stampOf(const RowDrawBuffers& row)
{
    RowStamp stamp;
    auto part = [&](const std::shared_ptr<GpuBuffer>& buffer, int count) {
        stamp.parts.push_back(buffer.get());
        stamp.counts.push_back(buffer ? count : 0);
    };
    part(row.backgroundBuffer, row.backgroundCount);
    part(row.powerlineJoinBuffer, row.powerlineJoinCount);
    part(row.glyphGrayBuffer, row.glyphGrayCount);
    part(row.glyphColorBuffer, row.glyphColorCount);
    part(row.decorationBuffer, row.decorationCount);
    for (const auto* list :
         {&row.underImageBuffers, &row.placeholderImageBuffers, &row.overImageBuffers, &row.otherImageBuffers}) {
        stamp.counts.push_back(-1);  // keeps the lists apart
        for (const ImageDrawBuffer& image : *list) {
            part(image.buffer, image.vertexCount);
            stamp.parts.push_back(image.texture.get());
        }
    }
    return stamp;
}

std::shared_ptr<GpuBuffer> GpuTerminalRenderer::frameBuffer(const void* records, std::size_t bytes,
                                                            std::vector<std::shared_ptr<GpuBuffer>>& frameBuffers)
{
    if (bytes == 0)
        return nullptr;
    auto buffer = pool_->makeBuffer(pool_->sizeClass(bytes));
    if (!buffer || buffer->length() < bytes)
        return nullptr;
    std::memcpy(buffer->contents().data(), records, bytes);
    frameBuffers.push_back(buffer);
    return buffer;
}

OpenGlFrameContents GpuTerminalRenderer::contentsOf(const DrawData& data, const QColor& clear, bool partial)
{
    OpenGlFrameContents out;
    out.clearColor = {float(clear.redF()), float(clear.greenF()), float(clear.blueF()), float(clear.alphaF())};
    std::weak_ptr<BufferPool> pool = pool_;
    out.recycle = [pool](std::vector<std::shared_ptr<GpuBuffer>> buffers) {
        if (auto held = pool.lock())
            held->recycle(std::move(buffers));
    };
    auto upload = [&](const auto& records) {
        using Record = typename std::decay_t<decltype(records)>::value_type;
        return frameBuffer(records.data(), records.size() * sizeof(Record), out.frameBuffers);
    };
    auto grayTexture = shared(*gray_);
    auto colourTexture = shared(*colour_);

    // The caret, in drawable pixels, for the damage and for its layers.
    PixelBox caret;
    addCaret(caret, data.cursor.colorVertices);
    addCaret(caret, data.cursor.glyphVerticesGray);
    addCaret(caret, data.cursor.glyphVerticesColor);

    // Rows whose drawing changed, and the caret's old and new places, are
    // the damage; rows that reach into it are drawn again, the rest stay.
    std::vector<RowStamp> stamps;
    std::vector<bool> drawRow(data.rows.size(), true);
    if (!data.frame) {
        stamps.reserve(data.rows.size());
        for (std::size_t i = 0; i < data.rows.size(); ++i) {
            RowStamp stamp = stampOf(data.rows[i]);
            if (i < lastRows_.size() && stamp.sameDrawing(lastRows_[i])) {
                stamp.box = lastRows_[i].box;
            } else {
                const RowDrawBuffers& row = data.rows[i];
                addRects(stamp.box, row.backgroundBuffer, row.backgroundCount, sizeof(ColorCellRecord));
                addRects(stamp.box, row.powerlineJoinBuffer, row.powerlineJoinCount, sizeof(ColorCellRecord));
                addRects(stamp.box, row.glyphGrayBuffer, row.glyphGrayCount, sizeof(TextCellRecord));
                addRects(stamp.box, row.glyphColorBuffer, row.glyphColorCount, sizeof(TextCellRecord));
                addRects(stamp.box, row.decorationBuffer, row.decorationCount, sizeof(ColorCellRecord));
                for (const auto* list : {&row.underImageBuffers, &row.placeholderImageBuffers, &row.overImageBuffers,
                                         &row.otherImageBuffers})
                    for (const ImageDrawBuffer& image : *list)
                        addVertices(stamp.box, image.buffer, image.vertexCount);
            }
            stamps.push_back(std::move(stamp));
        }
    }
    const bool canDamage = partial && !data.frame && lastRows_.size() == stamps.size() && lastClear_ == out.clearColor;
    if (canDamage) {
        PixelBox damage;
        // An unchanged caret is drawn again wherever the damage reaches it.
        if (!(lastCursor_ == data.cursor)) {
            damage.unite(lastCaret_);
            damage.unite(caret);
        }
        for (std::size_t i = 0; i < stamps.size(); ++i) {
            if (stamps[i].sameDrawing(lastRows_[i]))
                continue;
            damage.unite(lastRows_[i].box);
            damage.unite(stamps[i].box);
        }
        if (damage.empty()) {
            out.damage = OpenGlPixelRect{};
        } else {
            // Whole pixels around it, one more for smoothed edges.
            const int x0 = int(std::floor(damage.x0)) - 1, y0 = int(std::floor(damage.y0)) - 1;
            const int x1 = int(std::ceil(damage.x1)) + 1, y1 = int(std::ceil(damage.y1)) + 1;
            out.damage = OpenGlPixelRect{x0, y0, x1 - x0, y1 - y0};
            PixelBox reach;
            reach.add(float(x0), float(y0));
            reach.add(float(x1), float(y1));
            for (std::size_t i = 0; i < stamps.size(); ++i)
                drawRow[i] = stamps[i].box.intersects(reach);
        }
        if (out.damage->width <= 0 || out.damage->height <= 0)
            std::fill(drawRow.begin(), drawRow.end(), false);
    }
    lastRows_ = std::move(stamps);
    lastCaret_ = caret;
    lastCursor_ = data.cursor;
    lastClear_ = out.clearColor;

    auto images = [&](const std::vector<ImageDraw>& draws) {
        for (const ImageDraw& draw : draws)
            addLayer(out, OpenGlPipeline::text, upload(draw.vertices), draw.vertices.size(), draw.texture);
    };
    if (data.frame) {
        const RowDrawData& f = *data.frame;
        addLayer(out, OpenGlPipeline::cellColor, upload(f.backgroundCells), f.backgroundCells.size());
        images(f.underImageDraws);
        addLayer(out, OpenGlPipeline::cellColor, upload(f.powerlineJoinCells), f.powerlineJoinCells.size());
        addLayer(out, OpenGlPipeline::cellTextGray, upload(f.glyphCellsGray), f.glyphCellsGray.size(), grayTexture);
        addLayer(out, OpenGlPipeline::cellText, upload(f.glyphCellsColor), f.glyphCellsColor.size(), colourTexture);
        addLayer(out, OpenGlPipeline::cellColor, upload(f.decorationCells), f.decorationCells.size());
        images(f.placeholderImageDraws);
        images(f.overImageDraws);
        images(f.otherImageDraws);
    } else {
        auto perRow = [&](auto buffer, auto count, OpenGlPipeline pipeline, std::shared_ptr<GpuTexture> texture) {
            for (std::size_t i = 0; i < data.rows.size(); ++i)
                if (drawRow[i])
                    addLayer(out, pipeline, data.rows[i].*buffer,
                             static_cast<std::size_t>(std::max(data.rows[i].*count, 0)), texture);
        };
        auto rowImages = [&](std::vector<ImageDrawBuffer> RowDrawBuffers::*list) {
            for (std::size_t i = 0; i < data.rows.size(); ++i)
                if (drawRow[i])
                    for (const ImageDrawBuffer& image : data.rows[i].*list)
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
        perRow(&RowDrawBuffers::decorationBuffer, &RowDrawBuffers::decorationCount, OpenGlPipeline::cellColor, nullptr);
        rowImages(&RowDrawBuffers::placeholderImageBuffers);
        rowImages(&RowDrawBuffers::overImageBuffers);
        rowImages(&RowDrawBuffers::otherImageBuffers);
    }
    // The caret: its shape, then its glyph in the caret's text colour.
    std::vector<ColorVertexRecord> shape;
    shape.reserve(data.cursor.colorVertices.size());
    for (const ColorVertex& v : data.cursor.colorVertices)
        shape.push_back({{v.x, v.y}, {0, 0}, {v.r, v.g, v.b, v.a}});
    addLayer(out, OpenGlPipeline::color, upload(shape), shape.size());
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
        addLayer(out, pipeline, upload(scaled), scaled.size(), std::move(texture));
    };
    caretGlyph(data.cursor.glyphVerticesGray, *gray_, OpenGlPipeline::textGray, grayTexture);
    caretGlyph(data.cursor.glyphVerticesColor, *colour_, OpenGlPipeline::text, colourTexture);
    return out;
}

OpenGlFrameRenderer::Outcome GpuTerminalRenderer::drawFrame(RendererView& view, unsigned framebuffer, int width,
                                                            int height, double scale, bool keepsContents)
{
    return frames_->drawFrame(
        framebuffer, width, height,
        [&] {
            // Only the atlases' own textures hold glyphs drawn before: one that
            // grew or was reset emptied the row cache, and every row differs.
            DrawData data = buildFrameWithAtlasPasses(view, scale);
            return contentsOf(data, view.defaultBackground(), frames_->mayDrawPartially());
        },
        keepsContents);
}

}  // namespace ravelgrid
