// The OpenGL path against QPainter on the coloured 200 x 60 screen: the
// drawing thread's CPU time per frame (llvmpipe rasterises on threads of
// its own) for a full-screen change and a one-row change. Needs a GL 3.3
// core context: run under xvfb-run -a -s "-screen 0 1280x800x24".
#include "platform/FakeScheduler.h"
#include "ravelgrid/drawing/FramePainter.h"
#include "ravelgrid/gpu/opengl/GpuTerminalRenderer.h"
#include "ravelgrid/gpu/tests/GlTestContext.h"
#include "ravelgrid/gpu/tests/GpuRowDrawSupport.h"
#include "ravelgrid/screen/Buffer.h"

#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QImage>
#include <QOpenGLFramebufferObject>
#include <QPainter>

using namespace ravelgrid;

namespace {

constexpr int cols = 200;
constexpr int rows = 60;

void fill(Terminal& terminal)
{
    Buffer& buffer = terminal.activeBuffer();
    for (int row = 0; row < rows; ++row) {
        BufferLine& line = buffer.screenLine(row);
        for (int c = 0; c < cols; ++c) {
            CharData cell;
            const int word = c / 6;
            cell.code = (c % 6 == 5) ? ' ' : int32_t('a' + (row * 7 + c) % 26);
            cell.attribute.fg = Attribute::Color::ansi256(uint8_t(16 + (row * 31 + word * 17) % 216));
            cell.attribute.bg = Attribute::Color::ansi256(uint8_t((row + word) % 8));
            if (word % 4 == 0)
                cell.attribute.style = CharacterStyle::bold;
            line.set(c, cell);
        }
    }
}

void gpuFrames(benchmark::State& state, bool fullScreen)
{
    test::GlTestContext gl;
    if (!gl.handle) {
        state.SkipWithError("no OpenGL 3.3 core context");
        return;
    }
    platform::FakeScheduler scheduler;
    TerminalOptions options;
    options.cols = cols;
    options.rows = rows;
    Terminal terminal(nullptr, options);
    test::TestView view(terminal);
    view.view = QSizeF(cols * view.cell.width(), rows * view.cell.height());
    view.colors.setPaletteLookup([](uint8_t i) { return Color::fromRgb8(i, 255 - i, (i * 7) % 256); });
    fill(terminal);
    auto made = GpuTerminalRenderer::create(
        gl.handle, {}, test::sharedFaces(), scheduler,
        {.isRetryEligible = [] { return true; }, .requestDraw = {}, .requestRecovery = {}, .becameIdle = {}});
    auto& renderer = *std::get<std::unique_ptr<GpuTerminalRenderer>>(made);
    const int w = int(view.view.width()), h = int(view.view.height());
    QOpenGLFramebufferObject fbo(w, h);
    auto finish = [&] {
        while (renderer.coordinator().hasActiveFrame()) {
            gl.handle->gl().glFinish();
            scheduler.advance(1'000'000);
        }
    };
    auto frame = [&] {
        renderer.drawFrame(view, fbo.handle(), w, h, 1);
        // The next frame waits for this one; the wait is llvmpipe's time.
        state.PauseTiming();
        finish();
        state.ResumeTiming();
    };
    renderer.drawFrame(view, fbo.handle(), w, h, 1);
    finish();
    Buffer& buffer = terminal.activeBuffer();
    int row = 0;
    for (auto _ : state) {
        if (fullScreen) {
            for (int r = 0; r < rows; ++r)
                buffer.screenLine(r).bumpGeneration();
        } else {
            buffer.screenLine(row).bumpGeneration();
            row = (row + 1) % rows;
        }
        frame();
    }
}

void painterFrames(benchmark::State& state, bool fullScreen)
{
    TerminalOptions options;
    options.cols = cols;
    options.rows = rows;
    Terminal terminal(nullptr, options);
    fill(terminal);
    FramePainter painter;
    painter.colors().setPaletteLookup([](uint8_t i) { return Color::fromRgb8(i, 255 - i, (i * 7) % 256); });
    const QSizeF cell(8, 17);
    painter.setCellSize(cell);
    const QSizeF size(cols * cell.width(), rows * cell.height());
    QImage image(size.toSize(), QImage::Format_ARGB32_Premultiplied);
    FrameInput input;
    input.buffer = &terminal.activeBuffer();
    input.columns = cols;
    input.rows = rows;
    input.viewSize = size;
    int row = 0;
    for (auto _ : state) {
        input.dirty =
            fullScreen ? QRectF(QPointF(0, 0), size) : QRectF(0, row * cell.height(), size.width(), cell.height());
        row = (row + 1) % rows;
        QPainter p(&image);
        painter.drawTerminalContents(p, input);
        p.end();
        benchmark::DoNotOptimize(image.constBits());
    }
}

void BM_GpuFullScreen(benchmark::State& s)
{
    gpuFrames(s, true);
}
void BM_GpuOneRow(benchmark::State& s)
{
    gpuFrames(s, false);
}
void BM_PainterFullScreen(benchmark::State& s)
{
    painterFrames(s, true);
}
void BM_PainterOneRow(benchmark::State& s)
{
    painterFrames(s, false);
}

}  // namespace

BENCHMARK(BM_GpuFullScreen)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GpuOneRow)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PainterFullScreen)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PainterOneRow)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
