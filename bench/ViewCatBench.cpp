// `cat` of a 50 MB file: in a shown terminal view (parsing, coalesced
// redraws, painting) against the headless terminal (parsing only), both fed
// on the Qt main thread.
#include "ravelgrid/process/HeadlessTerminal.h"
#include "ravelgrid/view/LocalProcessTerminalView.h"
#include "ravelgrid/view/QtDeliveryQueue.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <cmath>
#include <fstream>
#include <string>

using namespace ravelgrid;

namespace {

constexpr int cols = 200;
constexpr int rows = 60;

// Source-code-like lines with a coloured word now and then.
const std::string& fiftyMegabytes()
{
    static QTemporaryDir dir;
    static const std::string path = [] {
        const std::string p = dir.filePath(QStringLiteral("cat.txt")).toStdString();
        std::ofstream out(p, std::ios::binary);
        std::string line;
        size_t written = 0;
        for (int i = 0; written < 50u * 1024 * 1024; ++i) {
            line = "    int value" + std::to_string(i) + " = compute(alpha, beta, gamma); // line " + std::to_string(i);
            if (i % 7 == 0)
                line += " \x1b[32mgreen\x1b[0m \x1b[1;34mbold blue\x1b[0m";
            line += "\n";
            out << line;
            written += line.size();
        }
        return p;
    }();
    return path;
}

struct ViewHost : LocalProcessTerminalViewDelegate {
    QEventLoop* loop = nullptr;
    void sizeChanged(LocalProcessTerminalView&, int, int) override {}
    void setTerminalTitle(LocalProcessTerminalView&, const std::string&) override {}
    void hostCurrentDirectoryUpdate(TerminalView&, const std::optional<std::string>&) override {}
    void processTerminated(LocalProcessTerminalView&, std::optional<int>) override { loop->quit(); }
};

void BM_CatInView(benchmark::State& state)
{
    const std::string& file = fiftyMegabytes();
    for (auto _ : state) {
        LocalProcessTerminalView view;
        const QSizeF cell = *view.cellDimension();
        view.resize(int(std::ceil(cols * cell.width() + view.reservedScrollerWidth())),
                    int(std::ceil(rows * cell.height())));
        view.show();
        QEventLoop loop;
        ViewHost host;
        host.loop = &loop;
        view.setProcessDelegate(&host);
        QElapsedTimer timer;
        timer.start();
        view.startProcess("/bin/cat", {file});
        loop.exec();
        state.SetIterationTime(double(timer.nsecsElapsed()) / 1e9);
    }
}

void BM_CatHeadless(benchmark::State& state)
{
    const std::string& file = fiftyMegabytes();
    for (auto _ : state) {
        QEventLoop loop;
        TerminalOptions options;
        options.cols = cols;
        options.rows = rows;
        HeadlessTerminal terminal(nullptr, options, [&](std::optional<int>) { loop.quit(); });
        QElapsedTimer timer;
        timer.start();
        terminal.process()->startProcess("/bin/cat", {file});
        loop.exec();
        state.SetIterationTime(double(timer.nsecsElapsed()) / 1e9);
    }
}

}  // namespace

BENCHMARK(BM_CatHeadless)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CatInView)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    auto queue = QtDeliveryQueue::installAsMain();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
