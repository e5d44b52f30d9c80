// A shown 200 x 60 terminal view with the OpenGL path on and off: the main
// thread's CPU time from a change of the screen to the frame on screen
// (display pass, drawing, compositing), for a full coloured screen and for
// one row. llvmpipe rasterises on threads of its own, not counted here;
// what it does on the drawing thread (vertex shading, triangle set-up) is.
// Run under: xvfb-run -a -s "-screen 0 1920x1200x24"
#include "ravelgrid/gpu/opengl/GpuTerminalRenderer.h"
#include "ravelgrid/view/GpuTerminalHost.h"
#include "ravelgrid/view/QtScheduler.h"
#include "ravelgrid/view/TerminalView.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <string>

using namespace ravelgrid;

namespace {

constexpr int cols = 200;
constexpr int rows = 60;

// One row of coloured words; `salt` makes every row differ from before.
std::string colouredRow(int row, int salt)
{
    std::string line = "\x1b[" + std::to_string(row + 1) + ";1H";
    for (int word = 0; word < cols / 6; ++word) {
        line.append("\x1b[").append(word % 4 == 0 ? "1;" : "22;");
        line.append("38;5;").append(std::to_string(16 + (row * 31 + word * 17 + salt) % 216));
        line.append(";48;5;").append(std::to_string((row + word + salt) % 8)).append("m");
        for (int c = 0; c < 5; ++c)
            line.push_back(char('a' + (row * 7 + word * 6 + c + salt) % 26));
        line.push_back(' ');
    }
    return line.append("\x1b[0m");
}

struct Shown {
    QWidget window;
    TerminalView* view;
    int paints = 0;

    explicit Shown(bool gpu)
    {
        view = new TerminalView(&window, std::nullopt, {}, QtScheduler::system());
        const QSizeF cell = view->cellDimension().value_or(QSizeF(8, 17));
        QSize size(int(cols * cell.width()) + 40, int(rows * cell.height()) + 2);
        window.resize(size);
        view->setGeometry(QRect(QPoint(0, 0), size));
        window.show();
        (void)QTest::qWaitForWindowExposed(&window);
        // Grow or shrink until the grid is exactly 200 x 60.
        for (int i = 0; i < 8 && (view->terminal().cols != cols || view->terminal().rows != rows); ++i) {
            size += QSize(int((cols - view->terminal().cols) * cell.width()),
                          int((rows - view->terminal().rows) * cell.height()));
            window.resize(size);
            view->setGeometry(QRect(QPoint(0, 0), size));
            QCoreApplication::processEvents();
        }
        view->installEventFilter(&counter);
        counter.paints = &paints;
        if (gpu)
            view->enableGpuRenderer(true);
        fill(0);
        settle();
    }
    bool ok() const
    {
        return view->terminal().cols == cols && view->terminal().rows == rows &&
               (!view->gpuHost() || view->gpuRendererStatus().state == GpuRendererStatus::State::healthy);
    }
    void fill(int salt)
    {
        std::string all;
        for (int r = 0; r < rows; ++r)
            all += colouredRow(r, salt);
        view->feed(all);
    }
    std::uint64_t presented() const { return view->gpuRendererStatus().presentedFrameCount; }
    // Until nothing is pending: no frame in flight, no paint queued.
    void settle()
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 200) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            GpuTerminalHost* host = view->gpuHost();
            const bool busy = host && host->renderer() && host->renderer()->coordinator().hasActiveFrame();
            if (!busy && t.elapsed() > 30)
                break;
        }
    }
    // One frame on screen after the change just fed.
    void frame()
    {
        const auto before = view->gpuHost() ? presented() : std::uint64_t(paints);
        view->displayNow();
        // Blocking waits: idle time is no drawing time.
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 2000) {
            const auto now = view->gpuHost() ? presented() : std::uint64_t(paints);
            if (now > before)
                return;
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
    }

    struct PaintCounter : QObject {
        int* paints = nullptr;
        bool eventFilter(QObject*, QEvent* event) override
        {
            if (event->type() == QEvent::Paint && paints)
                ++*paints;
            return false;
        }
    } counter;
};

void frames(benchmark::State& state, bool gpu, bool fullScreen)
{
    Shown s(gpu);
    if (!s.ok()) {
        state.SkipWithError("no 200 x 60 view on a healthy renderer (screen too small, or no OpenGL 3.3)");
        return;
    }
    int salt = 1, row = 0;
    for (auto _ : state) {
        state.PauseTiming();
        s.settle();
        if (fullScreen)
            s.fill(salt++);
        else
            s.view->feed(colouredRow(row, salt++)), row = (row + 1) % rows;
        state.ResumeTiming();
        s.frame();
    }
    if (gpu)
        state.counters["partialFrames"] = double(s.view->gpuHost()->renderer()->frames().partialFrames());
}

void BM_ViewGpuFullScreen(benchmark::State& s)
{
    frames(s, true, true);
}
void BM_ViewGpuOneRow(benchmark::State& s)
{
    frames(s, true, false);
}
void BM_ViewPainterFullScreen(benchmark::State& s)
{
    frames(s, false, true);
}
void BM_ViewPainterOneRow(benchmark::State& s)
{
    frames(s, false, false);
}

}  // namespace

BENCHMARK(BM_ViewGpuFullScreen)->Unit(benchmark::kMillisecond)->Iterations(60);
BENCHMARK(BM_ViewGpuOneRow)->Unit(benchmark::kMillisecond)->Iterations(200);
BENCHMARK(BM_ViewPainterFullScreen)->Unit(benchmark::kMillisecond)->Iterations(60);
BENCHMARK(BM_ViewPainterOneRow)->Unit(benchmark::kMillisecond)->Iterations(200);

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
