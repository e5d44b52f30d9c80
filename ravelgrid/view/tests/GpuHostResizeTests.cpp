// The OpenGL surface's own scale, live resizes, when frames may be shown,
// and switching the path off and on; on llvmpipe under xvfb-run.
#include "platform/FakeScheduler.h"
#include "platform/Log.h"
#include "ravelgrid/drawing/ColorResolver.h"
#include "ravelgrid/gpu/opengl/GpuTerminalRenderer.h"
#include "ravelgrid/view/CaretView.h"
#include "ravelgrid/view/GpuTerminalHost.h"
#include "ravelgrid/view/TerminalView.h"
#include "support/GpuViewTestSupport.h"

#include <QOpenGLWidget>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <cmath>
#include <mutex>

using namespace ravelgrid;
using State = GpuRendererStatus::State;
using namespace std::chrono_literals;

namespace {

std::mutex logLock;
std::vector<std::string> logLines;

std::size_t linesContaining(std::string_view text)
{
    std::lock_guard guard(logLock);
    std::size_t found = 0;
    for (const auto& line : logLines)
        found += line.find(text) != std::string::npos;
    return found;
}

struct ShownView : ShownWindowView {
    explicit ShownView(int width = 400, int height = 300) : ShownWindowView(width, height) {}
    GpuTerminalHost& host() { return *view->gpuHost(); }
    // Events only; the fake clock stands still, so no coalesced pass runs.
    void settleWithoutClock()
    {
        for (int i = 0; i < 20; ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            QTest::qWait(2);
        }
    }
    bool enableAndWait()
    {
        return exposed && view->enableGpuRenderer(true) && pump([&] { return healthy(); });
    }
    // Waits until the frame in flight is done, so the next one is drawn.
    bool idle()
    {
        return pump([&] { return !host().renderer() || !host().renderer()->coordinator().hasActiveFrame(); });
    }
    QOpenGLWidget* overlay() { return host().overlay(); }
    QRgb cellInterior(const QImage& image, int col, int row)
    {
        const QSizeF cell = *view->cellDimension();
        const qreal s = image.devicePixelRatio();
        return image.pixel(int((col + 0.5) * cell.width() * s), int((row + 0.5) * cell.height() * s));
    }
};

bool near(QRgb a, QRgb b, int tolerance = 2)
{
    return std::abs(qRed(a) - qRed(b)) <= tolerance && std::abs(qGreen(a) - qGreen(b)) <= tolerance &&
           std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

}  // namespace

class GpuHostResizeTests : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        platform::setLogSink([](platform::LogLevel, std::string_view, std::string_view message) {
            std::lock_guard guard(logLock);
            logLines.emplace_back(message);
        });
        std::lock_guard guard(logLock);
        logLines.clear();
        GpuTerminalHost::shaderSearch() = {};
    }

    void scaleOverrideDrawsIntoItsOwnFramebuffer_data()
    {
        QTest::addColumn<double>("scale");  // 0: unset
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<double>("drawnScale");
        QTest::newRow("unset") << 0.0 << 400 << 300 << 1.0;
        QTest::newRow("2.0") << 2.0 << 800 << 600 << 2.0;
        QTest::newRow("1.5") << 1.5 << 600 << 450 << 1.5;
        QTest::newRow("0.5 is 1.0") << 0.5 << 400 << 300 << 1.0;
        QTest::newRow("1.0") << 1.0 << 400 << 300 << 1.0;
        QTest::newRow("not a number is 1.0") << std::nan("") << 400 << 300 << 1.0;
        QTest::newRow("infinite is 1.0") << HUGE_VAL << 400 << 300 << 1.0;
    }
    void scaleOverrideDrawsIntoItsOwnFramebuffer()
    {
        QFETCH(double, scale);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(double, drawnScale);
        ShownView s;
        if (s.window.devicePixelRatioF() != 1.0)
            QSKIP("the sizes below are for a screen of one pixel per point");
        QVERIFY(s.enableAndWait());
        QVERIFY(s.idle());
        s.view->setGpuScaleFactorOverride(scale == 0 ? std::nullopt : std::optional(scale));
        // Red cells at the top left, the rest the background.
        s.view->terminal().feed("\x1b[41m    \x1b[0m\r\n\x1b[41m    \x1b[0m");
        s.view->displayNow();
        const auto target = [&] { return s.host().lastFrameTarget(); };
        QVERIFY(s.pump([&] {
            return target().width == width && target().height == height &&
                   !s.host().renderer()->coordinator().hasActiveFrame();
        }));
        QCOMPARE(target().scale, drawnScale);

        // Scaled back onto the surface, the cells keep their colours.
        const QImage image = s.overlay()->grabFramebuffer();
        QCOMPARE(image.size(), QSize(400, 300));
        const QRgb red = colorToQColor(s.view->terminal().ansiColors[1]).rgb();
        const QRgb background = s.view->effectiveNativeBackground().rgb();
        for (int col : {0, 1, 2})
            for (int row : {0, 1})
                QVERIFY2(near(s.cellInterior(image, col, row), red),
                         qPrintable(QString("cell %1,%2").arg(col).arg(row)));
        QVERIFY(near(s.cellInterior(image, 10, 5), background));
        QVERIFY(near(s.cellInterior(image, 4, 0), background));
    }

    void settingTheSameOverrideDrawsNothing()
    {
        ShownView s;
        QVERIFY(s.enableAndWait());
        s.view->setGpuScaleFactorOverride(2.0);
        QVERIFY(s.pump([&] { return s.host().lastFrameTarget().scale == 2.0; }));
        QVERIFY(s.idle());
        s.pump([] { return false; }, 30);
        const auto before = s.host().framesRequested();
        s.view->setGpuScaleFactorOverride(2.0);
        s.pump([] { return false; }, 30);
        QCOMPARE(s.host().framesRequested(), before);
        // Back to the screen's own ratio draws again.
        s.view->setGpuScaleFactorOverride(std::nullopt);
        QVERIFY(s.pump([&] { return s.host().framesRequested() > before; }));
        QCOMPARE(s.host().lastFrameTarget().scale, std::max(s.overlay()->devicePixelRatioF(), 1.0));
    }

    void liveResizeThrottleSwitch_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<bool>("unset");
        QTest::addColumn<bool>("on");
        QTest::newRow("unset") << QByteArray() << true << true;
        QTest::newRow("0") << QByteArray("0") << false << false;
        QTest::newRow("false") << QByteArray("false") << false << false;
        QTest::newRow("FALSE") << QByteArray("FALSE") << false << false;
        QTest::newRow("False") << QByteArray("False") << false << true;
        QTest::newRow("empty") << QByteArray("") << false << true;
        QTest::newRow("1") << QByteArray("1") << false << true;
        QTest::newRow("0 with a space") << QByteArray("0 ") << false << true;
        QTest::newRow("no") << QByteArray("no") << false << true;
    }
    void liveResizeThrottleSwitch()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, unset);
        QFETCH(bool, on);
        QCOMPARE(GpuTerminalHost::liveResizeThrottleValue(unset ? nullptr : value.constData()), on);
    }

    // Run once as it is and once with RAVELGRID_METAL_LIVE_RESIZE_THROTTLE
    // switching the throttle off (see the test list).
    void liveResizeDrawsOncePerDisplayInterval()
    {
        const bool throttle = GpuTerminalHost::liveResizeThrottle();
        ShownView s;
        QVERIFY(s.enableAndWait());
        QVERIFY(s.idle());
        const int cols = s.view->terminal().cols;
        // After a pause a resize is no live resize: drawn at once.
        s.clock.advance(1s);
        auto before = s.host().framesRequested();
        s.view->resize(390, 290);
        QVERIFY(!s.view->inLiveResize());
        QVERIFY(!s.view->pendingGpuDisplay());
        QVERIFY(s.pump([&] { return s.host().framesRequested() > before; }, 50));
        QVERIFY(s.idle());

        // The next steps come 10 ms apart: a live resize.
        const int widths[] = {360, 330, 300};
        for (int width : widths) {
            s.clock.advance(10ms);
            before = s.host().framesRequested();
            const auto presented = s.view->gpuRendererStatus().presentedFrameCount;
            s.view->resize(width, 280);
            QVERIFY(s.view->inLiveResize());
            QVERIFY(s.view->terminal().cols < cols);  // the grid follows at once
            if (!throttle) {
                QVERIFY(!s.view->pendingGpuDisplay());
                QVERIFY(s.pump([&] { return s.host().framesRequested() > before; }, 50));
                QVERIFY(s.idle());
                continue;
            }
            QVERIFY(s.view->pendingGpuDisplay());
            s.settleWithoutClock();
            QCOMPARE(s.host().framesRequested(), before);
            // The surface kept its last frame, stretched: nothing new presented.
            QCOMPARE(s.view->gpuRendererStatus().presentedFrameCount, presented);
            QCOMPARE(s.overlay()->size(), QSize(width, 280));
            // Just before the interval is over nothing is drawn; then one frame.
            s.clock.advance(TerminalView::displayCoalescingNs - 1'000'000);
            s.settleWithoutClock();
            QCOMPARE(s.host().framesRequested(), before);
            s.clock.advance(1'000'000);
            QVERIFY(!s.view->pendingGpuDisplay());
            QVERIFY(s.pump([&] { return s.host().framesRequested() > before; }, 50));
            QVERIFY(s.idle());
        }

        // The real frame at the final size: the background, no stretched rows.
        s.view->terminal().feed("\x1b[H\x1b[41m  \x1b[0m");
        s.view->displayNow();
        const int finalWidth = int(300 * s.overlay()->devicePixelRatioF());
        QVERIFY(s.pump([&] { return s.host().lastFrameTarget().width == finalWidth; }));
        QVERIFY(s.idle());
        const QImage image = s.overlay()->grabFramebuffer();
        QVERIFY(near(s.cellInterior(image, 0, 0), colorToQColor(s.view->terminal().ansiColors[1]).rgb()));
        QVERIFY(near(s.cellInterior(image, 3, 2), s.view->effectiveNativeBackground().rgb()));
    }

    void framesAreShownOnlyWhenTheViewCanBeSeen_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("eligible");
        QTest::newRow("shown") << "none" << true;
        QTest::newRow("view hidden") << "hideView" << false;
        QTest::newRow("view empty") << "emptyView" << false;
        QTest::newRow("no height") << "flatView" << false;
        QTest::newRow("window minimised") << "minimise" << false;
        QTest::newRow("window hidden") << "hideWindow" << false;
        QTest::newRow("path off") << "disable" << false;
    }
    void framesAreShownOnlyWhenTheViewCanBeSeen()
    {
        QFETCH(QString, change);
        QFETCH(bool, eligible);
        ShownView s;
        QVERIFY(s.enableAndWait());
        QVERIFY(s.host().isRetryEligible());
        if (change == "hideView")
            s.view->hide();
        else if (change == "emptyView")
            s.view->resize(0, 0);
        else if (change == "flatView")
            s.view->resize(300, 0);
        else if (change == "minimise")
            s.window.showMinimized();
        else if (change == "hideWindow")
            s.window.hide();
        else if (change == "disable")
            s.view->enableGpuRenderer(false);
        QCoreApplication::processEvents();
        QCOMPARE(s.host().isRetryEligible(), eligible);
    }

    void anUnexposedWindowIsNotEligible()
    {
        ShownView s;
        QVERIFY(s.enableAndWait());
        // Unmapped by the window system behind Qt's back: the widgets are
        // still visible, but nothing of the window is on screen.
        QWindow* handle = s.window.windowHandle();
        QVERIFY(handle && handle->isExposed());
        if (QProcess::execute("xdotool", {"windowunmap", QString::number(handle->winId())}) != 0)
            QSKIP("needs xdotool");
        QVERIFY(QTest::qWaitFor([&] { return !handle->isExposed(); }, 5000));
        QVERIFY(s.window.isVisible() && s.view->isVisible());
        QVERIFY(!s.host().isRetryEligible());
        // Mapped again: eligible once more.
        QProcess::execute("xdotool", {"windowmap", QString::number(handle->winId())});
        QVERIFY(QTest::qWaitFor([&] { return handle->isExposed(); }, 5000));
        QVERIFY(s.host().isRetryEligible());
    }

    void aWindowOnScreenAgainGetsAFreshFrame_data()
    {
        QTest::addColumn<bool>("minimise");
        QTest::newRow("restored") << true;
        QTest::newRow("mapped again") << false;
    }
    void aWindowOnScreenAgainGetsAFreshFrame()
    {
        QFETCH(bool, minimise);
        ShownView s;
        QVERIFY(s.enableAndWait());
        QVERIFY(s.idle());
        s.pump([] { return false; }, 30);
        const auto before = s.host().framesRequested();
        QWindow* handle = s.window.windowHandle();
        const QString id = QString::number(handle->winId());
        if (minimise) {
            s.window.showMinimized();
            s.pump([] { return false; }, 20);
            s.window.showNormal();
        } else {
            if (QProcess::execute("xdotool", {"windowunmap", id}) != 0)
                QSKIP("needs xdotool");
            QVERIFY(QTest::qWaitFor([&] { return !handle->isExposed(); }, 5000));
            QProcess::execute("xdotool", {"windowmap", id});
        }
        QVERIFY(s.pump([&] { return s.host().framesRequested() > before; }));
    }

    // The renderer draws the caret: a change of the cursor alone, with no
    // row to redraw, still needs a frame.
    void aCursorChangeAloneDrawsAFrame_data()
    {
        QTest::addColumn<QByteArray>("sequence");
        QTest::addColumn<bool>("draws");
        QTest::newRow("moved") << QByteArray("\x1b[5;10H") << true;
        QTest::newRow("hidden") << QByteArray("\x1b[?25l") << true;
        QTest::newRow("shown again") << QByteArray("\x1b[?25h") << false;
    }
    void aCursorChangeAloneDrawsAFrame()
    {
        QFETCH(QByteArray, sequence);
        QFETCH(bool, draws);
        ShownView s;
        QVERIFY(s.enableAndWait());
        s.view->terminal().feed("\x1b[H");
        s.view->displayNow();
        QVERIFY(s.idle());
        s.pump([] { return false; }, 30);
        const auto before = s.host().framesRequested();
        s.view->terminal().feed(sequence.toStdString());
        s.view->displayNow();
        const bool drew = s.pump([&] { return s.host().framesRequested() > before; }, draws ? 400 : 40);
        QCOMPARE(drew, draws);
    }

    void switchingOffKeepsTheCountAndSwitchingOnStartsAgain()
    {
        ShownView s;
        QSignalSpy spy(s.view, &TerminalView::gpuRendererStatusDidChange);
        // Off on a view that never had the path: nothing to say.
        QVERIFY(s.view->enableGpuRenderer(false));
        QCOMPARE(spy.count(), 0);
        QCOMPARE(s.view->gpuRendererStatus().state, State::disabled);

        QVERIFY(s.enableAndWait());
        // The renderer draws the caret; the caret view stays out of the way.
        QVERIFY(!s.view->caretView()->isVisible());
        const GpuRendererStatus on = s.view->gpuRendererStatus();
        QVERIFY(on.presentedFrameCount >= 1);
        spy.clear();
        QVERIFY(s.view->enableGpuRenderer(false));
        QCOMPARE(spy.count(), 1);
        const GpuRendererStatus off = s.view->gpuRendererStatus();
        QCOMPARE(off.state, State::disabled);
        QCOMPARE(off.presentedFrameCount, on.presentedFrameCount);
        QCOMPARE(off.lastFramePresentedAt, on.lastFramePresentedAt);
        QVERIFY(!s.host().active());
        QVERIFY(!s.host().coversView());
        QVERIFY(s.view->caretView()->isVisible());
        QVERIFY(s.pump([&] { return s.host().retiredCount() == 0; }));
        // Off again: already so.
        QVERIFY(s.view->enableGpuRenderer(false));
        QCOMPARE(spy.count(), 1);

        // On again: a fresh count, and healthy once more.
        QVERIFY(s.view->enableGpuRenderer(true));
        QCOMPARE(s.view->gpuRendererStatus(), (GpuRendererStatus{State::waitingForFirstFrame, 0, std::nullopt}));
        QVERIFY(s.pump([&] { return s.healthy(); }));
    }

    void aRendererSwitchedOffMidFrameIsKeptUntilIdle_data()
    {
        QTest::addColumn<bool>("midFrame");
        QTest::newRow("frame in flight") << true;
        QTest::newRow("idle") << false;
    }
    void aRendererSwitchedOffMidFrameIsKeptUntilIdle()
    {
        QFETCH(bool, midFrame);
        ShownView s;
        QVERIFY(s.enableAndWait());
        QVERIFY(s.idle());
        if (midFrame) {
            // The frame's fence is polled on the fake clock, which stands still.
            s.view->terminal().feed("z");
            s.host().requestFrame();
            QVERIFY(QTest::qWaitFor([&] { return s.host().renderer()->coordinator().hasActiveFrame(); }, 5000));
        }
        QVERIFY(s.view->enableGpuRenderer(false));
        QCOMPARE(s.host().retiredCount(), std::size_t(midFrame ? 1 : 0));
        QVERIFY(!s.host().overlay());
        QVERIFY(s.pump([&] { return s.host().retiredCount() == 0; }));
    }

    void switchingOffAndOnForgetsTheLastReplacement()
    {
        ShownView s;
        QVERIFY(s.enableAndWait());
        s.host().renderer()->frames().forceErrorOnce(GL_OUT_OF_MEMORY);
        s.view->terminal().feed("x");
        s.host().requestFrame();
        QVERIFY(s.pump([&] { return linesContaining("action=replace-opengl") == 1; }));
        QVERIFY(s.pump([&] { return s.healthy(); }));
        s.view->enableGpuRenderer(false);
        QVERIFY(s.enableAndWait());
        s.clock.advance(5s);
        s.host().renderer()->frames().forceErrorOnce(GL_OUT_OF_MEMORY);
        s.view->terminal().feed("y");
        s.host().requestFrame();
        QVERIFY(s.pump([&] { return linesContaining("action=replace-opengl") == 2; }));
        QVERIFY(s.pump([&] { return s.healthy(); }));
        QCOMPARE(linesContaining("action=qpainter"), std::size_t(0));
    }

    void aRefusedRecoveryIsRecoveringFirstThenFallsBack()
    {
        ShownView s;
        QVERIFY(s.enableAndWait());
        std::vector<State> states;
        connect(s.view, &TerminalView::gpuRendererStatusDidChange, this,
                [&] { states.push_back(s.view->gpuRendererStatus().state); });
        const GpuRendererRecoveryReport report{GpuFrameRefusalReason::missingDrawable, 2.5, std::nullopt, std::nullopt};
        s.host().handleRecovery(report, s.host().rendererGeneration());
        QVERIFY(s.pump([&] { return s.healthy(); }));
        QCOMPARE(states, (std::vector<State>{State::recovering, State::healthy}));
        QCOMPARE(linesContaining("Ravelgrid OpenGL recovery reason=missingDrawable duration=2.500 status=none "
                                 "error=none action=replace-opengl"),
                 std::size_t(1));
        states.clear();
        s.clock.advance(3s);
        s.host().handleRecovery(report, s.host().rendererGeneration());
        QCOMPARE(states, (std::vector<State>{State::recovering, State::fellBackToPainter}));
        QVERIFY(s.view->caretView()->isVisible());
    }

    void requestsOfAReplacedRendererAreIgnored()
    {
        ShownView s;
        QVERIFY(s.enableAndWait());
        const auto first = s.host().rendererGeneration();
        const GpuRendererRecoveryReport report{GpuFrameRefusalReason::missingCommandBuffer, 1.0, std::nullopt,
                                               std::nullopt};
        s.host().handleRecovery(report, first);
        QVERIFY(s.pump([&] { return s.healthy(); }));
        QVERIFY(s.host().rendererGeneration() > first);
        // A late request of the first renderer would otherwise count as a
        // second failure within 30 s and fall back.
        s.host().handleRecovery(report, first);
        QCOMPARE(linesContaining("Ravelgrid OpenGL recovery"), std::size_t(1));
        QCOMPARE(s.view->gpuRendererStatus().state, State::healthy);
    }
};

QTEST_MAIN(GpuHostResizeTests)
#include "GpuHostResizeTests.moc"
