// The OpenGL surface over a shown view, on llvmpipe under xvfb-run.
#include "platform/FakeScheduler.h"
#include "platform/Log.h"
#include "ravelgrid/gpu/opengl/GpuTerminalRenderer.h"
#include "ravelgrid/view/GpuTerminalHost.h"
#include "ravelgrid/view/TerminalView.h"

#include <QOpenGLWidget>
#include <QSignalSpy>
#include <QTest>

#include <mutex>

using namespace ravelgrid;
using State = GpuRendererStatus::State;

namespace {

std::mutex logLock;
std::vector<std::string> logLines;

void captureLog() {
    platform::setLogSink([](platform::LogLevel, std::string_view, std::string_view message) {
        std::lock_guard guard(logLock);
        logLines.emplace_back(message);
    });
}

std::vector<std::string> linesContaining(std::string_view text) {
    std::lock_guard guard(logLock);
    std::vector<std::string> found;
    for (const auto& line : logLines)
        if (line.find(text) != std::string::npos)
            found.push_back(line);
    return found;
}

struct ShownView {
    platform::FakeScheduler clock;
    QWidget window;
    TerminalView* view;
    bool exposed = false;
    ShownView() {
        window.resize(400, 240);
        view = new TerminalView(&window, std::nullopt, {}, clock);
        view->setGeometry(0, 0, 400, 240);
        window.show();
        exposed = QTest::qWaitForWindowExposed(&window);
    }
    // Runs the event loop and the fake clock until `done` or a timeout.
    template <typename Done>
    bool pump(Done done, int steps = 400) {
        for (int i = 0; i < steps; ++i) {
            if (done())
                return true;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            clock.advance(1'000'000);
            QTest::qWait(2);
        }
        return done();
    }
    bool healthy() { return view->gpuRendererStatus().state == State::healthy; }
    void failNextFrame() {
        view->gpuHost()->renderer()->frames().forceErrorOnce(GL_OUT_OF_MEMORY);
        view->terminal().feed("x");
        view->gpuHost()->requestFrame();
    }
};

}  // namespace

class GpuHostingTests : public QObject {
    Q_OBJECT

private slots:
    void init() {
        captureLog();
        std::lock_guard guard(logLock);
        logLines.clear();
        GpuTerminalHost::shaderSearch() = {};
    }

    void enablingGoesThroughWaitingToHealthy() {
        ShownView s;
        QSignalSpy spy(s.view, &TerminalView::gpuRendererStatusDidChange);
        QVERIFY(s.view->enableGpuRenderer(true));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(s.view->gpuRendererStatus().state, State::waitingForFirstFrame);
        QVERIFY(s.pump([&] { return s.healthy(); }));
        QVERIFY(s.view->gpuRendererStatus().presentedFrameCount >= 1);
        QCOMPARE(spy.count(), 2);
        // Enabling again changes nothing and says nothing.
        QVERIFY(s.view->enableGpuRenderer(true));
        QCOMPARE(spy.count(), 2);
        QVERIFY(s.view->findChild<QOpenGLWidget*>());
    }

    void noShadersKeepsThePainter() {
        GpuTerminalHost::shaderSearch() = {.builtIn = false, .folders = {}};
        ShownView s;
        QVERIFY(!s.view->enableGpuRenderer(true));
        QCOMPARE(s.view->gpuRendererStatus().state, State::disabled);
        QCOMPARE(linesContaining("Failed to load OpenGL shader source: ravelgrid/gpu/shaders").size(), size_t(1));
        QVERIFY(!s.view->gpuHost()->coversView());
    }

    void failuresTenSecondsApartFallBackToThePainter() {
        ShownView s;
        QVERIFY(s.view->enableGpuRenderer(true));
        QVERIFY(s.pump([&] { return s.healthy(); }));
        s.failNextFrame();
        QVERIFY(s.pump([&] { return !linesContaining("action=replace-opengl").empty(); }));
        QVERIFY(s.pump([&] { return s.healthy(); }));
        s.clock.advanceSeconds(10);
        s.failNextFrame();
        QVERIFY(s.pump([&] { return s.view->gpuRendererStatus().state == State::fellBackToPainter; }));
        QCOMPARE(linesContaining("action=qpainter").size(), size_t(1));
        QCOMPARE(linesContaining("Ravelgrid: OpenGL renderer rebind failed; falling back to QPainter: automatic "
                                 "recovery refused: last replacement 10.0 s ago")
                     .size(),
                 size_t(1));
        QVERIFY(!s.view->gpuHost()->coversView());
    }

    void failuresThirtyOneSecondsApartReplaceTwice() {
        ShownView s;
        QVERIFY(s.view->enableGpuRenderer(true));
        QVERIFY(s.pump([&] { return s.healthy(); }));
        s.failNextFrame();
        QVERIFY(s.pump([&] { return linesContaining("action=replace-opengl").size() == 1; }));
        QVERIFY(s.pump([&] { return s.healthy(); }));
        s.clock.advanceSeconds(31);
        s.failNextFrame();
        QVERIFY(s.pump([&] { return linesContaining("action=replace-opengl").size() == 2; }));
        QVERIFY(s.pump([&] { return s.healthy(); }));
        QVERIFY(linesContaining("action=qpainter").empty());
        // Retired renderers go once idle.
        QVERIFY(s.pump([&] { return s.view->gpuHost()->retiredCount() == 0; }));
    }

    void anotherWindowIsARebind() {
        ShownView s;
        QVERIFY(s.view->enableGpuRenderer(true));
        QVERIFY(s.pump([&] { return s.healthy(); }));
        std::vector<State> states;
        connect(s.view, &TerminalView::gpuRendererStatusDidChange, this,
                [&] { states.push_back(s.view->gpuRendererStatus().state); });
        QWidget other;
        other.resize(400, 240);
        other.show();
        QVERIFY(QTest::qWaitForWindowExposed(&other));
        s.view->setParent(&other);
        s.view->show();
        QVERIFY(s.pump([&] { return !states.empty() && states.back() == State::healthy; }));
        QCOMPARE(states.front(), State::recovering);
        s.view->setParent(&s.window);
    }

    // The virtual X server gives no window focus, so only the cases that
    // must not blink are checked here.
    void caretBlinkTimerStaysOffWhenTheCaretMustNotBlink() {
        ShownView s;
        QVERIFY(s.view->enableGpuRenderer(true));
        QVERIFY(s.pump([&] { return s.healthy(); }));
        GpuTerminalHost& host = *s.view->gpuHost();
        // DECSCUSR 6 steady bar; 1 blinking block but hidden (DECTCEM off).
        for (const char* sequence : {"\x1b[6 q", "\x1b[1 q\x1b[?25l"}) {
            s.view->terminal().feed(sequence);
            host.requestFrame();
            s.pump([] { return false; }, 50);
            QVERIFY2(!host.cursorBlinkTimerActive(), sequence + 1);
            QVERIFY(host.cursorBlinkOn());
        }
    }

    void replacementWithoutShadersFallsBack() {
        ShownView s;
        QVERIFY(s.view->enableGpuRenderer(true));
        QVERIFY(s.pump([&] { return s.healthy(); }));
        GpuTerminalHost::shaderSearch() = {.builtIn = false, .folders = {}};
        s.failNextFrame();
        QVERIFY(s.pump([&] { return s.view->gpuRendererStatus().state == State::fellBackToPainter; }));
    }
};

QTEST_MAIN(GpuHostingTests)
#include "GpuHostingTests.moc"
