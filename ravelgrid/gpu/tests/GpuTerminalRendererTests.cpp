// Whole frames of a real terminal through the OpenGL path (llvmpipe under
// xvfb-run); pixels are read in cell interiors only.
#include "platform/FakeScheduler.h"
#include "platform/Log.h"
#include "ravelgrid/gpu/GpuProfile.h"
#include "ravelgrid/gpu/opengl/GpuTerminalRenderer.h"
#include "ravelgrid/gpu/tests/GlTestContext.h"
#include "ravelgrid/gpu/tests/GpuRowDrawSupport.h"

#include <QGuiApplication>
#include <QImage>
#include <QOpenGLFramebufferObject>

#include <gtest/gtest.h>

using namespace ravelgrid;

namespace {

struct Harness {
    test::GlTestContext gl;
    std::shared_ptr<OpenGlContext> handle = gl.handle;
    platform::FakeScheduler scheduler;
    std::unique_ptr<Terminal> terminal;
    std::unique_ptr<test::TestView> view;
    std::unique_ptr<GpuTerminalRenderer> renderer;

    explicit Harness(int cols = 20, int rows = 6)
    {
        if (!handle)
            return;
        TerminalOptions options;
        options.cols = cols;
        options.rows = rows;
        terminal = std::make_unique<Terminal>(nullptr, options);
        TerminalKittyGraphics::attach(*terminal);
        view = std::make_unique<test::TestView>(*terminal);
        view->view = QSizeF(cols * view->cell.width(), rows * view->cell.height());
        auto made = GpuTerminalRenderer::create(
            handle, {}, test::sharedFaces(), scheduler,
            {.isRetryEligible = [] { return true; }, .requestDraw = {}, .requestRecovery = {}, .becameIdle = {}});
        if (auto* ok = std::get_if<std::unique_ptr<GpuTerminalRenderer>>(&made))
            renderer = std::move(*ok);
    }
    ~Harness() { renderer.reset(); }

    // One finished frame, read back top row first.
    QImage frame(BufferingMode mode = BufferingMode::perRowPersistent)
    {
        view->mode = mode;
        view->context.reverseColors = terminal->reverseColors;
        const int w = int(view->view.width()), h = int(view->view.height());
        QOpenGLFramebufferObject fbo(w, h);
        if (renderer->drawFrame(*view, fbo.handle(), w, h, 1) != OpenGlFrameRenderer::Outcome::drawn)
            return {};
        for (int i = 0; i < 200 && renderer->coordinator().hasActiveFrame(); ++i) {
            handle->gl().glFinish();
            scheduler.advance(1'000'000);
        }
        return fbo.toImage().convertToFormat(QImage::Format_RGB32);
    }
    // The middle of a cell (column, screen row), top-left origin.
    QPoint interior(int col, int row) const
    {
        return QPoint(int((col + 0.5) * view->cell.width()), int((row + 0.5) * view->cell.height()));
    }
};

bool near(QRgb a, QColor b, int tolerance = 2)
{
    return std::abs(qRed(a) - b.red()) <= tolerance && std::abs(qGreen(a) - b.green()) <= tolerance &&
           std::abs(qBlue(a) - b.blue()) <= tolerance;
}

std::string describe(QRgb c)
{
    return std::to_string(qRed(c)) + "," + std::to_string(qGreen(c)) + "," + std::to_string(qBlue(c));
}

}  // namespace

TEST(GpuTerminalRendererTests, KnownScreenDrawsItsColours)
{
    Harness h;
    ASSERT_TRUE(h.renderer) << "no renderer (run under xvfb-run)";
    h.terminal->feed("\xe2\x96\x88\xe2\x96\x88 \x1b[41m  \x1b[0m");
    h.terminal->feed("\x1b[3;1H");
    QImage image = h.frame();
    ASSERT_FALSE(image.isNull());
    const QColor background = h.view->defaultBackground();
    const QColor foreground = h.view->defaultForeground();
    const QColor red = h.view->colors.resolveColor(Attribute::Color::ansi256(1), false, false, false, false);
    struct Probe {
        int col, row;
        QColor expected;
        const char* what;
    };
    for (const Probe& p : {Probe{0, 0, foreground, "full block"}, Probe{1, 0, foreground, "full block"},
                           Probe{2, 0, background, "blank"}, Probe{3, 0, red, "palette red"},
                           Probe{4, 0, red, "palette red"}, Probe{10, 4, background, "blank"}}) {
        const QRgb got = image.pixel(h.interior(p.col, p.row));
        EXPECT_TRUE(near(got, p.expected)) << p.what << " at " << p.col << "," << p.row << ": " << describe(got);
    }
    // The block caret on row 2, column 0, in the caret colour.
    EXPECT_TRUE(near(image.pixel(h.interior(0, 2)), h.view->caretColor())) << describe(image.pixel(h.interior(0, 2)));

    // Reverse video: the clear is the foreground.
    h.terminal->feed("\x1b[?5h");
    image = h.frame();
    EXPECT_TRUE(near(image.pixel(h.interior(10, 4)), foreground)) << describe(image.pixel(h.interior(10, 4)));
}

TEST(GpuTerminalRendererTests, BothBufferingModesDrawTheSameFrame)
{
    Harness h(40, 8);
    ASSERT_TRUE(h.renderer);
    for (int row = 0; row < 7; ++row) {
        std::string line = "\x1b[3" + std::to_string(row % 8) + "mword" + std::to_string(row) + " \x1b[4" +
                           std::to_string((row + 3) % 8) + "m\xe2\x96\x88 text\x1b[0m\r\n";
        h.terminal->feed(line);
    }
    const QImage perRow = h.frame(BufferingMode::perRowPersistent);
    const QImage aggregated = h.frame(BufferingMode::perFrameAggregated);
    ASSERT_FALSE(perRow.isNull());
    EXPECT_TRUE(perRow == aggregated);
    // Text was actually drawn: not every pixel is the background.
    int ink = 0;
    for (int y = 0; y < perRow.height(); ++y)
        for (int x = 0; x < perRow.width(); ++x)
            ink += perRow.pixel(x, y) != perRow.pixel(perRow.width() - 1, perRow.height() - 1);
    EXPECT_GT(ink, 100);
}

// CTest runs this once with RAVELGRID_PROFILE=1 and once without.
TEST(GpuTerminalRendererTests, ProfilingLogsTheSixSpansOfAFrameOnlyWhenSwitchedOn)
{
    Harness h;
    ASSERT_TRUE(h.renderer);
    h.terminal->feed("profile");
    h.frame();  // glyphs and caches warm
    std::vector<std::string> spans;
    platform::setLogSink([&](platform::LogLevel, std::string_view category, std::string_view message) {
        if (category == gpuProfileLogCategory)
            spans.emplace_back(message);
    });
    h.frame();
    platform::setLogSink({});
    if (!gpuProfilingEnabled()) {
        EXPECT_TRUE(spans.empty());
        return;
    }
    ASSERT_EQ(spans.size(), 6u);
    for (std::string_view name : {"Metal.Draw", "Metal.CurrentDrawable", "Metal.RenderPass", "Metal.BuildDrawData",
                                  "Metal.Encode", "Metal.Commit"}) {
        EXPECT_EQ(std::count_if(spans.begin(), spans.end(),
                                [&](const std::string& line) { return line.find(name) != std::string::npos; }),
                  1)
            << name;
    }
}

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
