// The find bar's keystroke over 100,000 lines of scrollback, a pointer move
// with Ctrl held over a 200 x 60 screen of links, and the progress bar's
// sweep, which repaints its own strip and no terminal row.
#include "ravelgrid/view/ProgressBarView.h"
#include "ravelgrid/view/TerminalView.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>

#include <cmath>
#include <memory>
#include <string>

using namespace ravelgrid;

namespace {

constexpr int cols = 200;
constexpr int rows = 60;

std::unique_ptr<TerminalView> makeView(int lines, const std::string& (*lineOf)(int, std::string&))
{
    TerminalOptions options;
    options.cols = cols;
    options.rows = rows;
    options.scrollback = lines + rows;
    auto view = std::make_unique<TerminalView>(nullptr, std::nullopt, options);
    const QSizeF cell = *view->cellDimension();
    view->resize(int(std::ceil(cols * cell.width() + view->reservedScrollerWidth())),
                 int(std::ceil(rows * cell.height())));
    std::string text;
    std::string scratch;
    for (int i = 0; i < lines; ++i) {
        text += lineOf(i, scratch);
        text += "\r\n";
    }
    view->feed(text);
    return view;
}

const std::string& plainLine(int i, std::string& line)
{
    line = i == 50'000 ? "the needle is here " : "line " + std::to_string(i) + " ";
    while (line.size() < size_t(cols))
        line += char('a' + (line.size() + size_t(i)) % 26);
    return line;
}

// Detected URLs and OSC 8 links side by side, filling the row.
const std::string& linkLine(int i, std::string& line)
{
    line.clear();
    for (int k = 0; k < 4; ++k) {
        line += "see https://h" + std::to_string(i) + ".test/p" + std::to_string(k) + " ";
        line += "\x1b]8;;https://o.test/" + std::to_string(k) + "\x1b\\osc-link\x1b]8;;\x1b\\ ";
    }
    return line;
}

// A keystroke with nothing selected, the only match half-way through the
// scrollback, over a cache that new output has just thrown away (the worst case).
void BM_FindKeystroke100k(benchmark::State& state)
{
    auto view = makeView(100'000, plainLine);
    bool longer = false;
    for (auto _ : state) {
        view->selection().setActive(false);
        view->search().invalidateCache();
        view->find().termChanged(longer ? QStringLiteral("needle") : QStringLiteral("needl"));
        longer = !longer;
        benchmark::DoNotOptimize(view->selectionActive());
    }
    if (!view->selectionActive() || view->selection().start().row != 50'000)
        state.SkipWithError("the first match was not found");
}

void BM_CtrlHoverMove(benchmark::State& state)
{
    auto view = makeView(rows, linkLine);
    QKeyEvent ctrl(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier);
    QApplication::sendEvent(view.get(), &ctrl);
    const QSizeF cell = *view->cellDimension();
    int step = 0;
    int hits = 0;
    for (auto _ : state) {
        // Across rows and links: each move lands on another one.
        const int col = (step * 7) % cols;
        const int row = (step * 3) % rows;
        ++step;
        const QPointF at((col + 0.5) * cell.width(), (row + 0.5) * cell.height());
        QMouseEvent move(QEvent::MouseMove, at, at, Qt::NoButton, Qt::NoButton, Qt::ControlModifier);
        QApplication::sendEvent(view.get(), &move);
        hits += view->links().highlightRange() ? 1 : 0;
    }
    state.counters["onLink"] = benchmark::Counter(hits, benchmark::Counter::kAvgIterations);
}

void BM_ProgressSweepRepaint(benchmark::State& state)
{
    auto view = makeView(rows, plainLine);
    view->show();
    view->displayNow();
    view->terminal().clearUpdateRange();
    ProgressReport report{ProgressReportState::set, 0};
    ProgressBarView* bar = view->notices().progressBar();
    uint8_t value = 0;
    int dirtyRows = 0;
    for (auto _ : state) {
        report.progress = value;
        value = uint8_t((value + 1) % 101);
        view->notices().applyProgressReport(report);
        bar->finishWidthAnimation();
        bar->repaint();
        if (view->terminal().getUpdateRange())
            ++dirtyRows;
    }
    state.counters["terminalRowsDirtied"] = dirtyRows;
    state.counters["stripHeight"] = bar->height();
}

}  // namespace

BENCHMARK(BM_FindKeystroke100k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CtrlHoverMove)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProgressSweepRepaint)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
