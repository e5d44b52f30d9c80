#include "platform/FakeScheduler.h"
#include "ravelgrid/drawing/CellMetrics.h"
#include "ravelgrid/drawing/ColorResolver.h"
#include "ravelgrid/view/CaretView.h"
#include "support/ViewTestSupport.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QtTest>

#include <cmath>
#include <memory>
#include <vector>

using namespace ravelgrid;

namespace {

constexpr uint64_t ms = 1'000'000;

struct Fixture : ViewOnFakeClock<> {
    Fixture() { settle(); }

    // Runs everything pending and forgets what it reported.
    void settle()
    {
        clock.advance(100 * ms);
        delegate.ranges.clear();
        delegate.sizes.clear();
    }

    void showSized(int cols, int rows, qreal extraW = 0, qreal extraH = 0)
    {
        // The scroll bar takes its width beside the grid.
        QVERIFY(showGrid(cols, rows, extraW, extraH));
        settle();
    }

    QImage grab() { return view->grab().toImage(); }

    // As 8-bit RGB, what the screen holds.
    QRgb pixelAt(const QImage& image, int col, int row) const
    {
        const qreal s = image.devicePixelRatio();
        return image.pixel(int((col + 0.5) * cell().width() * s), int((row + 0.5) * cell().height() * s)) | 0xff000000u;
    }
};

}  // namespace

class TerminalViewTests : public QObject {
    Q_OBJECT

private slots:
    void gridFollowsTheWidget()
    {
        Fixture f;
        f.showSized(100, 30, 3, 5);
        QCOMPARE(f.view->terminal().cols, 100);
        QCOMPARE(f.view->terminal().rows, 30);

        // Growing by less than a cell changes nothing and tells no one.
        f.view->resize(f.view->width() + 1, f.view->height() + 1);
        QVERIFY(f.delegate.sizes.empty());

        f.view->resize(int(std::ceil(50 * f.cell().width() + f.view->reservedScrollerWidth())),
                       int(std::ceil(10 * f.cell().height())));
        QCOMPARE(f.view->terminal().cols, 50);
        QCOMPARE(f.view->terminal().rows, 10);
        QVERIFY(!f.delegate.sizes.empty());
        QCOMPARE(f.delegate.sizes.back(), std::make_pair(50, 10));

        // Narrower than a cell: the terminal keeps its least, and says so.
        f.view->resize(2, f.view->height());
        QCOMPARE(f.view->terminal().cols, 2);
        QCOMPARE(f.delegate.sizes.back(), std::make_pair(2, 10));
    }

    // Runs at the device pixel ratio the test run was given (QT_SCALE_FACTOR).
    void gridAtTheDevicePixelRatio()
    {
        Fixture f;
        f.showSized(80, 24, 0.4, 0.4);
        const qreal dpr = f.view->devicePixelRatioF();
        const QByteArray wanted = qgetenv("QT_SCALE_FACTOR");
        if (!wanted.isEmpty())
            QCOMPARE(dpr, wanted.toDouble());
        const QSizeF cell = f.cell();
        QCOMPARE(cell, computeCellDimension(f.view->fontSet().rawNormal(), 1.0, dpr));
        QVERIFY(std::abs(cell.width() * dpr - std::round(cell.width() * dpr)) < 1e-6);
        QVERIFY(std::abs(cell.height() * dpr - std::round(cell.height() * dpr)) < 1e-6);
        QCOMPARE(f.view->terminal().cols, int((f.view->width() - f.view->reservedScrollerWidth()) / cell.width()));
        QCOMPARE(f.view->terminal().rows, int(f.view->height() / cell.height()));
        const auto pixels = f.view->cellSizeInPixels(f.view->terminal());
        QVERIFY(pixels.has_value());
        QCOMPARE(pixels->first, int(std::round(cell.width() * dpr)));
        QCOMPARE(pixels->second, int(std::round(cell.height() * dpr)));
    }

    // Made without a font, a view draws the desktop's monospaced face
    // (fontconfig's "monospace", not a face of our choosing) at 13 points,
    // and returns to it on a reset; smoothing survives the change.
    void defaultFontIsTheDesktopsMonospace()
    {
        const QString desktop = QFontInfo(QFontDatabase::systemFont(QFontDatabase::FixedFont)).family();
        Fixture f;
        QCOMPARE(f.view->fontSet().family(), desktop);
        QCOMPARE(f.view->fontSet().rawNormal().familyName(), desktop);
        QCOMPARE(f.view->fontSet().pointSize(), 13.0);
        QCOMPARE(f.view->fontSet().pixelSize(), 13.0 * FontSet::pixelsPerPoint());

        f.view->setFontSet(FontSet(QStringLiteral("JetBrains Mono"), 20));
        f.view->setFontSmoothing(false);
        f.view->resetToDefaultFont();
        QCOMPARE(f.view->fontSet().family(), desktop);
        QCOMPARE(f.view->fontSet().pointSize(), 13.0);
        QVERIFY(!f.view->fontSmoothing());
        QVERIFY(!f.view->fontSet().antialiased());
        f.view->setFontSmoothing(true);
        QVERIFY(f.view->fontSet().antialiased());
    }

    void fontChangeKeepsTheTerminalState()
    {
        Fixture f;
        f.showSized(80, 24);
        // Application cursor keys, insert mode and a colour, as a full-screen
        // program leaves them: a soft reset would drop all three.
        f.view->feed("\x1b[?1h\x1b[4h\x1b[1;31m");
        const Attribute before = f.view->terminal().curAttr;
        f.view->setFontSet(FontSet(FontSet::defaultFamily(), 20));
        QVERIFY(f.view->terminal().applicationCursor);
        QVERIFY(f.view->terminal().insertMode);
        QVERIFY(f.view->terminal().curAttr == before);
        QVERIFY(f.view->terminal().cols < 80);
        QVERIFY(!f.delegate.sizes.empty());
        QCOMPARE(f.delegate.sizes.back().first, f.view->terminal().cols);

        f.view->setLineSpacing(1.5);
        QVERIFY(f.view->terminal().applicationCursor);
        QVERIFY(f.view->terminal().insertMode);
    }

    void outputIsCoalescedIntoOnePass()
    {
        Fixture f;
        f.view->setNotifyUpdateChanges(true);
        f.view->feed("a");
        f.clock.advance(5 * ms);
        f.view->feed("\r\nb");
        QVERIFY(f.delegate.ranges.empty());
        f.clock.advance(11'660'000);  // 16.66 ms after the first request
        QVERIFY(f.delegate.ranges.empty());
        f.clock.advance(20'000);
        QCOMPARE(f.delegate.ranges.size(), size_t(1));
        // The pass saw both changes.
        QCOMPARE(f.delegate.ranges[0], std::make_pair(0, 1));
        f.clock.advance(500 * ms);
        QCOMPARE(f.delegate.ranges.size(), size_t(1));
    }

    void echoOfTypingIsDrawnAtOnce()
    {
        Fixture f;
        f.view->setNotifyUpdateChanges(true);
        f.view->send(std::string_view("x"));
        f.clock.advance(100 * ms);
        f.delegate.ranges.clear();
        f.view->feed("x");
        QCOMPARE(f.delegate.ranges.size(), size_t(1));

        // 150 ms after typing still counts, later output waits.
        f.clock.advance(50 * ms);
        f.view->feed("y");
        QCOMPARE(f.delegate.ranges.size(), size_t(2));
        f.clock.advance(50 * ms);
        f.view->feed("z");
        QCOMPARE(f.delegate.ranges.size(), size_t(2));
        f.clock.advance(17 * ms);
        QCOMPARE(f.delegate.ranges.size(), size_t(3));
    }

    // Output a keystroke set off (cat of a large file) is drawn at once at
    // the start of a burst, and while spaced out only up to
    // interactiveOutputBytes; the rest waits for the coalesced pass.
    void floodAfterTypingIsCoalesced()
    {
        Fixture f;
        f.view->setNotifyUpdateChanges(true);
        f.view->send(std::string_view("\r"));
        const std::string chunk(8192, 'a');
        for (int i = 0; i < 16; ++i)
            f.view->feed(chunk);
        QCOMPARE(f.delegate.ranges.size(), size_t(1));
        f.clock.advance(17 * ms);
        // One pass: none is left over from the scrolls the pass drawn at
        // once already showed.
        QCOMPARE(f.delegate.ranges.size(), size_t(2));
        QCOMPARE(f.delegate.ranges[1], std::make_pair(0, f.view->terminal().rows - 1));

        // Chunks a few frames apart are each drawn at once, but only up to
        // the cap since the key.
        f.settle();
        f.view->send(std::string_view("\r"));
        const size_t atOnce = TerminalView::interactiveOutputBytes / chunk.size();
        for (size_t i = 0; i < atOnce; ++i) {
            f.view->feed(chunk);
            f.clock.advance(TerminalView::immediateDisplaySpacingNs);
        }
        QCOMPARE(f.delegate.ranges.size(), atOnce);
        f.view->feed(chunk);
        QCOMPARE(f.delegate.ranges.size(), atOnce);

        // The next key starts afresh: its echo is drawn at once, even right
        // after a pass drawn at once.
        f.settle();
        f.view->send(std::string_view("x"));
        f.view->feed("x");
        f.view->send(std::string_view("y"));
        f.view->feed("y");
        QCOMPARE(f.delegate.ranges.size(), size_t(2));
    }

    void synchronizedOutputHoldsPasses()
    {
        Fixture f;
        f.view->setNotifyUpdateChanges(true);
        f.view->feed("\x1b[?2026h");
        f.view->feed("hidden for now");
        f.clock.advance(100 * ms);
        QVERIFY(f.delegate.ranges.empty());
        QCOMPARE(f.clock.pendingCount(), size_t(1));  // only the synchronized-output timeout
        f.view->feed("\x1b[?2026l");
        f.clock.advance(17 * ms);
        QCOMPARE(f.delegate.ranges.size(), size_t(1));
    }

    void synchronizedOutputTimesOutWithoutMoreOutput()
    {
        // A program that starts a synchronized update and then goes quiet
        // must not leave the view frozen.
        Fixture f;
        f.view->setNotifyUpdateChanges(true);
        f.view->feed("\x1b[?2026hstuck");
        f.clock.advance(900 * ms);
        QVERIFY(f.delegate.ranges.empty());
        f.clock.advance(200 * ms);
        QVERIFY(!f.view->terminal().synchronizedOutputActive);
        f.clock.advance(17 * ms);
        QCOMPARE(f.delegate.ranges.size(), size_t(1));
    }

    void noChangeStillReportsTheCursorLine()
    {
        Fixture f;
        f.view->setNotifyUpdateChanges(true);
        f.view->feed("\x1b[5;1H");
        f.clock.advance(17 * ms);
        f.delegate.ranges.clear();
        f.view->queuePendingDisplay();
        f.clock.advance(17 * ms);
        QCOMPARE(f.delegate.ranges.size(), size_t(1));
        QCOMPARE(f.delegate.ranges[0], std::make_pair(4, 4));
    }

    void invalidatesChangedRowsOnly()
    {
        Fixture f;
        f.showSized(40, 10, 0, 7);
        const qreal h = f.cell().height();
        f.view->feed("\x1b[3;1H");
        f.clock.advance(17 * ms);
        f.view->feed("x");
        f.clock.advance(17 * ms);
        // Row 2 and the one below it.
        QCOMPARE(f.view->lastInvalidatedRect(), QRectF(0, 2 * h, f.view->width(), 2 * h));

        // A change on the last row reaches the bottom edge, strip included.
        f.view->feed("\x1b[10;1H");
        f.clock.advance(17 * ms);
        f.view->feed("x");
        f.clock.advance(17 * ms);
        const QRectF last = f.view->lastInvalidatedRect();
        QCOMPARE(last.top(), 9 * h);
        QCOMPARE(last.bottom(), qreal(f.view->height()));

        // Scrolled back, any change repaints everything.
        for (int i = 0; i < 30; ++i)
            f.view->feed("\r\n");
        f.clock.advance(17 * ms);
        f.view->scrollUp(3);
        f.view->feed("y");
        f.clock.advance(17 * ms);
        QCOMPARE(f.view->lastInvalidatedRect(), QRectF(QPointF(0, 0), QSizeF(f.view->size())));
    }

    void qtSchedulerRunsDueTasksInOrderAndNeverCancelledOnes()
    {
        QtScheduler scheduler;
        std::vector<int> seen;
        scheduler.scheduleAfter(30 * ms, [&] { seen.push_back(3); });
        const auto dropped = scheduler.scheduleAfter(5 * ms, [&] { seen.push_back(0); });
        scheduler.scheduleAfter(1 * ms, [&] {
            seen.push_back(1);
            scheduler.scheduleAfter(0, [&] { seen.push_back(2); });
        });
        scheduler.cancel(dropped);
        scheduler.cancel(dropped);  // twice is harmless
        const uint64_t start = scheduler.nowNs();
        QTRY_COMPARE_WITH_TIMEOUT(seen.size(), size_t(3), 5000);
        QVERIFY(scheduler.nowNs() - start >= 30 * ms);
        QCOMPARE(seen, (std::vector<int>{1, 2, 3}));
        QCOMPARE(scheduler.pendingCount(), size_t(0));
        {
            platform::ScopedTasks owned(scheduler);
            owned.after(1 * ms, [&] { seen.push_back(4); });
        }
        QTest::qWait(20);
        QCOMPARE(seen.size(), size_t(3));
    }

    void pendingPassDiesWithTheView()
    {
        platform::FakeScheduler clock;
        auto view = std::make_unique<TerminalView>(nullptr, std::nullopt, TerminalOptions{}, clock);
        view->feed("abc");
        QVERIFY(clock.pendingCount() > 0);
        view.reset();
        QCOMPARE(clock.pendingCount(), size_t(0));  // the view's tasks and its terminal's go with it
        clock.advance(100 * ms);
    }

    void paintsCellColours()
    {
        Fixture f;
        f.showSized(20, 5);
        f.view->feed("\x1b[41m  \x1b[0m \x1b[7m \x1b[0m\x1b[48;2;10;200;30m \x1b[0m\x1b[?25l");
        f.clock.advance(17 * ms);
        const QImage image = f.grab();
        const QRgb red = colorToQColor(f.view->terminal().ansiColors[1]).rgb();
        const QRgb fg = f.view->nativeForegroundColor().rgb();
        const QRgb bg = f.view->nativeBackgroundColor().rgb();
        QCOMPARE(f.pixelAt(image, 0, 0), red);
        QCOMPARE(f.pixelAt(image, 1, 0), red);
        QCOMPARE(f.pixelAt(image, 2, 0), bg);
        QCOMPARE(f.pixelAt(image, 3, 0), fg);
        QCOMPARE(f.pixelAt(image, 4, 0), qRgb(10, 200, 30));

        // Reverse video swaps the defaults; explicit colours stay.
        f.view->terminal().reverseColors = true;
        const QImage reversed = f.grab();
        QCOMPARE(f.pixelAt(reversed, 2, 0), fg);
        QCOMPARE(f.pixelAt(reversed, 10, 3), fg);
        QCOMPARE(f.pixelAt(reversed, 0, 0), red);
    }

    void caretFollowsTheCursor()
    {
        Fixture f;
        f.showSized(20, 5);
        f.view->feed("ab\r\ncd");
        f.clock.advance(17 * ms);
        CaretView* caret = f.view->caretView();
        QVERIFY(caret->isVisible());
        QCOMPARE(caret->geometry(),
                 QRectF(2 * f.cell().width(), f.cell().height(), f.cell().width(), f.cell().height()).toAlignedRect());
        f.view->feed("\x1b[?25l");
        f.clock.advance(17 * ms);
        QVERIFY(!caret->isVisible());
        f.view->feed("\x1b[?25h");
        f.clock.advance(17 * ms);
        QVERIFY(caret->isVisible());
    }

    void blinkingTextRunsTheBlinkTimer()
    {
        Fixture f;
        f.showSized(20, 5);
        QVERIFY(!f.view->textBlinkTimerActive());
        f.view->feed("\x1b[2;1H\x1b[5mX\x1b[0m");
        f.clock.advance(17 * ms);
        QCOMPARE(f.view->blinkingLines(), std::vector<int>{1});
        QVERIFY(f.view->textBlinkTimerActive());
        f.view->feed("\x1b[2J");
        f.clock.advance(17 * ms);
        QVERIFY(f.view->blinkingLines().empty());
        QVERIFY(!f.view->textBlinkTimerActive());
        QVERIFY(f.view->textBlinkVisible());
    }

    void repliesDoNotCountAsTyping()
    {
        Fixture f;
        f.view->setNotifyUpdateChanges(true);
        // A device attributes request: the reply goes out, but the next
        // output still waits for the coalesced pass.
        f.view->feed("\x1b[c");
        QVERIFY(!f.delegate.writes.empty());
        f.clock.advance(100 * ms);
        f.delegate.ranges.clear();
        f.view->feed("q");
        QVERIFY(f.delegate.ranges.empty());
    }

    void typedEnterSubmitsAnArmedPrompt()
    {
        Fixture f;
        f.view->feed("\x1b]133;A\x07$ \x1b]133;B\x07");
        QCOMPARE(f.view->terminal().buffer->semanticInput, SemanticInputState::armed);
        f.view->send(std::string_view("ls"));
        QCOMPARE(f.view->terminal().buffer->semanticInput, SemanticInputState::armed);
        f.view->send(std::string_view("\r"));
        QCOMPARE(f.view->terminal().buffer->semanticInput, SemanticInputState::submitted);
        QVERIFY(!f.delegate.writes.empty());
    }

    void hostileOutputDoesNotBreakTheView()
    {
        Fixture f;
        f.showSized(30, 8);
        // Huge and negative window operations, resizes, odd sequences and
        // invalid UTF-8: the view stays usable and within its bounds.
        f.view->feed("\x1b[8;99999;99999t\x1b[8;0;0t\x1b[4;-5;-5t\x1b[?1049h\xff\xfe\xc3\x28"
                     "\x1b]0;\x07\x1b[99999;99999H\x1b#8\x1b[?1049l\x1b[38;2;999;999;999mZ");
        f.clock.advance(17 * ms);
        QVERIFY(f.view->terminal().cols <= TerminalOptions::kMaxCols);
        QVERIFY(f.view->terminal().rows <= TerminalOptions::kMaxRows);
        QVERIFY(!f.grab().isNull());
    }
};

QTEST_MAIN(TerminalViewTests)
#include "TerminalViewTests.moc"
