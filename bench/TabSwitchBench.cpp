// Switching tabs among 10 running sessions: from the activation to the new
// terminal painted (a synchronous repaint of the detail area), offscreen.
// The budget is one frame, 16 ms.
#include "quillmar/app/UserSettings.h"
#include "quillmar/app/shell/MainWindow.h"
#include "quillmar/app/shell/TerminalHost.h"
#include "quillmar/snippets/SnippetKeySource.h"
#include "quillmar/snippets/SnippetStore.h"
#include "ravelgrid/view/QtDeliveryQueue.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QStackedWidget>
#include <QTemporaryDir>

#include <algorithm>

using namespace quillmar;

namespace {

// The snippets key kept in memory: the benchmark never asks a keyring.
class MemoryKeys final : public SnippetKeySource {
public:
    Lookup find() override { return {key_, std::nullopt}; }
    SnippetResult<platform::SymmetricKey> create() override
    {
        key_ = platform::SymmetricKey::random();
        return *key_;
    }

private:
    std::optional<platform::SymmetricKey> key_;
};

void BM_TabSwitch(benchmark::State& state)
{
    QTemporaryDir dir;
    UserSettings settings(dir.filePath(QStringLiteral("quillmar.conf")));
    // Snippets in a folder of ours.
    MainWindow window(settings,
                      std::make_unique<SnippetStore>(SnippetPaths(dir.filePath(QStringLiteral("data")).toStdString()),
                                                     std::make_unique<MemoryKeys>()));
    window.resize(1280, 800);
    std::vector<QUuid> ids;
    for (int i = 0; i < 10; ++i) {
        // A screen full of text and some scrollback, then a running child.
        auto session = window.workspace().open(SessionTarget::tool(
            QStringLiteral("busy"), QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"), QStringLiteral("seq -f 'line %g of a busy session, with some width to it' 1 2000; "
                                                  "exec sleep 600")}));
        ids.push_back(session->id);
    }
    window.show();
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 3000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    std::size_t next = 0;
    double worst = 0;
    std::vector<double> times;
    for (auto _ : state) {
        const QUuid id = ids[next++ % ids.size()];
        QElapsedTimer timer;
        timer.start();
        window.workspace().activate(id);
        window.detailStack()->repaint();
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        worst = std::max(worst, seconds);
        times.push_back(seconds);
        state.SetIterationTime(seconds);
        // Let queued work (focus, output) run between switches, as between key presses.
        QCoreApplication::processEvents();
    }
    state.counters["worst_ms"] = worst * 1000;
    // The first ten are each terminal's first showing.
    state.counters["first_round_worst_ms"] =
        *std::max_element(times.begin(), times.begin() + std::min<std::ptrdiff_t>(10, std::ssize(times))) * 1000;
    std::sort(times.begin(), times.end());
    state.counters["p95_ms"] = times[times.size() * 95 / 100] * 1000;
}

}  // namespace

BENCHMARK(BM_TabSwitch)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    auto queue = ravelgrid::QtDeliveryQueue::installAsMain();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
