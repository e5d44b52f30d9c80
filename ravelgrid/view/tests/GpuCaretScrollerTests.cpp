// The OpenGL surface's caret (focus and colours) and the scroll bar over the
// surface, on llvmpipe under xvfb-run.
#include "ravelgrid/gpu/opengl/GpuTerminalRenderer.h"
#include "ravelgrid/view/GpuTerminalHost.h"
#include "ravelgrid/view/TerminalView.h"
#include "support/GpuViewTestSupport.h"

#include <QOpenGLWidget>
#include <QScreen>
#include <QScrollBar>
#include <QTest>

#include <cstdlib>

using namespace ravelgrid;

namespace {

struct ShownView : ShownWindowView {
    ShownView() : ShownWindowView(400, 240) {}
    GpuTerminalHost& host() { return *view->gpuHost(); }
    bool enableAndWait()
    {
        return exposed && view->enableGpuRenderer(true) && pump([&] { return healthy(); });
    }
    // Draws what is pending and waits until the renderer is idle again.
    bool settle()
    {
        view->displayNow();
        return pump([&] { return !host().renderer()->coordinator().hasActiveFrame(); }) &&
               (pump([] { return false; }, 30), true);
    }
    // A frame requested after `before`, then drawn.
    bool drewAfter(std::uint64_t before)
    {
        return pump([&] { return host().framesRequested() > before; }) && settle();
    }
    // The middle of a cell of the surface's last frame.
    QColor cellInterior(int col, int row)
    {
        const QImage image = host().overlay()->grabFramebuffer();
        const QSizeF cell = *view->cellDimension();
        const qreal s = image.devicePixelRatio();
        return QColor(image.pixel(int((col + 0.5) * cell.width() * s), int((row + 0.5) * cell.height() * s)));
    }
};

bool near(QColor a, QColor b)
{
    return std::abs(a.red() - b.red()) <= 2 && std::abs(a.green() - b.green()) <= 2 &&
           std::abs(a.blue() - b.blue()) <= 2;
}

}  // namespace

class GpuCaretScrollerTests : public QObject {
    Q_OBJECT

private slots:
    void init() { GpuTerminalHost::shaderSearch() = {}; }

    // Unfocused, the renderer's caret is a hollow box while it tracks the
    // focus, and drawn (and blinking) as focused while it does not.
    void caretFollowsTheTrackingSetting()
    {
        ShownView s;
        s.view->clearFocus();
        if (s.view->caretFocused())
            QSKIP("the view keeps the focus");
        const QColor caret(255, 0, 0);
        s.view->setCaretColor(caret);
        s.view->feed("\x1b[2 q");
        QVERIFY(s.enableAndWait());
        QVERIFY(s.settle());
        QVERIFY(near(s.cellInterior(0, 0), s.view->nativeBackgroundColor()));

        auto before = s.host().framesRequested();
        s.view->setCaretViewTracksFocus(false);
        QVERIFY(s.drewAfter(before));
        QVERIFY(near(s.cellInterior(0, 0), caret));
        s.view->feed("\x1b[1 q");
        QVERIFY(s.settle());
        QVERIFY(s.host().cursorBlinkTimerActive());

        before = s.host().framesRequested();
        s.view->setCaretViewTracksFocus(true);
        QVERIFY(s.drewAfter(before));
        QVERIFY(!s.host().cursorBlinkTimerActive());
        QVERIFY(near(s.cellInterior(0, 0), s.view->nativeBackgroundColor()));
    }

    // A caret colour change alone, from a program or the host, is a frame.
    void caretColourChangesAreDrawn()
    {
        ShownView s;
        s.view->setCaretViewTracksFocus(false);
        s.view->feed("\x1b[2 q");
        QVERIFY(s.enableAndWait());
        QVERIFY(s.settle());
        auto before = s.host().framesRequested();
        s.view->feed("\x1b]12;rgb:00/ff/00\x07");
        QVERIFY(s.drewAfter(before));
        QVERIFY(near(s.cellInterior(0, 0), QColor(0, 255, 0)));

        before = s.host().framesRequested();
        s.view->feed("\x1b]112\x07");
        QVERIFY(s.drewAfter(before));
        QVERIFY(near(s.cellInterior(0, 0), s.view->nativeForegroundColor()));

        before = s.host().framesRequested();
        s.view->setCaretColor(QColor(0, 0, 255));
        QVERIFY(s.drewAfter(before));
        QVERIFY(near(s.cellInterior(0, 0), QColor(0, 0, 255)));
        before = s.host().framesRequested();
        s.view->setCaretTextColor(QColor(255, 255, 0));
        QVERIFY(s.pump([&] { return s.host().framesRequested() > before; }));
    }

    // The bar lies over the surface on screen, in both styles, while the
    // surface draws: fewer than a tenth of its pixels show the surface's
    // background (magenta).
    void scrollBarIsSeenOverTheSurface()
    {
        ShownView s;
        const QColor magenta(255, 0, 255);
        s.view->setNativeBackgroundColor(magenta);
        s.view->setScrollerStyle(TerminalView::ScrollerStyle::legacy);
        QVERIFY(s.enableAndWait());
        QScrollBar* bar = s.view->scroller();
        // Share of an area (window coordinates) that shows the surface.
        auto surfacePixels = [&](QRect area) {
            const QImage shot = s.window.screen()->grabWindow(s.window.winId()).toImage();
            const qreal r = shot.devicePixelRatio();
            int n = 0, all = 0;
            for (int y = area.top(); y <= area.bottom(); ++y)
                for (int x = area.left(); x <= area.right(); ++x, ++all)
                    n += near(QColor(shot.pixel(int(x * r), int(y * r))), magenta);
            return all ? double(n) / all : 1.0;
        };
        const QRect inBar(bar->mapTo(&s.window, QPoint(0, 0)), bar->size());
        const QRect inGrid(s.view->mapTo(&s.window, QPoint(0, 0)) + QPoint(0, 40), QSize(40, 40));
        QVERIFY(s.settle());
        QVERIFY2(surfacePixels(inGrid) > 0.9, "the surface is not on screen");
        QVERIFY(surfacePixels(inBar) < 0.1);

        s.view->setScrollerStyle(TerminalView::ScrollerStyle::overlay);
        for (int i = 0; i < 40; ++i)
            s.view->feed("line\r\n");
        s.view->scrollUp(5);
        QVERIFY(bar->isVisible());
        QVERIFY(s.settle());
        QVERIFY(surfacePixels(QRect(bar->mapTo(&s.window, QPoint(0, 0)), bar->size())) < 0.1);
    }
};

QTEST_MAIN(GpuCaretScrollerTests)
#include "GpuCaretScrollerTests.moc"
