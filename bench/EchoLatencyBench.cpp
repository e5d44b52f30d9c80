// Keypress to painted frame: a key event into a shown view whose child is
// `cat` on a pty (raw mode, so cat itself echoes), timed until the frame
// holding the echo is painted and flushed. Run on a real X server (xvfb-run)
// for the figures; the software (CPU) painter draws.
#include "ravelgrid/view/LocalProcessTerminalView.h"
#include "ravelgrid/view/QtDeliveryQueue.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QPaintEvent>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

using namespace ravelgrid;

namespace {

// Marks when the paint after an echo is done.
class TimedView final : public LocalProcessTerminalView {
public:
    QElapsedTimer clock;
    int paints = 0;
    qint64 lastPaintEndNs = 0;
    qint64 echoedNs = 0;
    int paintsAtKey = 0;
    bool waiting = false;

protected:
    void paintEvent(QPaintEvent* event) override
    {
        LocalProcessTerminalView::paintEvent(event);
        ++paints;
        lastPaintEndNs = clock.nsecsElapsed();
    }
    void dataReceived(std::span<const uint8_t> slice) override
    {
        LocalProcessTerminalView::dataReceived(slice);
        // Painted in this turn, not in a later pass.
        if (waiting && paints > paintsAtKey) {
            echoedNs = clock.nsecsElapsed();
            waiting = false;
        }
    }
};

void BM_KeypressToPaintedEcho(benchmark::State& state)
{
    for (auto _ : state) {
        TimedView view;
        view.clock.start();
        const QSizeF cell = *view.cellDimension();
        view.resize(int(std::ceil(100 * cell.width() + view.reservedScrollerWidth())),
                    int(std::ceil(30 * cell.height())));
        view.show();
        view.activateWindow();
        view.setFocus();
        if (!QTest::qWaitForWindowExposed(&view)) {
            state.SkipWithError("the view was not exposed");
            return;
        }
        view.startProcess("/bin/sh", {"-c", "stty raw -echo; echo ready; exec cat"});
        QElapsedTimer start;
        start.start();
        while (!view.terminal().getLine(0) ||
               view.terminal().getText({0, 0}, {5, 0}).find("ready") == std::string::npos) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            if (start.elapsed() > 5000) {
                state.SkipWithError("cat did not start");
                return;
            }
        }

        std::mt19937 random(7);
        std::vector<double> latenciesMs;
        const int keys = 400;
        int missed = 0;
        for (int i = 0; i < keys + 20; ++i) {
            // A typist's pause between keys; whatever is deferred runs now.
            const qint64 pauseUntil = view.clock.nsecsElapsed() + qint64(20 + random() % 40) * 1'000'000;
            while (view.clock.nsecsElapsed() < pauseUntil)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);

            const bool enter = i % 60 == 59;
            const int key = enter ? Qt::Key_Return : Qt::Key_A;
            const QString text = enter ? QStringLiteral("\r") : QStringLiteral("a");
            view.paintsAtKey = view.paints;
            view.waiting = true;
            const qint64 t0 = view.clock.nsecsElapsed();
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, enter ? 36 : 38, enter ? 0xff0d : 0x61, 0, text);
            QCoreApplication::sendEvent(&view, &press);
            QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, enter ? 36 : 38, enter ? 0xff0d : 0x61, 0, text);
            QCoreApplication::sendEvent(&view, &release);
            while (view.waiting && view.clock.nsecsElapsed() - t0 < 1'000'000'000)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
            if (view.waiting) {
                view.waiting = false;
                ++missed;
                continue;
            }
            if (i >= 20)
                latenciesMs.push_back(double(view.echoedNs - t0) / 1e6);
        }
        view.terminate();
        std::sort(latenciesMs.begin(), latenciesMs.end());
        if (latenciesMs.empty()) {
            state.SkipWithError("no echo was painted");
            return;
        }
        auto at = [&](double q) {
            return latenciesMs[std::min(latenciesMs.size() - 1, size_t(q * latenciesMs.size()))];
        };
        state.counters["median_ms"] = at(0.5);
        state.counters["p95_ms"] = at(0.95);
        state.counters["max_ms"] = latenciesMs.back();
        state.counters["missed"] = missed;
        state.SetIterationTime(at(0.5) / 1e3);
    }
}

}  // namespace

BENCHMARK(BM_KeypressToPaintedEcho)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    auto queue = QtDeliveryQueue::installAsMain();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
