// The OpenGL surface over a shown view, on llvmpipe under xvfb-run.
#include "platform/FakeScheduler.h"
#include "platform/Log.h"
#include "ravelgrid/drawing/ColorResolver.h"
#include "ravelgrid/gpu/opengl/GpuTerminalRenderer.h"
#include "ravelgrid/view/GpuTerminalHost.h"
#include "ravelgrid/view/TerminalView.h"
#include "support/GpuViewTestSupport.h"

#include <QElapsedTimer>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QOpenGLWidget>
#include <QSignalSpy>
#include <QTest>

#include <mutex>

using namespace ravelgrid;
using State = GpuRendererStatus::State;

namespace {

std::mutex logLock;
std::vector<std::string> logLines;

void captureLog()
{
    platform::setLogSink([](platform::LogLevel, std::string_view, std::string_view message) {
        std::lock_guard guard(logLock);
        logLines.emplace_back(message);
    });
}

std::vector<std::string> linesContaining(std::string_view text)
{
    std::lock_guard guard(logLock);
    std::vector<std::string> found;
    for (const auto& line : logLines)
        if (line.find(text) != std::string::npos)
            found.push_back(line);
    return found;
}

struct ShownView : ShownWindowView {
    ShownView() : ShownWindowView(400, 240) {}
    void failNextFrame()
    {
        view->gpuHost()->renderer()->frames().forceErrorOnce(GL_OUT_OF_MEMORY);
        view->terminal().feed("x");
        view->gpuHost()->requestFrame();
    }
};

// The surface's framebuffer as it is, top row first, without drawing it.
QImage framebufferAsDrawn(GpuOverlayWidget& overlay)
{
    const QSize size = overlay.deviceSize();
    QImage image(size, QImage::Format_RGBA8888);
    overlay.makeCurrent();
    QOpenGLFunctions& gl = *QOpenGLContext::currentContext()->functions();
    gl.glBindFramebuffer(GL_FRAMEBUFFER, overlay.defaultFramebufferObject());
    gl.glReadPixels(0, 0, size.width(), size.height(), GL_RGBA, GL_UNSIGNED_BYTE, image.bits());
    overlay.doneCurrent();
    return image.mirrored().convertToFormat(QImage::Format_RGB32);
}

}  // namespace

class GpuHostingTests : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        captureLog();
        std::lock_guard guard(logLock);
        logLines.clear();
        GpuTerminalHost::shaderSearch() = {};
    }

    void enablingGoesThroughWaitingToHealthy()
    {
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

    // Drawing now draws before it returns; a request only schedules.
    void drawNowDrawsBeforeItReturns()
    {
        ShownView s;
        s.view->drawGpuViewNow();  // no surface yet: nothing to do
        QVERIFY(s.view->enableGpuRenderer(true));
        QVERIFY(s.pump([&] { return s.healthy(); }));
        GpuTerminalHost& host = *s.view->gpuHost();
        s.view->feed("now");
        s.view->displayNow();
        const auto before = host.framesRequested();
        host.requestFrame();
        QCOMPARE(host.framesRequested(), before);
        s.view->drawGpuViewNow();
        QCOMPARE(host.framesRequested(), before + 1);
    }

    // A change displayed in the same turn as a frame drawn at once gets a
    // frame of its own.
    void theFrameAfterDrawNowShowsTheLaterChange()
    {
        ShownView s;
        QVERIFY(s.view->enableGpuRenderer(true));
        QVERIFY(s.pump([&] { return s.healthy(); }));
        GpuTerminalHost& host = *s.view->gpuHost();
        s.pump([] { return false; }, 20);
        s.view->drawGpuViewNow();
        const auto drawnNow = host.framesRequested();
        s.view->feed("\r\nBBBBBBBB");
        s.view->displayNow();
        QVERIFY(s.pump([&] { return host.framesRequested() > drawnNow; }));
        QVERIFY(s.pump([&] { return !host.renderer()->coordinator().hasActiveFrame(); }));
        // Row 1 holds the letters' ink; read as drawn (a grab would draw again).
        const QImage image = framebufferAsDrawn(*host.overlay());
        const QSizeF cell = *s.view->cellDimension();
        const qreal scale = host.overlay()->devicePixelRatioF();
        const QRgb background = s.view->effectiveNativeBackground().rgb();
        int ink = 0;
        for (int y = int(cell.height() * scale); y < int(2 * cell.height() * scale); ++y)
            for (int x = 0; x < int(8 * cell.width() * scale); ++x)
                ink += image.pixel(x, y) != background;
        QVERIFY2(ink > 0, "row 1 is empty");
    }

    // The host picks the buffering; the surface draws the same pixels either way.
    void bothBufferingModesDrawTheSameFrame()
    {
        ShownView s;
        QVERIFY(s.view->enableGpuRenderer(true));
        QVERIFY(s.pump([&] { return s.healthy(); }));
        GpuTerminalHost& host = *s.view->gpuHost();
        s.view->feed("\x1b[41mred\x1b[0m plain \x1b[1;4mbold\x1b[0m\r\n\x1b[7m\xe2\x96\x88\xe2\x94\x80 box\x1b[0m");
        const auto frameIn = [&](BufferingMode mode) {
            s.view->setGpuBufferingMode(mode);
            const auto before = host.framesRequested();
            host.requestFrame();
            const bool drawn = s.pump([&] { return host.framesRequested() > before; }) &&
                               s.pump([&] { return !host.renderer()->coordinator().hasActiveFrame(); });
            return drawn ? framebufferAsDrawn(*host.overlay()) : QImage();
        };
        const QImage perRow = frameIn(BufferingMode::perRowPersistent);
        QVERIFY(!perRow.isNull());
        // The red cells are drawn.
        const QSizeF cell = *s.view->cellDimension() * host.overlay()->devicePixelRatioF();
        const QRgb red = colorToQColor(s.view->terminal().ansiColors[1]).rgb();
        int reds = 0;
        for (int y = 0; y < int(cell.height()); ++y)
            for (int x = 0; x < int(3 * cell.width()); ++x)
                reds += perRow.pixel(x, y) == red;
        QVERIFY(reds > 0);
        QVERIFY(host.renderer()->rowCache().entriesWithBuffers() > 0);
        const QImage aggregated = frameIn(BufferingMode::perFrameAggregated);
        QVERIFY(!aggregated.isNull());
        // One set of buffers for the frame: no row keeps its own.
        QVERIFY(host.renderer()->rowCache().size() > 0);
        QCOMPARE(host.renderer()->rowCache().entriesWithBuffers(), size_t(0));
        QVERIFY(perRow == aggregated);
        QVERIFY(frameIn(BufferingMode::perRowPersistent) == perRow);
    }

    // Under the OpenGL surface the view paints nothing; switched off, it
    // paints again, with what changed meanwhile.
    void aCoveredViewIsNotRepainted()
    {
        ShownView s;
        struct Paints : QObject {
            int count = 0;
            bool eventFilter(QObject*, QEvent* event) override
            {
                count += event->type() == QEvent::Paint;
                return false;
            }
        } paints;
        s.view->installEventFilter(&paints);
        QVERIFY(s.view->enableGpuRenderer(true));
        QVERIFY(s.pump([&] { return s.healthy(); }));
        const auto frames = s.view->gpuRendererStatus().presentedFrameCount;
        s.pump([] { return false; }, 20);
        paints.count = 0;
        s.view->feed("\x1b[41mcovered\x1b[0m\r\n");
        s.view->displayNow();
        QVERIFY(s.pump([&] { return s.view->gpuRendererStatus().presentedFrameCount > frames; }));
        s.pump([] { return false; }, 20);
        QCOMPARE(paints.count, 0);
        s.view->enableGpuRenderer(false);
        QVERIFY(s.pump([&] { return paints.count > 0; }));
    }

    void noShadersKeepsThePainter()
    {
        GpuTerminalHost::shaderSearch() = {.builtIn = false, .folders = {}};
        ShownView s;
        QVERIFY(!s.view->enableGpuRenderer(true));
        QCOMPARE(s.view->gpuRendererStatus().state, State::disabled);
        QCOMPARE(linesContaining("Failed to load OpenGL shader source: ravelgrid/gpu/shaders").size(), size_t(1));
        QVERIFY(!s.view->gpuHost()->coversView());
    }

    void failuresTenSecondsApartFallBackToThePainter()
    {
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

    void failuresThirtyOneSecondsApartReplaceTwice()
    {
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

    void anotherWindowIsARebind()
    {
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

    // The caret blinks only while it is a blinking style, shown and focused;
    // the phase flips every 0.7 s and a caret that stops blinking is left on.
    void caretBlinksOnlyWhenItMust()
    {
        ShownView s;
        QVERIFY(s.view->enableGpuRenderer(true));
        QVERIFY(s.pump([&] { return s.healthy(); }));
        GpuTerminalHost& host = *s.view->gpuHost();
        // A painted frame starts or stops the timer: wait for one.
        auto frameAfter = [&](const char* sequence) {
            const auto painted = host.framesRequested();
            s.view->terminal().feed(sequence);
            host.requestFrame();
            return s.pump([&] { return host.framesRequested() > painted; }, 4000);
        };
        auto presented = [&] { return s.view->gpuRendererStatus().presentedFrameCount; };
        // DECSCUSR 6 steady bar; 1 blinking block but hidden (DECTCEM off);
        // a blinking block in a view without focus.
        for (const char* sequence : {"\x1b[6 q", "\x1b[1 q\x1b[?25l", "\x1b[?25h"}) {
            QVERIFY2(frameAfter(sequence), "no frame");
            QVERIFY2(!host.cursorBlinkTimerActive(), sequence + 1);
            QVERIFY(host.cursorBlinkOn());
        }

        s.window.activateWindow();
        s.view->setFocus();
        if (!QTest::qWaitForWindowActive(&s.window) || !QTest::qWaitFor([&] { return s.view->hasFocus(); }, 2000))
            QSKIP("the X server gave the window no focus");
        QVERIFY(frameAfter("\x1b[6 q"));
        QVERIFY2(!host.cursorBlinkTimerActive(), "steady bar");
        // Each flip as the timer makes it: when, the phase it leaves and the
        // frames presented by then. A busy machine may deliver a tick late and
        // the next one early to keep the beat, so each flip is timed from the
        // start: the k-th comes no sooner than k periods after the clock
        // started (before the timer). A tick comes when the timer's period
        // has passed; how late a busy machine delivers it is not the view's.
        struct Flip {
            qint64 at;
            bool on;
            std::uint64_t frames;
        };
        std::vector<Flip> flips;
        QElapsedTimer clock;
        QObject watch;
        connect(&host.cursorBlinkTimer(), &QTimer::timeout, &watch, [&] {
            flips.push_back({clock.elapsed(), host.cursorBlinkOn(), presented()});
        });
        clock.start();
        QVERIFY(frameAfter("\x1b[1 q"));
        QVERIFY2(host.cursorBlinkTimerActive(), "blinking block");
        QCOMPARE(host.cursorBlinkTimer().interval(), GpuTerminalHost::cursorBlinkIntervalMs);
        QVERIFY(host.cursorBlinkOn());
        for (std::size_t k = 1; k <= 2; ++k) {
            QVERIFY2(s.pump([&] { return flips.size() >= k; }, 4000), "the phase never flipped");
            const Flip flip = flips[k - 1];
            QCOMPARE(flip.on, k == 2);
            QVERIFY2(flip.at >= qint64(k) * 600, QByteArray::number(flip.at).constData());
            // Each flip is drawn.
            QVERIFY(s.pump([&] { return presented() > flip.frames; }));
        }
        // Hiding the caret stops the blink with the caret on; showing it again
        // starts it; a steady block then stops it, on, whatever the phase was.
        QVERIFY(s.pump([&] { return !host.cursorBlinkOn(); }, 2000));
        QVERIFY(frameAfter("\x1b[?25l"));
        QVERIFY2(!host.cursorBlinkTimerActive(), "hidden");
        QVERIFY(host.cursorBlinkOn());
        QVERIFY(frameAfter("\x1b[?25h"));
        QVERIFY2(host.cursorBlinkTimerActive(), "shown again");
        QVERIFY(s.pump([&] { return !host.cursorBlinkOn(); }, 2000));
        QVERIFY(frameAfter("\x1b[2 q"));
        QVERIFY2(!host.cursorBlinkTimerActive(), "steady block");
        QVERIFY(host.cursorBlinkOn());
    }

    void replacementWithoutShadersFallsBack()
    {
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
