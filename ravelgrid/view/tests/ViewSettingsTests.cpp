// The view's settings and the notices around them: wheel sensitivity, the
// scroll bar's style, the link highlight, the desktop's text colours, the
// caret's colours and focus, size changes and progress from another thread.
#include "platform/FakeScheduler.h"
#include "ravelgrid/view/CaretView.h"
#include "ravelgrid/view/ProgressBarView.h"
#include "support/ViewTestSupport.h"

#include <QApplication>
#include <QPainter>
#include <QScrollBar>
#include <QThread>
#include <QtTest>

#include <cmath>
#include <limits>
#include <thread>

using namespace ravelgrid;

namespace {

constexpr uint64_t ms = 1'000'000;

TerminalOptions withScrollback(int lines)
{
    TerminalOptions options;
    options.scrollback = lines;
    return options;
}

struct Fixture : ViewOnFakeClock<> {
    explicit Fixture(int cols = 20, int rows = 5) : ViewOnFakeClock(withScrollback(500))
    {
        clock.advance(100 * ms);
        if (!showGrid(cols, rows))
            qWarning("view not exposed");
    }
    void settle() { clock.advance(100 * ms); }
    void fillScrollback(int lines)
    {
        for (int i = 0; i < lines; ++i)
            view->feed("line " + std::to_string(i) + "\r\n");
        settle();
    }
    bool focus()
    {
        view->activateWindow();
        view->setFocus();
        return QTest::qWaitForWindowActive(view.get()) && QTest::qWaitFor([&] { return view->caretFocused(); });
    }
    void mouse(QEvent::Type type, QPointF pos, Qt::KeyboardModifiers mods)
    {
        QMouseEvent event(type, pos, view->mapToGlobal(pos), Qt::NoButton, Qt::NoButton, mods);
        QApplication::sendEvent(view.get(), &event);
    }
    void ctrl(bool down)
    {
        QKeyEvent event(down ? QEvent::KeyPress : QEvent::KeyRelease, Qt::Key_Control,
                        down ? Qt::ControlModifier : Qt::NoModifier);
        QApplication::sendEvent(view.get(), &event);
    }
    QPointF at(qreal col, qreal row) const { return {(col + 0.5) * cell().width(), (row + 0.5) * cell().height()}; }
};

// The caret drawn on its own, in caret-local pixels.
QImage caretImage(TerminalView& view)
{
    QImage image(view.caretView()->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    view.drawCaret(painter, QRectF(QPointF(0, 0), QSizeF(image.size())));
    return image;
}

// Pixels close to a colour (glyph pixels are blended at their edges).
int pixelsOf(const QImage& image, QColor color)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            n += qAlpha(p) == 255 && std::abs(qRed(p) - color.red()) < 100 &&
                 std::abs(qGreen(p) - color.green()) < 100 && std::abs(qBlue(p) - color.blue()) < 100;
        }
    return n;
}

}  // namespace

class ViewSettingsTests : public QObject {
    Q_OBJECT

private slots:
    void scrollSensitivityHasAFloor_data()
    {
        QTest::addColumn<double>("written");
        QTest::addColumn<double>("stored");
        QTest::newRow("below") << 0.01 << 0.05;
        QTest::newRow("zero") << 0.0 << 0.05;
        QTest::newRow("negative") << -3.0 << 0.05;
        QTest::newRow("NaN") << std::numeric_limits<double>::quiet_NaN() << 0.05;
        QTest::newRow("the floor") << 0.05 << 0.05;
        QTest::newRow("above") << 0.7 << 0.7;
        QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << 1000.0;
    }
    void scrollSensitivityHasAFloor()
    {
        QFETCH(double, written);
        QFETCH(double, stored);
        Fixture f;
        f.view->pointer().setScrollSensitivity(written);
        QCOMPARE(f.view->pointer().scrollSensitivity(), stored);
    }

    // Overlay (the default): the grid takes the whole width, the bar shows
    // over it while the viewport moves and hides after a quiet second unless
    // its knob is held. Legacy: always shown, beside the grid.
    void scrollerStyles()
    {
        Fixture f;
        QScrollBar* bar = f.view->scroller();
        QCOMPARE(f.view->scrollerStyle(), TerminalView::ScrollerStyle::overlay);
        QCOMPARE(f.view->reservedScrollerWidth(), 0.0);
        QCOMPARE(f.view->terminal().cols, int(f.view->width() / f.cell().width()));
        QVERIFY(!bar->isVisible());
        f.fillScrollback(30);
        QVERIFY2(!bar->isVisible(), "output alone shows no bar");
        f.view->scrollUp(3);
        QVERIFY(bar->isVisible());
        f.clock.advance(TerminalView::overlayScrollerHideDelayNs - ms);
        QVERIFY(bar->isVisible());
        f.clock.advance(2 * ms);
        QVERIFY(!bar->isVisible());
        f.view->scrollUp(1);
        bar->setSliderDown(true);
        f.clock.advance(3 * TerminalView::overlayScrollerHideDelayNs);
        QVERIFY2(bar->isVisible(), "a held knob keeps it");
        bar->setSliderDown(false);
        f.clock.advance(TerminalView::overlayScrollerHideDelayNs + ms);
        QVERIFY(!bar->isVisible());

        const int wide = f.view->terminal().cols;
        f.delegate.sizes.clear();
        f.view->setScrollerStyle(TerminalView::ScrollerStyle::legacy);
        QVERIFY(bar->isVisible());
        QCOMPARE(f.view->reservedScrollerWidth(), qreal(bar->sizeHint().width()));
        QCOMPARE(f.view->terminal().cols, int((f.view->width() - bar->sizeHint().width()) / f.cell().width()));
        QVERIFY(f.view->terminal().cols < wide);
        QCOMPARE(f.delegate.sizes.size(), size_t(1));
        QCOMPARE(bar->geometry().right(), f.view->width() - 1);
        f.clock.advance(3 * TerminalView::overlayScrollerHideDelayNs);
        QVERIFY(bar->isVisible());

        // Back: the width returns; on the alternate screen nothing scrolls,
        // so nothing shows.
        f.view->setScrollerStyle(TerminalView::ScrollerStyle::overlay);
        QVERIFY(!bar->isVisible());
        QCOMPARE(f.view->terminal().cols, wide);
        f.view->feed("\x1b[?1049h");
        f.view->scrollUp(3);
        QVERIFY(!bar->isVisible());
    }

    // Every write of the mode drops the shown highlight, the same mode too.
    void writingTheLinkModeClearsTheHighlight()
    {
        Fixture f(40, 5);
        f.view->feed("\x1b]8;;https://a.test/x\x1b\\a link\x1b]8;;\x1b\\");
        f.view->setLinkHighlightMode(LinkHighlightMode::hover);
        f.mouse(QEvent::MouseMove, f.at(2, 0), Qt::NoModifier);
        QVERIFY(f.view->links().highlightRange());
        f.view->setLinkHighlightMode(LinkHighlightMode::hover);
        QVERIFY(!f.view->links().highlightRange());

        f.view->setLinkHighlightMode(LinkHighlightMode::hoverWithModifier);
        f.ctrl(true);
        f.mouse(QEvent::MouseMove, f.at(3, 0), Qt::ControlModifier);
        QVERIFY(f.view->links().highlightRange());
        f.view->setLinkHighlightMode(LinkHighlightMode::hoverWithModifier);
        QVERIFY(!f.view->links().highlightRange());
        f.ctrl(false);
    }

    void systemTextColoursComeFromThePalette()
    {
        Fixture f;
        QPalette palette = f.view->palette();
        const QColor text(200, 180, 20);
        const QColor base(20, 40, 160);
        palette.setColor(QPalette::Text, text);
        palette.setColor(QPalette::Base, base);
        f.view->setPalette(palette);
        f.view->applySystemTextColors();
        QCOMPARE(f.view->nativeForegroundColor(), text);
        QCOMPARE(f.view->nativeBackgroundColor(), base);
        QCOMPARE(colorToQColor(f.view->terminal().foregroundColor()), text);
        QCOMPARE(colorToQColor(f.view->terminal().backgroundColor()), base);
        f.view->displayNow();
        const QImage image = f.view->grab().toImage();
        const qreal s = image.devicePixelRatio();
        QCOMPARE(QColor(image.pixel(int(f.at(10, 3).x() * s), int(f.at(10, 3).y() * s))), base);
    }

    // The caret's own colour: a program's (OSC 12) over the host's until the
    // program resets it; the text inside a block in the host's text colour.
    void caretColoursReachTheCaret()
    {
        Fixture f;
        if (!f.focus())
            QSKIP("no focus for the view");
        const QColor host(255, 0, 0);
        const QColor program(0, 255, 0);
        const QColor text(0, 0, 255);
        f.view->feed("\x1b[2 qW\x1b[D");
        f.view->setCaretColor(host);
        QVERIFY(pixelsOf(caretImage(*f.view), host) > 0);
        f.view->feed("\x1b]12;rgb:00/ff/00\x07");
        QCOMPARE(f.view->effectiveCaretColor(), program);
        QVERIFY(pixelsOf(caretImage(*f.view), program) > 0);
        QCOMPARE(pixelsOf(caretImage(*f.view), host), 0);
        f.view->feed("\x1b]112\x07");
        QCOMPARE(f.view->effectiveCaretColor(), host);
        QVERIFY(pixelsOf(caretImage(*f.view), host) > 0);
        // The text colour: the host's, else the background.
        QCOMPARE(pixelsOf(caretImage(*f.view), text), 0);
        f.view->setCaretTextColor(text);
        QVERIFY(pixelsOf(caretImage(*f.view), text) > 0);
        // A new host colour replaces a program's.
        f.view->feed("\x1b]12;rgb:00/ff/00\x07");
        f.view->setCaretColor(QColor(9, 9, 9));
        QCOMPARE(f.view->effectiveCaretColor(), QColor(9, 9, 9));
    }

    // Unfocused, a caret that tracks the focus is a steady hollow box; one
    // that does not is drawn and blinks as focused.
    void caretTracksFocusOnlyWhenAsked()
    {
        Fixture f;
        f.view->clearFocus();
        QVERIFY(!f.view->caretFocused());
        const QColor caret(255, 0, 0);
        f.view->setCaretColor(caret);
        f.view->feed("\x1b[1 q");
        QVERIFY(f.view->caretViewTracksFocus());
        auto centre = [&] {
            const QImage image = caretImage(*f.view);
            return QColor::fromRgba(image.pixel(image.width() / 2, image.height() / 2));
        };
        QCOMPARE(centre().alpha(), 0);
        QVERIFY(!f.view->caretView()->blinking());
        f.view->setCaretViewTracksFocus(false);
        QVERIFY(!f.view->caretViewTracksFocus());
        QCOMPARE(centre(), caret);
        QVERIFY(f.view->caretView()->blinking());
        f.view->setCaretViewTracksFocus(true);
        QCOMPARE(centre().alpha(), 0);
        QVERIFY(!f.view->caretView()->blinking());
    }

    // Every option a host writes reads back as written, both ways.
    void optionsReadBackWhatWasWritten()
    {
        Fixture f;
        TerminalView& v = *f.view;
        QCOMPARE(v.startupOptions().scrollback, 500);
        const auto check = [](const char* name, auto set, auto get, auto... values) {
            for (const auto& value : {values...}) {
                set(value);
                QVERIFY2(get() == value, name);
            }
        };
        using OptColor = std::optional<QColor>;
        using OptScale = std::optional<double>;
        check(
            "useBrightColors", [&](bool on) { v.setUseBrightColors(on); }, [&] { return v.useBrightColors(); }, true,
            false);
        check(
            "bidiHostPolicy", [&](BidiHostPolicy p) { v.setBidiHostPolicy(p); }, [&] { return v.bidiHostPolicy(); },
            BidiHostPolicy::legacyLeftToRight, BidiHostPolicy::respectTerminal);
        check(
            "selectedTextForegroundColor", [&](QColor c) { v.setSelectedTextForegroundColor(c); },
            [&] { return v.selectedTextForegroundColor(); }, QColor(1, 2, 3), QColor(Qt::white));
        check(
            "caretColor", [&](QColor c) { v.setCaretColor(c); }, [&] { return *v.caretColor(); }, QColor(Qt::red),
            QColor(Qt::green));
        check(
            "caretTextColor", [&](OptColor c) { v.setCaretTextColor(c); }, [&] { return v.caretTextColor(); },
            OptColor(Qt::blue), OptColor());
        check(
            "gpuScaleFactorOverride", [&](OptScale s) { v.setGpuScaleFactorOverride(s); },
            [&] { return v.gpuScaleFactorOverride(); }, OptScale(2.0), OptScale());
        check(
            "gpuBufferingMode", [&](BufferingMode m) { v.setGpuBufferingMode(m); },
            [&] { return v.gpuBufferingMode(); }, BufferingMode::perFrameAggregated, BufferingMode::perRowPersistent);
        check(
            "lineSpacing", [&](qreal s) { v.setLineSpacing(s); }, [&] { return v.lineSpacing(); }, 1.5, 1.0);
        check(
            "notifyUpdateChanges", [&](bool on) { v.setNotifyUpdateChanges(on); },
            [&] { return v.notifyUpdateChanges(); }, true, false);
    }

    // The grid by columns and rows, and the frame that holds it exactly
    // beside the scroll bar: a view of that size keeps the grid.
    void gridSizeAndFittingFrame()
    {
        Fixture f;
        TerminalView& v = *f.view;
        v.setScrollerStyle(TerminalView::ScrollerStyle::legacy);
        const qreal reserved = v.reservedScrollerWidth();
        QVERIFY(reserved > 0);
        QCOMPARE(v.availableGridWidth(500), 500 - reserved);
        QCOMPARE(v.availableGridWidth(reserved / 2), 0.0);
        QCOMPARE(v.availableGridWidth(std::numeric_limits<qreal>::quiet_NaN()), 0.0);

        v.resizeGrid(30, 7);
        QCOMPARE(std::make_pair(v.terminal().cols, v.terminal().rows), std::make_pair(30, 7));
        QCOMPARE(f.delegate.sizes.back(), std::make_pair(30, 7));
        const QRect frame = v.fittingFrame();
        QCOMPARE(frame.height(), int(std::ceil(7 * f.cell().height())));
        v.resize(frame.width() - 1, frame.height());
        QCOMPARE(v.terminal().cols, 29);
        v.resize(frame.size());
        QCOMPARE(v.size(), frame.size());
        QCOMPARE(std::make_pair(v.terminal().cols, v.terminal().rows), std::make_pair(30, 7));
        // Below the terminal's least grid: the delegate hears what it holds.
        v.resizeGrid(1, 0);
        QCOMPARE(f.delegate.sizes.back(), std::make_pair(2, 1));
    }

    // A size change the terminal reports gives the bar its new page and
    // range at once, not at the next display pass.
    void sizeChangedRefreshesTheScrollBar()
    {
        Fixture f(20, 10);
        f.fillScrollback(40);
        QScrollBar* bar = f.view->scroller();
        QCOMPARE(bar->pageStep(), 10);
        f.view->terminal().resize(20, 4);
        f.view->sizeChanged(f.view->terminal());
        QCOMPARE(f.delegate.sizes.back(), std::make_pair(20, 4));
        QCOMPARE(bar->pageStep(), 4);
        QCOMPARE(bar->maximum(), f.view->maxScroll());
    }

    // Reports from a terminal fed on another thread reach the bar on the
    // view's thread; one for a view that is gone does nothing.
    void progressFromAnotherThreadArrivesOnTheViewsThread()
    {
        Fixture f;
        ProgressBarView* bar = f.view->notices().progressBar();
        struct Threads : QObject {
            bool offThread = false;
            bool eventFilter(QObject*, QEvent*) override
            {
                offThread |= QThread::currentThread() != qApp->thread();
                return false;
            }
        } threads;
        bar->installEventFilter(&threads);
        const ProgressReport report{ProgressReportState::set, 42};
        std::thread([&] { f.view->progressReport(f.view->terminal(), report); }).join();
        QVERIFY(!f.view->notices().lastProgressValue());
        QTRY_COMPARE(f.view->notices().lastProgressValue(), std::optional<uint8_t>(42));
        QVERIFY(bar->isVisible());
        QVERIFY(!threads.offThread);
        bar->removeEventFilter(&threads);

        auto doomed = std::make_unique<TerminalView>(nullptr, std::nullopt, TerminalOptions{}, f.clock);
        std::thread([&] { doomed->progressReport(doomed->terminal(), report); }).join();
        doomed.reset();
        QCoreApplication::processEvents();
    }
};

QTEST_MAIN(ViewSettingsTests)
#include "ViewSettingsTests.moc"
