// Runs on a real GL 3.3 core context (llvmpipe under xvfb-run).
#include "platform/FakeScheduler.h"
#include "ravelgrid/gpu/opengl/OpenGlBackend.h"
#include "ravelgrid/gpu/opengl/OpenGlFrameRenderer.h"
#include "ravelgrid/gpu/opengl/OpenGlPipelines.h"
#include "ravelgrid/gpu/opengl/OpenGlShaderLibrary.h"
#include "ravelgrid/gpu/tests/GlTestContext.h"

#include <QGuiApplication>
#include <QImage>
#include <QOpenGLFramebufferObject>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

using namespace ravelgrid;

namespace {

using GlContext = test::GlTestContext;

OpenGlShaderLibrary builtInLibrary()
{
    auto loaded = OpenGlShaderLibrary::load({});
    return std::get<OpenGlShaderLibrary>(std::move(loaded));
}

std::string errorOf(const OpenGlShaderLibrary::Search& search)
{
    auto loaded = OpenGlShaderLibrary::load(search);
    if (auto* error = std::get_if<GpuError>(&loaded))
        return error->description();
    return "loaded";
}

class ScratchFolder {
public:
    ScratchFolder()
    {
        path_ = std::filesystem::temp_directory_path() /
                ("ravelgrid-shaders-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
        std::filesystem::create_directories(path_);
    }
    ~ScratchFolder() { std::filesystem::remove_all(path_); }
    void write(std::string_view text) const { std::ofstream(path_ / OpenGlShaderLibrary::sourceFileName) << text; }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

std::string withoutFunction(std::string_view name)
{
    std::string source(OpenGlShaderLibrary::builtInSource());
    std::string header = "//! ";
    header.append(name);
    auto at = source.find(header);
    source.replace(at, header.size(), "//! renamed_away");
    return source;
}

}  // namespace

TEST(OpenGlShaderLibraryTests, FindsSourcesInOrderAndReportsWhatIsMissing)
{
    EXPECT_EQ(errorOf({.builtIn = false, .folders = {}}), "Failed to load OpenGL shader source: ravelgrid/gpu/shaders");
    ScratchFolder empty, full, partial;
    full.write(OpenGlShaderLibrary::builtInSource());
    partial.write(withoutFunction("terminal_color_fragment"));
    EXPECT_EQ(errorOf({.builtIn = false, .folders = {empty.path(), full.path()}}), "loaded");
    EXPECT_EQ(errorOf({.builtIn = false, .folders = {"/nonexistent/ravelgrid", empty.path()}}),
              "Failed to load OpenGL shader source: ravelgrid/gpu/shaders");
    // A source lacking a function names all seven, as the error always does.
    EXPECT_EQ(errorOf({.builtIn = false, .folders = {partial.path(), full.path()}}),
              "OpenGL library missing required function: terminal_text_vertex, terminal_cell_text_vertex, "
              "terminal_text_fragment, terminal_text_fragment_gray, terminal_color_vertex, "
              "terminal_cell_color_vertex, terminal_color_fragment");
    // The built-in copy wins over any folder.
    EXPECT_EQ(errorOf({.builtIn = true, .folders = {partial.path()}}), "loaded");
}

TEST(OpenGlPipelineTests, SixProgramsLinkAndBrokenSourcesAreReported)
{
    GlContext gl;
    ASSERT_TRUE(gl.handle) << "no OpenGL 3.3 core context (run under xvfb-run)";
    auto made = OpenGlPipelines::create(gl.handle, builtInLibrary());
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<OpenGlPipelines>>(made))
        << std::get<GpuError>(made).description();
    auto& pipelines = *std::get<std::unique_ptr<OpenGlPipelines>>(made);
    for (auto pipeline : {OpenGlPipeline::text, OpenGlPipeline::textGray, OpenGlPipeline::color,
                          OpenGlPipeline::cellText, OpenGlPipeline::cellTextGray, OpenGlPipeline::cellColor}) {
        GLint linked = 0;
        gl.handle->gl().glGetProgramiv(pipelines.program(pipeline), GL_LINK_STATUS, &linked);
        EXPECT_TRUE(linked);
    }

    std::string broken(OpenGlShaderLibrary::builtInSource());
    broken.replace(broken.find("fragColor = vColor;"), 19, "fragColor = vColour;");
    auto library = std::get<OpenGlShaderLibrary>(OpenGlShaderLibrary::fromSource(broken));
    auto failed = OpenGlPipelines::create(gl.handle, library);
    ASSERT_TRUE(std::holds_alternative<GpuError>(failed));
    EXPECT_EQ(std::get<GpuError>(failed).kind(), GpuError::Kind::shaderCompilationFailed);
    EXPECT_NE(std::get<GpuError>(failed).detail().find("terminal_color_fragment"), std::string::npos);
}

TEST(OpenGlBackendTests, UploadsRegionsWithRowLengthAndRefusesBadOnes)
{
    GlContext gl;
    ASSERT_TRUE(gl.handle);
    OpenGlBackend backend(gl.handle);
    auto max = backend.maxTextureSize();
    ASSERT_TRUE(max);
    EXPECT_GE(*max, 1024);
    EXPECT_FALSE(backend.makeTexture(GpuTextureFormat::r8, *max * 2));
    EXPECT_FALSE(backend.makeTexture(GpuTextureFormat::r8, 0));

    auto gray = backend.makeTexture(GpuTextureFormat::r8, 8);
    auto color = backend.makeTexture(GpuTextureFormat::bgra8, 8);
    ASSERT_TRUE(gray && color);
    // A 2x2 region out of rows 5 texels long.
    const std::vector<std::uint8_t> grayBytes{1, 2, 99, 99, 99, 3, 4, 99, 99, 99};
    ASSERT_TRUE(backend.uploadRegion(*gray, {3, 1, 2, 2}, grayBytes, 5));
    // BGRA texels come back as RGBA.
    const std::vector<std::uint8_t> bgra{10, 20, 30, 40};
    ASSERT_TRUE(backend.uploadRegion(*color, {7, 7, 1, 1}, bgra, 1));

    auto& f = gl.handle->gl();
    std::vector<std::uint8_t> readGray(64), readColor(256);
    f.glPixelStorei(GL_PACK_ALIGNMENT, 1);
    f.glBindTexture(GL_TEXTURE_2D, static_cast<OpenGlTexture&>(*gray).name());
    f.glGetTexImage(GL_TEXTURE_2D, 0, GL_RED, GL_UNSIGNED_BYTE, readGray.data());
    f.glBindTexture(GL_TEXTURE_2D, static_cast<OpenGlTexture&>(*color).name());
    f.glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, readColor.data());
    EXPECT_EQ(readGray[1 * 8 + 3], 1);
    EXPECT_EQ(readGray[1 * 8 + 4], 2);
    EXPECT_EQ(readGray[2 * 8 + 3], 3);
    EXPECT_EQ(readGray[2 * 8 + 4], 4);
    EXPECT_EQ(readGray[2 * 8 + 5], 0);
    const std::size_t texel = (7 * 8 + 7) * 4;
    EXPECT_EQ((std::vector<std::uint8_t>(readColor.begin() + texel, readColor.begin() + texel + 4)),
              (std::vector<std::uint8_t>{30, 20, 10, 40}));

    struct Bad {
        GpuRect rect;
        std::size_t bytes, rowLength;
    };
    for (const Bad& bad : {Bad{{7, 7, 2, 1}, 8, 2}, Bad{{-1, 0, 1, 1}, 1, 1}, Bad{{0, 0, 2, 2}, 3, 2},
                           Bad{{0, 0, 2, 2}, 40, 1}, Bad{{0, 0, 0, 1}, 1, 1}, Bad{{0, 0, 1, 1}, 9, 9}}) {
        std::vector<std::uint8_t> bytes(bad.bytes);
        EXPECT_FALSE(backend.uploadRegion(*gray, bad.rect, bytes, bad.rowLength))
            << bad.rect.x << "," << bad.rect.y << " " << bad.rect.width << "x" << bad.rect.height;
    }
}

TEST(OpenGlBackendTests, ObjectsAreDeletedWithTheirOwnContextCurrent)
{
    GlContext first;
    ASSERT_TRUE(first.handle);
    OpenGlBackend backend(first.handle);
    auto texture = backend.makeTexture(GpuTextureFormat::r8, 4);
    ASSERT_TRUE(texture);
    const GLuint name = static_cast<OpenGlTexture&>(*texture).name();
    {
        // Another context, current when the texture goes: its own names
        // must survive, the texture's context must lose the name.
        GlContext second;
        ASSERT_TRUE(second.handle);
        GLuint other = 0;
        second.handle->gl().glGenTextures(1, &other);
        second.handle->gl().glBindTexture(GL_TEXTURE_2D, other);
        ASSERT_EQ(other, name) << "both contexts hand out the same first name";
        texture.reset();
        EXPECT_EQ(QOpenGLContext::currentContext(), &second.context);
        EXPECT_TRUE(second.handle->gl().glIsTexture(other));
    }
    first.context.makeCurrent(&first.surface);
    EXPECT_FALSE(first.handle->gl().glIsTexture(name));
}

namespace {

struct Target {
    GlContext& gl;
    QOpenGLFramebufferObject fbo;
    explicit Target(GlContext& context, int width, int height) : gl(context), fbo(width, height)
    {
        fbo.bind();
        gl.handle->gl().glViewport(0, 0, width, height);
        gl.handle->gl().glClearColor(0, 0, 1, 1);
        gl.handle->gl().glClear(GL_COLOR_BUFFER_BIT);
    }
    // Pixel at (x, y) counted from the bottom left, as the records are.
    QRgb at(int x, int y)
    {
        QImage image = fbo.toImage();
        return image.pixel(x, image.height() - 1 - y);
    }
};

template <typename Record>
std::shared_ptr<OpenGlBuffer> bufferOf(OpenGlBackend& backend, std::initializer_list<Record> records)
{
    auto buffer = std::static_pointer_cast<OpenGlBuffer>(backend.makeBuffer(records.size() * sizeof(Record)));
    std::memcpy(buffer->contents().data(), std::data(records), records.size() * sizeof(Record));
    return buffer;
}

}  // namespace

TEST(OpenGlPipelineTests, CellAndVertexRecordsDrawWhereTheySay)
{
    GlContext gl;
    ASSERT_TRUE(gl.handle);
    OpenGlBackend backend(gl.handle);
    auto pipelines = std::get<std::unique_ptr<OpenGlPipelines>>(OpenGlPipelines::create(gl.handle, builtInLibrary()));
    Target target(gl, 64, 32);

    // Two background cells, then a half-transparent one blended straight.
    auto cells = bufferOf<ColorCellRecord>(
        backend,
        {{{0, 0}, {16, 16}, {1, 0, 0, 1}}, {{16, 16}, {16, 16}, {0, 1, 0, 1}}, {{32, 0}, {16, 16}, {1, 1, 1, 0.5f}}});
    ASSERT_TRUE(pipelines->draw(OpenGlPipeline::cellColor, *cells, 3, nullptr, 64, 32));
    EXPECT_EQ(target.at(8, 8), qRgb(255, 0, 0));
    EXPECT_EQ(target.at(24, 24), qRgb(0, 255, 0));
    EXPECT_EQ(target.at(24, 8), qRgb(0, 0, 255));
    const QRgb half = target.at(40, 8);
    EXPECT_NEAR(qRed(half), 128, 2);
    EXPECT_NEAR(qBlue(half), 255, 2);

    // A grayscale glyph: full coverage in a 4x4 atlas region tints with the
    // record's colour; zero coverage leaves the background.
    auto atlas = backend.makeTexture(GpuTextureFormat::r8, 16);
    std::vector<std::uint8_t> ink(16 * 16, 0);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            ink[static_cast<std::size_t>(y * 16 + x)] = 255;
    ASSERT_TRUE(backend.uploadRegion(*atlas, {0, 0, 16, 16}, ink, 16));
    auto glyphs = bufferOf<TextCellRecord>(backend, {{{48, 0}, {16, 16}, {0, 0}, {4, 4}, {1, 1, 0, 1}},
                                                     {{48, 16}, {16, 16}, {8, 8}, {4, 4}, {1, 1, 0, 1}}});
    ASSERT_TRUE(
        pipelines->draw(OpenGlPipeline::cellTextGray, *glyphs, 2, static_cast<OpenGlTexture*>(atlas.get()), 64, 32));
    EXPECT_EQ(target.at(56, 8), qRgb(255, 255, 0));
    EXPECT_EQ(target.at(56, 24), qRgb(0, 0, 255));

    // A colour glyph from BGRA texels, premultiplied.
    auto colorAtlas = backend.makeTexture(GpuTextureFormat::bgra8, 4);
    std::vector<std::uint8_t> texels(4 * 4 * 4);
    for (std::size_t i = 0; i < texels.size(); i += 4) {
        texels[i] = 0;        // blue
        texels[i + 1] = 128;  // green
        texels[i + 2] = 255;  // red
        texels[i + 3] = 255;
    }
    ASSERT_TRUE(backend.uploadRegion(*colorAtlas, {0, 0, 4, 4}, texels, 4));
    auto emoji = bufferOf<TextCellRecord>(backend, {{{0, 16}, {16, 16}, {0, 0}, {4, 4}, {1, 1, 1, 1}}});
    ASSERT_TRUE(
        pipelines->draw(OpenGlPipeline::cellText, *emoji, 1, static_cast<OpenGlTexture*>(colorAtlas.get()), 64, 32));
    const QRgb orange = target.at(8, 24);
    EXPECT_EQ(qRed(orange), 255);
    EXPECT_NEAR(qGreen(orange), 128, 1);
    EXPECT_EQ(qBlue(orange), 0);

    // A cursor shape as two triangles of vertices.
    auto caret = bufferOf<ColorVertexRecord>(backend, {{{16, 0}, {}, {1, 1, 1, 1}},
                                                       {{32, 0}, {}, {1, 1, 1, 1}},
                                                       {{16, 16}, {}, {1, 1, 1, 1}},
                                                       {{32, 0}, {}, {1, 1, 1, 1}},
                                                       {{32, 16}, {}, {1, 1, 1, 1}},
                                                       {{16, 16}, {}, {1, 1, 1, 1}}});
    ASSERT_TRUE(pipelines->draw(OpenGlPipeline::color, *caret, 6, nullptr, 64, 32));
    EXPECT_EQ(target.at(24, 8), qRgb(255, 255, 255));

    // No records, no draw call; more records than the buffer holds, refused.
    const auto calls = pipelines->drawCalls();
    EXPECT_TRUE(pipelines->draw(OpenGlPipeline::cellColor, *cells, 0, nullptr, 64, 32));
    EXPECT_FALSE(pipelines->draw(OpenGlPipeline::cellColor, *cells, 4, nullptr, 64, 32));
    EXPECT_EQ(pipelines->drawCalls(), calls);
}

namespace {

struct FrameHarness {
    GlContext gl;
    platform::FakeScheduler scheduler;
    std::vector<GpuFrameRefusalReason> draws;
    std::vector<GpuRendererRecoveryReport> recoveries;
    std::unique_ptr<OpenGlFrameRenderer> renderer;

    FrameHarness()
    {
        if (!gl.handle)
            return;
        auto made = OpenGlFrameRenderer::create(
            gl.handle, {}, scheduler,
            {.isRetryEligible = [] { return true; },
             .requestDraw = [this](GpuFrameRefusalReason reason) { draws.push_back(reason); },
             .requestRecovery = [this](const GpuRendererRecoveryReport& report) { recoveries.push_back(report); },
             .becameIdle = {}});
        if (auto* ok = std::get_if<std::unique_ptr<OpenGlFrameRenderer>>(&made))
            renderer = std::move(*ok);
    }
    OpenGlFrameContents redCell(float r, float g, float b)
    {
        auto buffer = bufferOf<ColorCellRecord>(renderer->backend(), {{{0, 0}, {16, 16}, {r, g, b, 1}}});
        OpenGlFrameContents contents;
        contents.clearColor = {0, 0, 1, 1};
        contents.layers = {{OpenGlPipeline::cellColor, buffer, 1, nullptr}};
        return contents;
    }
    // Lets the fence be polled until the frame is done.
    void settle()
    {
        for (int i = 0; i < 200 && renderer->coordinator().hasActiveFrame(); ++i) {
            renderer->context()->gl().glFinish();
            scheduler.advance(1'000'000);
        }
    }
};

}  // namespace

TEST(OpenGlFrameRendererTests, DrawsOneFrameInFlightAndCompletesOnTheFence)
{
    FrameHarness h;
    ASSERT_TRUE(h.renderer);
    QOpenGLFramebufferObject fbo(32, 32);
    auto draw = [&](float r, float g, float b) {
        return h.renderer->drawFrame(fbo.handle(), 32, 32, [&] { return h.redCell(r, g, b); });
    };
    ASSERT_EQ(draw(1, 0, 0), OpenGlFrameRenderer::Outcome::drawn);
    // A second frame while the first is in flight waits.
    EXPECT_EQ(draw(0, 1, 0), OpenGlFrameRenderer::Outcome::busy);
    QImage image = fbo.toImage();
    EXPECT_EQ(image.pixel(8, 31 - 8), qRgb(255, 0, 0));
    EXPECT_EQ(image.pixel(24, 8), qRgb(0, 0, 255));
    h.settle();
    EXPECT_FALSE(h.renderer->coordinator().hasActiveFrame());
    EXPECT_EQ(h.renderer->framesCompleted(), 1u);
    // The waiting draw is asked for again once the frame is done.
    EXPECT_FALSE(h.draws.empty());
    EXPECT_TRUE(h.recoveries.empty());
}

TEST(OpenGlFrameRendererTests, RefusalsMapToReasonsAndLeaveTheLastFrame)
{
    // An empty drawable, an incomplete framebuffer, a reset: each refused
    // with its reason and retried; the last frame stays on screen.
    enum class Fault { emptySize, incompleteFramebuffer, reset };
    struct Case {
        Fault fault;
        GpuFrameRefusalReason reason;
    };
    for (const Case& c : {Case{Fault::emptySize, GpuFrameRefusalReason::missingDrawable},
                          Case{Fault::incompleteFramebuffer, GpuFrameRefusalReason::missingRenderPassDescriptor},
                          Case{Fault::reset, GpuFrameRefusalReason::missingCommandBuffer}}) {
        FrameHarness h;
        ASSERT_TRUE(h.renderer);
        QOpenGLFramebufferObject fbo(32, 32);
        ASSERT_EQ(h.renderer->drawFrame(fbo.handle(), 32, 32, [&] { return h.redCell(1, 0, 0); }),
                  OpenGlFrameRenderer::Outcome::drawn);
        h.settle();
        h.draws.clear();
        GLuint incomplete = 0;
        h.gl.handle->gl().glGenFramebuffers(1, &incomplete);
        h.gl.handle->gl().glBindFramebuffer(GL_FRAMEBUFFER, incomplete);
        if (c.fault == Fault::reset)
            h.renderer->forceResetOnce();
        const unsigned target = c.fault == Fault::incompleteFramebuffer ? incomplete : fbo.handle();
        const int width = c.fault == Fault::emptySize ? 0 : 32;
        bool built = false;
        EXPECT_EQ(h.renderer->drawFrame(target, width, 32,
                                        [&] {
                                            built = true;
                                            return h.redCell(0, 1, 0);
                                        }),
                  OpenGlFrameRenderer::Outcome::refused);
        EXPECT_FALSE(built);
        h.scheduler.advance(20'000'000);
        ASSERT_FALSE(h.draws.empty());
        EXPECT_EQ(h.draws.front(), c.reason);
        EXPECT_EQ(fbo.toImage().pixel(8, 23), qRgb(255, 0, 0));
        h.gl.handle->gl().glDeleteFramebuffers(1, &incomplete);
    }
}

TEST(OpenGlFrameRendererTests, OutOfMemoryFailsTheFrameAndAsksForRecovery)
{
    FrameHarness h;
    ASSERT_TRUE(h.renderer);
    QOpenGLFramebufferObject fbo(32, 32);
    ASSERT_EQ(h.renderer->drawFrame(fbo.handle(), 32, 32, [&] { return h.redCell(1, 0, 0); }),
              OpenGlFrameRenderer::Outcome::drawn);
    h.settle();
    h.renderer->forceErrorOnce(GL_OUT_OF_MEMORY);
    ASSERT_EQ(h.renderer->drawFrame(fbo.handle(), 32, 32, [&] { return h.redCell(0, 1, 0); }),
              OpenGlFrameRenderer::Outcome::drawn);
    h.settle();
    ASSERT_EQ(h.recoveries.size(), 1u);
    EXPECT_EQ(h.recoveries[0].commandBufferStatus, GpuTrackedCommandBufferStatus::error);
    EXPECT_EQ(h.recoveries[0].commandBufferError, "GL_OUT_OF_MEMORY");
    EXPECT_TRUE(h.renderer->backend().outOfMemory());
    // The failed frame never reached the screen.
    EXPECT_EQ(fbo.toImage().pixel(8, 23), qRgb(255, 0, 0));
}

TEST(OpenGlFrameRendererTests, NoShadersMeansNoRenderer)
{
    GlContext gl;
    ASSERT_TRUE(gl.handle);
    platform::FakeScheduler scheduler;
    auto made = OpenGlFrameRenderer::create(gl.handle, {.builtIn = false, .folders = {}}, scheduler, {});
    ASSERT_TRUE(std::holds_alternative<GpuError>(made));
    EXPECT_EQ(std::get<GpuError>(made).description(), "Failed to load OpenGL shader source: ravelgrid/gpu/shaders");
}

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
