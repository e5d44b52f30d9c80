// Frames that redraw only what changed must leave exactly the pixels a whole
// frame would; pooled buffers and both ways of feeding cell records to the
// shaders must not change a pixel either (llvmpipe under xvfb-run).
#include "platform/FakeScheduler.h"
#include "ravelgrid/gpu/opengl/GpuTerminalRenderer.h"
#include "ravelgrid/gpu/tests/GlTestContext.h"
#include "ravelgrid/gpu/tests/GpuRowDrawSupport.h"

#include <QGuiApplication>
#include <QImage>
#include <QOpenGLFramebufferObject>

#include <gtest/gtest.h>

#include <functional>

using namespace ravelgrid;

namespace {

// One terminal drawn by a renderer of its own.
struct Screen {
    platform::FakeScheduler scheduler;
    std::shared_ptr<OpenGlContext> gl;
    std::unique_ptr<Terminal> terminal;
    std::unique_ptr<test::TestView> view;
    std::unique_ptr<GpuTerminalRenderer> renderer;

    // Draws `shown` when given, else a terminal of its own.
    Screen(std::shared_ptr<OpenGlContext> context, int cols, int rows, Terminal* shown = nullptr)
        : gl(std::move(context))
    {
        TerminalOptions options;
        options.cols = cols;
        options.rows = rows;
        if (!shown) {
            terminal = std::make_unique<Terminal>(nullptr, options);
            shown = terminal.get();
        }
        view = std::make_unique<test::TestView>(*shown);
        view->view = QSizeF(cols * view->cell.width(), rows * view->cell.height());
        auto made = GpuTerminalRenderer::create(
            gl, {}, test::sharedFaces(), scheduler,
            {.isRetryEligible = [] { return true; }, .requestDraw = {}, .requestRecovery = {}, .becameIdle = {}});
        if (auto* ok = std::get_if<std::unique_ptr<GpuTerminalRenderer>>(&made))
            renderer = std::move(*ok);
    }

    void settle()
    {
        for (int i = 0; i < 200 && renderer->coordinator().hasActiveFrame(); ++i) {
            gl->gl().glFinish();
            scheduler.advance(1'000'000);
        }
    }

    QImage frame(BufferingMode mode = BufferingMode::perRowPersistent)
    {
        view->mode = mode;
        view->context.reverseColors = view->terminal()->reverseColors;
        const int w = int(view->view.width()), h = int(view->view.height());
        QOpenGLFramebufferObject fbo(w, h);
        if (renderer->drawFrame(*view, fbo.handle(), w, h, 1) != OpenGlFrameRenderer::Outcome::drawn)
            return {};
        settle();
        return fbo.toImage().convertToFormat(QImage::Format_RGB32);
    }
};

void fillColoured(Terminal& terminal, int rows)
{
    for (int row = 0; row < rows; ++row) {
        std::string line = "\x1b[" + std::to_string(row + 1) + ";1H\x1b[3" + std::to_string(row % 8) + ";4" +
                           std::to_string((row + 2) % 8) + "mrow " + std::to_string(row) + " \xe2\x96\x88\x1b[0m text";
        terminal.feed(line);
    }
}

}  // namespace

class GpuPartialFrameTests : public ::testing::Test {
protected:
    test::GlTestContext gl;
};

TEST_F(GpuPartialFrameTests, ChangedRowsAndTheCaretRedrawToWhatAWholeFrameShows)
{
    ASSERT_TRUE(gl.handle) << "no OpenGL 3.3 context (run under xvfb-run)";
    struct Step {
        const char* what;
        std::function<void(Terminal&)> change;
        bool partial;
    };
    const std::vector<Step> steps = {
        {"one row rewritten", [](Terminal& t) { t.feed("\x1b[3;1H\x1b[45mchanged here\x1b[0m"); }, true},
        {"a row erased, caret kept",
         [](Terminal& t) {
             t.feed("\x1b"
                    "7\x1b[9;1H\x1b[2K\x1b"
                    "8");
         },
         true},
        {"caret moved far away", [](Terminal& t) { t.feed("\x1b[1;30H"); }, true},
        {"caret hidden", [](Terminal& t) { t.feed("\x1b[?25l"); }, true},
        {"caret shown as a bar", [](Terminal& t) { t.feed("\x1b[?25h\x1b[6 q\x1b[8;3H"); }, true},
        {"nothing changed", [](Terminal&) {}, true},
        // The view marks every row for a new look; the clear changes too.
        {"reverse video", [](Terminal& t) { t.feed("\x1b[?5h"); }, false},
    };
    Screen live(gl.handle, 40, 10);
    ASSERT_TRUE(live.renderer);
    fillColoured(*live.terminal, 10);
    live.frame();
    for (const Step& step : steps) {
        step.change(*live.terminal);
        if (!step.partial)
            live.view->dirty = std::pair(0, 9);
        const auto partialBefore = live.renderer->frames().partialFrames();
        const QImage drawn = live.frame();
        ASSERT_FALSE(drawn.isNull()) << step.what;
        EXPECT_EQ(live.renderer->frames().partialFrames() > partialBefore, step.partial) << step.what;

        // A fresh renderer draws the same terminal whole.
        Screen fresh(gl.handle, 40, 10, live.terminal.get());
        ASSERT_TRUE(fresh.renderer);
        const QImage whole = fresh.frame();
        EXPECT_TRUE(drawn == whole) << step.what;
    }
}

TEST_F(GpuPartialFrameTests, AFramebufferThatKeepsItsContentsGetsOnlyTheDamage)
{
    ASSERT_TRUE(gl.handle);
    Screen s(gl.handle, 30, 6);
    ASSERT_TRUE(s.renderer);
    fillColoured(*s.terminal, 6);
    const int w = int(s.view->view.width()), h = int(s.view->view.height());
    QOpenGLFramebufferObject fbo(w, h);
    auto draw = [&] {
        EXPECT_EQ(s.renderer->drawFrame(*s.view, fbo.handle(), w, h, 1, true), OpenGlFrameRenderer::Outcome::drawn);
        s.settle();
        return fbo.toImage().convertToFormat(QImage::Format_RGB32);
    };
    // A mark in the bottom-left corner, far from the row that changes.
    auto mark = [&] {
        auto& f = gl.handle->gl();
        fbo.bind();
        f.glEnable(GL_SCISSOR_TEST);
        f.glScissor(0, 0, 4, 4);
        f.glClearColor(1, 0, 1, 1);
        f.glClear(GL_COLOR_BUFFER_BIT);
        f.glDisable(GL_SCISSOR_TEST);
        fbo.release();
    };
    const QPoint corner(1, h - 2);  // top-left origin in the image
    draw();
    mark();
    s.terminal->feed("\x1b"
                     "7\x1b[1;1Hchanged\x1b"
                     "8");  // the caret stays
    QImage partial = draw();
    EXPECT_EQ(partial.pixel(corner), qRgb(255, 0, 255)) << "only the damage is copied";
    Screen fresh(gl.handle, 30, 6, s.terminal.get());
    QImage whole = fresh.frame();
    for (int y = h - 4; y < h; ++y)
        for (int x = 0; x < 4; ++x)
            partial.setPixel(x, y, whole.pixel(x, y));
    EXPECT_TRUE(partial == whole) << "the damage holds the new frame";

    // Made anew (a resize), the framebuffer gets the whole frame.
    s.renderer->frames().forgetCopies();
    s.terminal->feed("\x1b"
                     "7\x1b[1;1Hagain\x1b"
                     "8");
    partial = draw();
    EXPECT_NE(partial.pixel(corner), qRgb(255, 0, 255));
}

TEST_F(GpuPartialFrameTests, AnotherSizeOrAFailedFrameDrawsWhole)
{
    ASSERT_TRUE(gl.handle);
    Screen s(gl.handle, 30, 6);
    ASSERT_TRUE(s.renderer);
    fillColoured(*s.terminal, 6);
    s.frame();
    s.terminal->feed("\x1b[2;1Hx");
    s.frame();
    EXPECT_EQ(s.renderer->frames().partialFrames(), 1u);

    // A frame that failed left a half-drawn target behind: the next is whole.
    s.renderer->frames().forceErrorOnce(GL_OUT_OF_MEMORY);
    s.terminal->feed("\x1b[3;1Hy");
    s.frame();
    EXPECT_EQ(s.renderer->frames().partialFrames(), 2u);
    s.terminal->feed("\x1b[4;1Hz");
    s.frame();
    EXPECT_EQ(s.renderer->frames().partialFrames(), 2u);

    // A new size is a new target.
    s.view->view += QSizeF(s.view->cell.width(), 0);
    s.terminal->feed("\x1b[2;1Hw");
    s.frame();
    EXPECT_EQ(s.renderer->frames().partialFrames(), 2u);
    s.terminal->feed("\x1b[2;1Hv");
    s.frame();
    EXPECT_EQ(s.renderer->frames().partialFrames(), 3u);
}

TEST_F(GpuPartialFrameTests, FrameBuffersReturnToThePoolOnceTheFrameIsDone)
{
    ASSERT_TRUE(gl.handle);
    Screen s(gl.handle, 20, 4);
    ASSERT_TRUE(s.renderer);
    s.terminal->feed("\x1b[41mpooled\x1b[0m");
    BufferPool& pool = s.renderer->bufferPool();
    s.frame(BufferingMode::perFrameAggregated);
    const std::size_t idle = pool.idleCount(4096);
    EXPECT_GE(idle, 3u);  // backgrounds, glyphs, caret at least

    // In flight, the frame holds them; done, they are back, and no more.
    s.view->mode = BufferingMode::perFrameAggregated;
    QOpenGLFramebufferObject fbo(int(s.view->view.width()), int(s.view->view.height()));
    ASSERT_EQ(s.renderer->drawFrame(*s.view, fbo.handle(), fbo.width(), fbo.height(), 1),
              OpenGlFrameRenderer::Outcome::drawn);
    EXPECT_LT(pool.idleCount(4096), idle);
    s.settle();
    EXPECT_EQ(pool.idleCount(4096), idle);
}

TEST_F(GpuPartialFrameTests, RecordsFromTheBufferTextureAndAsInstancesDrawAlike)
{
    ASSERT_TRUE(gl.handle);
    Screen s(gl.handle, 40, 8);
    ASSERT_TRUE(s.renderer);
    fillColoured(*s.terminal, 8);
    for (BufferingMode mode : {BufferingMode::perRowPersistent, BufferingMode::perFrameAggregated}) {
        s.renderer->frames().pipelines().setMaxRecordTexels(std::size_t(1) << 20);
        s.renderer->rowCache().clear();
        const QImage texels = s.frame(mode);
        s.renderer->frames().pipelines().setMaxRecordTexels(0);
        s.renderer->rowCache().clear();
        const QImage instances = s.frame(mode);
        ASSERT_FALSE(texels.isNull());
        EXPECT_TRUE(texels == instances);
    }
}

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
