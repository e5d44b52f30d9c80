// Mouse reports, the wheel, selection gestures, the clipboard and the scroll
// bar of TerminalView, on a fake clock.
#include "platform/FakeScheduler.h"
#include "ravelgrid/view/PasteText.h"
#include "support/ViewTestSupport.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QScrollBar>
#include <QtTest>

#include <cmath>
#include <memory>

using namespace ravelgrid;

namespace {

constexpr uint64_t ms = 1'000'000;

struct Fixture : ViewOnFakeClock<> {
    explicit Fixture(TerminalOptions options = {}, int cols = 80, int rows = 25) : ViewOnFakeClock(options)
    {
        if (!showGrid(cols, rows))
            qWarning("view not exposed");
        clock.advance(100 * ms);
        delegate.writes.clear();
    }
    Terminal& terminal() { return view->terminal(); }
    int yDisp() { return terminal().activeBuffer().yDisp(); }

    // The middle of a cell of the screen; rows above or below it are allowed.
    QPointF at(qreal col, qreal row) const { return {(col + 0.5) * cell().width(), (row + 0.5) * cell().height()}; }
    // A point whose hit test gives screen row -n (rows truncate toward zero).
    QPointF above(qreal col, int n) const { return {(col + 0.5) * cell().width(), -(n + 0.5) * cell().height()}; }

    void mouse(QEvent::Type type, Qt::MouseButton button, QPointF pos, Qt::KeyboardModifiers mods = Qt::NoModifier,
               Qt::MouseButtons held = Qt::NoButton)
    {
        if (type == QEvent::MouseButtonPress)
            held |= button;
        QMouseEvent event(type, pos, view->mapToGlobal(pos), button, held, mods);
        // Clicks are counted by the events' time stamps: the fake clock's.
        event.setTimestamp(clock.nowNs() / ms);
        QApplication::sendEvent(view.get(), &event);
    }
    void press(QPointF pos, Qt::KeyboardModifiers mods = Qt::NoModifier, Qt::MouseButton b = Qt::LeftButton)
    {
        mouse(QEvent::MouseButtonPress, b, pos, mods);
    }
    void release(QPointF pos, Qt::KeyboardModifiers mods = Qt::NoModifier, Qt::MouseButton b = Qt::LeftButton)
    {
        mouse(QEvent::MouseButtonRelease, b, pos, mods);
    }
    void drag(QPointF pos, Qt::KeyboardModifiers mods = Qt::NoModifier, Qt::MouseButtons held = Qt::LeftButton)
    {
        mouse(QEvent::MouseMove, Qt::NoButton, pos, mods, held);
    }
    void click(QPointF pos, Qt::KeyboardModifiers mods = Qt::NoModifier)
    {
        press(pos, mods);
        release(pos, mods);
    }
    void wheel(QPoint angle, QPoint pixels = {}, Qt::KeyboardModifiers mods = Qt::NoModifier)
    {
        const QPointF pos = at(2, 2);
        QWheelEvent event(pos, view->mapToGlobal(pos), pixels, angle, Qt::NoButton, mods, Qt::NoScrollPhase, false);
        QApplication::sendEvent(view.get(), &event);
    }
    // Lines "0" to "n-1", leaving the cursor below the last.
    void fillLines(int n)
    {
        std::string text;
        for (int i = 0; i < n; ++i) {
            text += std::to_string(i);
            text += "\r\n";
        }
        view->feed(text);
        clock.advance(100 * ms);
    }
    std::string sent()
    {
        std::string all = delegate.allBytes();
        delegate.writes.clear();
        return all;
    }
    // Past the double-click interval: the next press starts a new count.
    void pause() { clock.advance(uint64_t(QApplication::doubleClickInterval() + 10) * ms); }
};

std::string repeat(int n, const std::string& s)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

}  // namespace

class TerminalViewMouseTests : public QObject {
    Q_OBJECT

private slots:
    void reportsAreExactBytes()
    {
        {  // 1000 + 1006: press and release at cell (5, 3)
            Fixture f;
            f.view->feed("\x1b[?1000h\x1b[?1006h");
            f.press(f.at(5, 3));
            QCOMPARE(f.sent(), std::string("\x1b[<0;6;4M"));
            f.release(f.at(5, 3));
            QCOMPARE(f.sent(), std::string("\x1b[<0;6;4m"));
            QVERIFY(!f.view->selectionActive());
            // Middle and right buttons are 1 and 2.
            f.press(f.at(0, 0), Qt::NoModifier, Qt::MiddleButton);
            QCOMPARE(f.sent(), std::string("\x1b[<1;1;1M"));
            f.press(f.at(0, 0), Qt::NoModifier, Qt::RightButton);
            QCOMPARE(f.sent(), std::string("\x1b[<2;1;1M"));
            // The wheel: 64 up, 65 down, one report per line, three lines a notch.
            f.wheel(QPoint(0, 240));
            QCOMPARE(f.sent(), repeat(6, "\x1b[<64;3;3M"));
            f.wheel(QPoint(0, -120));
            QCOMPARE(f.sent(), repeat(3, "\x1b[<65;3;3M"));
        }
        {  // x10: presses without modifier bits, no releases, no drags
            Fixture f;
            f.view->feed("\x1b[?9h");
            f.press(f.at(0, 0));
            QCOMPARE(f.sent(), std::string("\x1b[M\x20\x21\x21"));
            f.drag(f.at(3, 0));
            f.release(f.at(3, 0));
            QCOMPARE(f.sent(), std::string());
            f.press(f.at(0, 0), Qt::ControlModifier);
            QCOMPARE(f.sent(), std::string("\x1b[M\x20\x21\x21"));
            f.release(f.at(0, 0), Qt::ControlModifier);
            QCOMPARE(f.sent(), std::string());
            QVERIFY(!f.view->selectionActive());
        }
        {  // 1002: a drag with Ctrl is 0 + 32 + 16
            Fixture f;
            f.view->feed("\x1b[?1002h\x1b[?1006h");
            f.press(f.at(1, 1), Qt::ControlModifier);
            f.sent();
            f.drag(f.at(2, 1), Qt::ControlModifier);
            QCOMPARE(f.sent(), std::string("\x1b[<48;3;2M"));
            // Motion without a button is not 1002's.
            f.mouse(QEvent::MouseMove, Qt::NoButton, f.at(4, 1));
            QCOMPARE(f.sent(), std::string());
        }
        {  // 1003: motion without buttons is 3 + 32
            Fixture f;
            f.view->feed("\x1b[?1003h\x1b[?1006h");
            QVERIFY(f.view->hasMouseTracking());
            f.mouse(QEvent::MouseMove, Qt::NoButton, f.at(4, 2));
            QCOMPARE(f.sent(), std::string("\x1b[<35;5;3M"));
            f.view->feed("\x1b[?1003l");
            QVERIFY(!f.view->hasMouseTracking());
        }
        {  // Shift without mouseShiftCapture selects instead of reporting
            Fixture f;
            f.view->feed("hello world\x1b[?1000h");
            f.press(f.at(0, 0), Qt::ShiftModifier);
            f.drag(f.at(5, 0), Qt::ShiftModifier);
            f.release(f.at(5, 0), Qt::ShiftModifier);
            QCOMPARE(f.sent(), std::string());
            QCOMPARE(f.view->selectedText().value_or(""), std::string("hello"));
            // With the capture on (XTSHIFTESCAPE), Shift is reported.
            f.view->feed("\x1b[>1s");
            f.press(f.at(0, 0), Qt::ShiftModifier);
            QCOMPARE(f.sent(), std::string("\x1b[M\x24\x21\x21"));
        }
        {  // allowMouseReporting off: never a report, whatever the mode
            Fixture f;
            f.view->setAllowMouseReporting(false);
            f.view->feed("\x1b[?1003h\x1b[?1006h");
            f.press(f.at(1, 1));
            f.drag(f.at(6, 1));
            f.release(f.at(6, 1));
            f.mouse(QEvent::MouseMove, Qt::NoButton, f.at(4, 2));
            f.wheel(QPoint(0, 120));
            QCOMPARE(f.sent(), std::string());
        }
    }

    void wheelLines()
    {
        Fixture f;
        f.fillLines(100);
        const int bottom = f.yDisp();
        QVERIFY(bottom > 20);
        // A notch is the desktop's three lines.
        QCOMPARE(QApplication::wheelScrollLines(), 3);
        f.wheel(QPoint(0, 120));
        QCOMPARE(f.yDisp(), bottom - 3);
        QCOMPARE(f.view->pointer().scrollAccumulator(), 0.0);
        // A high-resolution wheel: eighths of a notch add up to its three lines.
        for (int i = 0; i < 7; ++i)
            f.wheel(QPoint(0, 15));
        QCOMPARE(f.yDisp(), bottom - 5);
        f.wheel(QPoint(0, 15));
        QCOMPARE(f.yDisp(), bottom - 6);
        // Precise deltas of a third of a cell: the third one moves a line.
        const int third = int(std::ceil(f.cell().height() / 3));
        f.wheel(QPoint(0, 0), QPoint(0, third));
        f.wheel(QPoint(0, 0), QPoint(0, third));
        QCOMPARE(f.yDisp(), bottom - 6);
        f.wheel(QPoint(0, 0), QPoint(0, third));
        QCOMPARE(f.yDisp(), bottom - 7);
        // The sensitivity scales the notch: 1.5 lines round away from zero...
        f.view->pointer().setScrollSensitivity(0.5);
        f.wheel(QPoint(0, 120));
        QCOMPARE(f.yDisp(), bottom - 9);
        // ...and a notch that rounds to nothing still moves a line, as does
        // a desktop setting of no lines at all.
        QApplication::setWheelScrollLines(0);
        f.view->pointer().setScrollSensitivity(0.3);
        f.wheel(QPoint(0, 120));
        QCOMPARE(f.yDisp(), bottom - 10);
        QApplication::setWheelScrollLines(3);
        f.view->pointer().setScrollSensitivity(1);
        // Down again, and never past the bottom.
        f.wheel(QPoint(0, -120 * 10));
        QCOMPARE(f.yDisp(), bottom);
        QVERIFY(f.sent().empty());
    }

    void wheelOnTheAlternateScreen()
    {
        Fixture f;
        f.view->feed("\x1b[?1049h\x1b[?1h\x1b[?1007h");
        // As many arrows as the notch has lines.
        f.wheel(QPoint(0, 240));
        QCOMPARE(f.sent(), repeat(6, "\x1bOA"));
        f.wheel(QPoint(0, -120));
        QCOMPARE(f.sent(), repeat(3, "\x1bOB"));
        f.view->feed("\x1b[?1l");
        f.wheel(QPoint(0, 120));
        QCOMPARE(f.sent(), repeat(3, "\x1b[A"));
        f.view->feed("\x1b[?1007l");
        f.wheel(QPoint(0, 120));
        f.wheel(QPoint(0, 0), QPoint(0, 1));
        QCOMPARE(f.sent(), std::string());
        QCOMPARE(f.view->pointer().scrollAccumulator(), 0.0);
        QCOMPARE(f.yDisp(), 0);
    }

    void rightClickMenu()
    {
        Fixture f;
        f.view->feed("hello world");
        const auto menuOpen = [&] { return f.view->contextMenu() && f.view->contextMenu()->isVisible(); };
        struct Entry {
            QString text, keys;
            bool enabled;
            bool operator==(const Entry&) const = default;
        };
        const auto entries = [&] {
            QList<Entry> out;
            for (QAction* a : f.view->contextMenu()->actions())
                if (!a->isSeparator())
                    out.append({a->text(), a->shortcut().toString(), a->isEnabled()});
            return out;
        };
        const auto item = [&](const QString& text) -> QAction* {
            for (QAction* a : f.view->contextMenu()->actions())
                if (a->text() == text)
                    return a;
            return nullptr;
        };

        // No selection, nothing on the clipboard: Copy and Paste are greyed out.
        QApplication::clipboard()->clear();
        f.press(f.at(0, 0), Qt::NoModifier, Qt::RightButton);
        f.release(f.at(0, 0), Qt::NoModifier, Qt::RightButton);
        QVERIFY(menuOpen());
        const QList<Entry> idle{{"Copy", "Ctrl+Shift+C", false},
                                {"Paste", "Ctrl+Shift+V", false},
                                {"Select All", "Ctrl+Shift+A", true},
                                {QStringLiteral("Find…"), "Ctrl+Shift+F", true}};
        QVERIFY(entries() == idle);
        f.view->contextMenu()->close();
        QVERIFY(f.sent().empty());

        // A selected word and text on the clipboard: the items work.
        QApplication::clipboard()->setText("pasted");
        f.click(f.at(1, 0));
        f.click(f.at(1, 0));
        f.pause();
        f.press(f.at(1, 0), Qt::NoModifier, Qt::RightButton);
        QVERIFY(menuOpen());
        QVERIFY(f.view->selectionActive());
        QVERIFY(item("Copy")->isEnabled() && item("Paste")->isEnabled());
        item("Copy")->trigger();
        QCOMPARE(QApplication::clipboard()->text(), QString("hello"));
        item("Paste")->trigger();
        QCOMPARE(f.sent(), std::string("hello"));
        f.view->contextMenu()->close();

        // A program that asked for mouse reports gets the right button...
        f.view->feed("\x1b[?1000h\x1b[?1006h");
        f.press(f.at(5, 3), Qt::NoModifier, Qt::RightButton);
        QCOMPARE(f.sent(), std::string("\x1b[<2;6;4M"));
        QVERIFY(!menuOpen());
        // ...unless Shift is held.
        f.press(f.at(5, 3), Qt::ShiftModifier, Qt::RightButton);
        QVERIFY(menuOpen());
        QVERIFY(f.sent().empty());
        f.view->contextMenu()->close();
    }

    void clicksSelectWordsExpressionsAndRows()
    {
        Fixture f;
        f.view->feed("say hello(a b) world");
        // Double click on "h".
        f.click(f.at(4, 0));
        f.click(f.at(4, 0));
        QCOMPARE(f.view->selectedText().value_or(""), std::string("hello"));
        f.pause();
        // Double click on "(": the bracketed expression.
        f.click(f.at(9, 0));
        QVERIFY(!f.view->selectionActive());  // a single click clears
        f.click(f.at(9, 0));
        QCOMPARE(f.view->selectedText().value_or(""), std::string("(a b)"));
        // A third click: the row.
        f.click(f.at(9, 0));
        QCOMPARE(f.view->selectedText().value_or(""), std::string("say hello(a b) world"));
        f.pause();
        // Qt's own double click: the second press comes as a double-click
        // event, alone or after a press of its own.
        f.click(f.at(4, 0));
        f.clock.advance(100 * ms);
        f.mouse(QEvent::MouseButtonDblClick, Qt::LeftButton, f.at(4, 0), Qt::NoModifier, Qt::LeftButton);
        f.release(f.at(4, 0));
        QCOMPARE(f.view->selectedText().value_or(""), std::string("hello"));
        f.pause();
        f.click(f.at(4, 0));
        f.clock.advance(100 * ms);
        f.press(f.at(4, 0));
        f.mouse(QEvent::MouseButtonDblClick, Qt::LeftButton, f.at(4, 0), Qt::NoModifier, Qt::LeftButton);
        f.release(f.at(4, 0));
        QCOMPARE(f.view->selectedText().value_or(""), std::string("hello"));
        f.pause();
        // Clicks too far apart in time or place count afresh.
        f.click(f.at(4, 0));
        f.pause();
        f.click(f.at(4, 0));
        QVERIFY(!f.view->selectionActive());
        f.click(f.at(4, 0));
        f.click(f.at(30, 0));
        QVERIFY(!f.view->selectionActive());
        f.pause();

        // A press selects nothing; the drag selects from where it went down,
        // even when its first move is already cells away.
        f.press(f.at(4, 0));
        QVERIFY(!f.view->selectionActive());
        f.drag(f.at(4, 0) + QPointF(0.5, 0));  // a tremble is no drag
        QVERIFY(!f.view->selectionActive());
        f.drag(f.at(9, 0));
        f.release(f.at(9, 0));
        QCOMPARE(f.view->selectedText().value_or(""), std::string("hello"));
        f.pause();
        // Shift-click extends; a plain click clears.
        f.click(f.at(14, 0), Qt::ShiftModifier);
        QCOMPARE(f.view->selectedText().value_or(""), std::string("hello(a b)"));
        f.pause();
        f.click(f.at(2, 0));
        QVERIFY(!f.view->selectionActive());
        QVERIFY(f.sent().empty());
    }

    void selectionIsPainted()
    {
        Fixture f;
        f.view->feed("abc def");
        f.click(f.at(4, 0));
        f.click(f.at(4, 0));
        f.clock.advance(100 * ms);
        const QImage image = f.view->grab().toImage();
        const qreal s = image.devicePixelRatio();
        auto pixel = [&](int col) {
            // The top-left corner of a cell: background, never a glyph.
            return image.pixel(int((col * f.cell().width() + 1) * s), int(1 * s)) | 0xff000000u;
        };
        const QRgb selected = f.view->selectedTextBackgroundColor().rgb();
        QCOMPARE(pixel(4), selected);
        QCOMPARE(pixel(6), selected);
        QVERIFY(pixel(3) != selected);
        QVERIFY(pixel(7) != selected);
    }

    void dragsAutoScroll()
    {
        TerminalOptions options;
        options.scrollback = 1000;
        Fixture f(options);
        f.fillLines(300);
        f.view->scrollTo(200);
        QCOMPARE(f.yDisp(), 200);
        f.press(f.at(3, 5));
        f.drag(f.at(3, 6));
        QVERIFY(f.view->selectionActive());
        QVERIFY(!f.view->pointer().autoScrollRunning());
        // Seven rows above the view: 10 rows a tick.
        f.drag(f.above(3, 7));
        QCOMPARE(f.view->pointer().autoScrollDelta(), -10);
        QVERIFY(f.view->pointer().autoScrollRunning());
        f.clock.advance(49 * ms);
        QCOMPARE(f.yDisp(), 200);
        f.clock.advance(1 * ms);
        QCOMPARE(f.yDisp(), 190);
        f.clock.advance(50 * ms);
        QCOMPARE(f.yDisp(), 180);
        // Twelve rows above: max(20, rows).
        f.drag(f.above(3, 12));
        QCOMPARE(f.view->pointer().autoScrollDelta(), -25);
        f.clock.advance(50 * ms);
        QCOMPARE(f.yDisp(), 155);
        // The selection followed the scrolling.
        QCOMPARE(std::min(f.view->selection().start(), f.view->selection().end()).row, 155 - 12);
        // Back inside: the timer stops.
        f.drag(f.at(3, 10));
        QVERIFY(!f.view->pointer().autoScrollRunning());
        f.clock.advance(200 * ms);
        QCOMPARE(f.yDisp(), 155);
        // The top row itself scrolls one row a tick; release stops it.
        f.drag(f.at(3, 0));
        QCOMPARE(f.view->pointer().autoScrollDelta(), -1);
        f.clock.advance(50 * ms);
        QCOMPARE(f.yDisp(), 154);
        f.release(f.at(3, 0));
        QVERIFY(!f.view->pointer().autoScrollRunning());
        f.clock.advance(200 * ms);
        QCOMPARE(f.yDisp(), 154);

        // Below the newest line nothing scrolls.
        f.pause();
        f.view->scrollTo(f.view->maxScroll());
        const int bottom = f.yDisp();
        f.press(f.at(3, 5));
        f.drag(f.at(3, 30));
        QVERIFY(!f.view->pointer().autoScrollRunning());
        f.clock.advance(200 * ms);
        QCOMPARE(f.yDisp(), bottom);
        f.release(f.at(3, 30));
    }

    // A running auto-scroll or a waiting prompt click leaves nothing on the
    // clock once the view goes.
    void pointerTasksGoWithTheView()
    {
        {
            TerminalOptions options;
            options.scrollback = 1000;
            Fixture f(options);
            f.fillLines(300);
            f.view->scrollTo(200);
            f.press(f.at(3, 5));
            f.drag(f.above(3, 3));
            QVERIFY(f.view->pointer().autoScrollRunning());
            f.view.reset();
            QCOMPARE(f.clock.pendingCount(), size_t(0));
        }
        {
            Fixture f;
            f.view->feed("\x1b]133;A;cl=line\x07$ \x1b]133;B\x07hello");
            f.click(f.at(3, 0));
            QVERIFY(f.view->pointer().semanticClickPending());
            f.view.reset();
            QCOMPARE(f.clock.pendingCount(), size_t(0));
        }
    }

    void promptClicksWaitForTheDoubleClickInterval()
    {
        const std::string prompt = "\x1b]133;A;cl=line\x07$ \x1b]133;B\x07hello";
        const std::string fourLeft = repeat(4, "\x1b[D");
        const uint64_t interval = uint64_t(QApplication::doubleClickInterval()) * ms;
        {  // a single click acts after the interval
            Fixture f;
            f.view->feed(prompt);
            f.click(f.at(3, 0));
            QVERIFY(f.view->pointer().semanticClickPending());
            f.clock.advance(interval - 1 * ms);
            QCOMPARE(f.sent(), std::string());
            f.clock.advance(2 * ms);
            QCOMPARE(f.sent(), fourLeft);
            QCOMPARE(f.view->pointer().semanticDeferralScheduleCount(), 1);
            QVERIFY(!f.view->selectionActive());
        }
        {  // never after a double click
            Fixture f;
            f.view->feed(prompt);
            f.click(f.at(3, 0));
            f.clock.advance(interval / 2);
            f.click(f.at(3, 0));
            f.clock.advance(interval * 2);
            QCOMPARE(f.sent(), std::string());
            QCOMPARE(f.view->selectedText().value_or(""), std::string("hello"));
        }
        {  // never after a drag
            Fixture f;
            f.view->feed(prompt);
            f.press(f.at(3, 0));
            f.drag(f.at(6, 0));
            f.release(f.at(6, 0));
            f.clock.advance(interval * 2);
            QCOMPARE(f.sent(), std::string());
        }
        {  // never when a selection was there at the press
            Fixture f;
            f.view->feed(prompt);
            f.view->selectAll();
            f.click(f.at(3, 0));
            QVERIFY(!f.view->selectionActive());
            f.clock.advance(interval * 2);
            QCOMPARE(f.sent(), std::string());
        }
        {  // never on a line that was recycled meanwhile
            TerminalOptions options;
            options.scrollback = 5;
            Fixture f(options);
            f.view->feed(prompt);
            f.click(f.at(3, 0));
            QVERIFY(f.view->pointer().semanticClickPending());
            f.view->feed(repeat(60, "\r\n"));
            f.clock.advance(interval * 2);
            QCOMPARE(f.sent(), std::string());
            QVERIFY(!f.view->pointer().semanticClickPending());
        }
        {  // the view may go while the click waits
            Fixture f;
            f.view->feed(prompt);
            f.click(f.at(3, 0));
            f.view.reset();
            f.clock.advance(interval * 2);
        }
    }

    void pastesAreSanitised()
    {
        QClipboard* clipboard = QGuiApplication::clipboard();
        {  // bracketed: one write, markers and text
            Fixture f;
            f.view->feed("\x1b[?2004h");
            clipboard->setText(QStringLiteral("a\nb"));
            f.view->paste();
            QCOMPARE(f.delegate.writes.size(), size_t(1));
            QCOMPARE(f.sent(), std::string("\x1b[200~a\rb\x1b[201~"));
            // An end marker inside the text cannot end the paste early.
            clipboard->setText(QString::fromLatin1("x\x1b[201~y"));
            f.view->paste();
            QCOMPARE(f.sent(), std::string("\x1b[200~x[201~y\x1b[201~"));
            // Nothing on the clipboard: only the markers.
            clipboard->clear();
            f.view->paste();
            QCOMPARE(f.sent(), std::string("\x1b[200~\x1b[201~"));
        }
        {  // plain: controls go, line ends become CR
            Fixture f;
            clipboard->setText(QString::fromUtf8("ls\x03 -l\r\n\x1b[31mx\u009b2J\ty\u00e9\x7f"));
            f.view->paste();
            QCOMPARE(f.sent(), std::string("ls -l\r[31mx2J\ty\xc3\xa9"));
            // Typed text is not a paste: it goes as it is.
            f.view->insertText("a\nb", false);
            QCOMPARE(f.sent(), std::string("a\nb"));
        }
        {  // kitty flags 1, bracketed paste off: one kitty text event
            Fixture f;
            f.view->feed("\x1b[>1u");
            QCOMPARE(f.terminal().keyboardEnhancementFlags().rawValue, 1u);
            clipboard->setText(QStringLiteral("ab c"));
            f.view->paste();
            QCOMPARE(f.delegate.writes.size(), size_t(1));
            QCOMPARE(f.sent(), std::string("ab c"));
        }
    }

    void sanitiserKeepsTextAndDropsControls_data()
    {
        QTest::addColumn<QByteArray>("in");
        QTest::addColumn<QByteArray>("out");
        QTest::newRow("plain") << QByteArray("hello") << QByteArray("hello");
        QTest::newRow("lf") << QByteArray("a\nb\n") << QByteArray("a\rb\r");
        QTest::newRow("crlf") << QByteArray("a\r\nb") << QByteArray("a\rb");
        QTest::newRow("lone cr") << QByteArray("a\rb") << QByteArray("a\rb");
        QTest::newRow("cr cr lf") << QByteArray("a\r\r\nb") << QByteArray("a\r\rb");
        QTest::newRow("tab") << QByteArray("a\tb") << QByteArray("a\tb");
        QTest::newRow("c0") << QByteArray("a\x01\x08\x1b\x1f"
                                          "b",
                                          6)
                            << QByteArray("ab");
        QTest::newRow("nul") << QByteArray("a\0b", 3) << QByteArray("ab");
        QTest::newRow("del") << QByteArray("a\x7f"
                                           "b")
                             << QByteArray("ab");
        QTest::newRow("c1 csi") << QByteArray("a\xc2\x9b"
                                              "2J")
                                << QByteArray("a2J");
        QTest::newRow("c1 edges") << QByteArray("\xc2\x80\xc2\x9f\xc2\xa0") << QByteArray("\xc2\xa0");
        QTest::newRow("utf8") << QByteArray("\xe2\x82\xac\xf0\x9f\x98\x80")
                              << QByteArray("\xe2\x82\xac\xf0\x9f\x98\x80");
        QTest::newRow("bad bytes") << QByteArray("a\xff\xc0\x9b"
                                                 "b\xe2\x82")
                                   << QByteArray("ab");
        QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80"
                                                 "x")
                                   << QByteArray("x");
    }
    void sanitiserKeepsTextAndDropsControls()
    {
        QFETCH(QByteArray, in);
        QFETCH(QByteArray, out);
        QCOMPARE(QByteArray::fromStdString(sanitizePaste(std::string_view(in.constData(), size_t(in.size())))), out);
    }

    void copyAndSelectAll()
    {
        Fixture f;
        QClipboard* clipboard = QGuiApplication::clipboard();
        clipboard->setText(QStringLiteral("before"));
        f.view->feed("one\r\ntwo");
        QVERIFY(!f.view->copyAction()->isEnabled());
        f.view->copy();  // nothing selected: the clipboard keeps its text
        QCOMPARE(clipboard->text(), QStringLiteral("before"));
        f.view->selectAllAction()->trigger();
        QVERIFY(f.view->selectionActive());
        QVERIFY(f.view->copyAction()->isEnabled());
        f.view->copyAction()->trigger();
        // Everything written, and no empty rows below it.
        QCOMPARE(clipboard->text(), QStringLiteral("one\ntwo"));
        QCOMPARE(f.view->copyAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C));
        QCOMPARE(f.view->pasteAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_V));
        // A key drops the selection; a modifier alone does not.
        QTest::keyPress(f.view.get(), Qt::Key_Control, Qt::ControlModifier);
        QVERIFY(f.view->selectionActive());
        QVERIFY(f.view->links().modifierHeld());
        QTest::keyRelease(f.view.get(), Qt::Key_Control);
        QVERIFY(!f.view->links().modifierHeld());
        QTest::keyClick(f.view.get(), Qt::Key_X);
        QVERIFY(!f.view->selectionActive());
    }

    void pasteKeysReachTheActions()
    {
        Fixture f;
        f.view->activateWindow();
        if (!QTest::qWaitForWindowActive(f.view.get()))
            QSKIP("the window cannot become active here");
        f.view->setFocus();
        QGuiApplication::clipboard()->setText(QStringLiteral("pasted\n"));
        QTest::keyClick(f.view.get(), Qt::Key_Insert, Qt::ShiftModifier);
        QCOMPARE(f.sent(), std::string("pasted\r"));
        QTest::keyClick(f.view.get(), Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(f.sent(), std::string("pasted\r"));
        f.view->feed("word");
        f.view->selectAll();
        QGuiApplication::clipboard()->clear();
        QTest::keyClick(f.view.get(), Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(QGuiApplication::clipboard()->text().startsWith(QStringLiteral("word")));
        QVERIFY(f.view->selectionActive());
        QCOMPARE(f.sent(), std::string());
    }

    void selectionIsDroppedByOutputResizeAndFont()
    {
        Fixture f;
        f.view->feed("hello world");
        f.view->selectAll();
        f.view->feed("!");
        QVERIFY(!f.view->selectionActive());

        // Output keeps it while the application may not see the mouse.
        f.view->setAllowMouseReporting(false);
        f.view->selectAll();
        f.view->feed("?\r\n");
        QVERIFY(f.view->selectionActive());
        f.view->setAllowMouseReporting(true);

        f.view->resize(f.view->width() - int(f.cell().width() * 3), f.view->height());
        QVERIFY(!f.view->selectionActive());

        f.view->selectAll();
        f.view->clearSelectionOnFontChange();
        QVERIFY(!f.view->selectionActive());
        QCOMPARE(f.view->selection().selectionMode(), SelectionService::SelectionMode::character);
        QVERIFY(!f.view->selection().selectingRows());
    }

    void scrollBar()
    {
        {  // lines no more than rows: nothing to scroll
            Fixture f;
            QVERIFY(!f.view->canScroll());
            QCOMPARE(f.view->scrollPosition(), 0.0);
            QVERIFY(!f.view->scroller()->isEnabled());
            f.view->scrollTo(5);
            QCOMPARE(f.yDisp(), 0);
        }
        {  // 10,000 lines on 25 rows: the knob stops at 0.01
            TerminalOptions options;
            options.scrollback = 20000;
            Fixture f(options);
            f.fillLines(9999);
            QCOMPARE(f.terminal().activeBuffer().lines().count(), 10000);
            QCOMPARE(f.view->scrollThumbsize(), 0.01);
            QVERIFY(f.view->canScroll());
            QCOMPARE(f.view->scrollPosition(), 1.0);
            QVERIFY(f.view->scroller()->isEnabled());
            QCOMPARE(f.view->scroller()->maximum(), f.view->maxScroll());
            QCOMPARE(f.view->scroller()->value(), f.view->maxScroll());
            QCOMPARE(f.view->scroller()->pageStep(), 25);
        }
        {  // maxScroll 7: position 0.5 is row 3; the bar's parts
            Fixture f;
            f.fillLines(31);
            QCOMPARE(f.view->maxScroll(), 7);
            f.view->scrollToPosition(0.5);
            QCOMPARE(f.yDisp(), 3);
            QVERIFY(f.terminal().userScrolling);
            QCOMPARE(f.view->scroller()->value(), 3);
            f.view->scrollToPosition(1.0);
            QCOMPARE(f.yDisp(), 7);
            QVERIFY(!f.terminal().userScrolling);
            QCOMPARE(f.delegate.scrolls.back(), 1.0);

            f.view->scroller()->triggerAction(QAbstractSlider::SliderPageStepSub);
            QCOMPARE(f.yDisp(), 0);
            QCOMPARE(f.view->scroller()->value(), 0);
            f.view->scroller()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
            QCOMPARE(f.yDisp(), 1);
            f.view->scroller()->setSliderPosition(5);  // a knob drag
            QCOMPARE(f.yDisp(), 5);
            f.view->scroller()->triggerAction(QAbstractSlider::SliderPageStepAdd);
            QCOMPARE(f.yDisp(), 7);
            QCOMPARE(f.view->scroller()->value(), 7);

            // The alternate screen: nothing to scroll, pages go to the program.
            f.view->feed("\x1b[?1049h");
            f.clock.advance(100 * ms);
            QVERIFY(!f.view->scroller()->isEnabled());
            QCOMPARE(f.view->scrollPosition(), 0.0);
            QCOMPARE(f.view->scrollThumbsize(), 0.0);
            f.delegate.writes.clear();
            f.view->pageUp();
            QCOMPARE(f.sent(), std::string("\x1b[5~"));
        }
    }

    void bellStyleDecidesTheHostsBell()
    {
        Fixture f;
        const std::pair<BellStyle, int> cases[] = {
            {BellStyle::sound, 1}, {BellStyle::soundAndVisual, 1}, {BellStyle::none, 0}, {BellStyle::visual, 0}};
        QCOMPARE(f.view->notices().bellStyle(), BellStyle::sound);
        for (const auto& [style, bells] : cases) {
            f.delegate.bells = 0;
            f.view->notices().setBellStyle(style);
            f.clock.advance(BellAndProgress::bellIntervalNs);
            f.view->feed("");
            QCOMPARE(f.delegate.bells, bells);
        }
    }

    void bellStyleNames()
    {
        QCOMPARE(bellStyleFromRawValue("sound"), std::optional<BellStyle>(BellStyle::sound));
        QCOMPARE(bellStyleFromRawValue("soundAndVisual"), std::optional<BellStyle>(BellStyle::soundAndVisual));
        QVERIFY(!bellStyleFromRawValue("Sound"));
        QVERIFY(!bellStyleFromRawValue(""));
        for (BellStyle style : allBellStyles)
            QCOMPARE(bellStyleFromRawValue(rawValue(style)), std::optional<BellStyle>(style));
    }
};

QTEST_MAIN(TerminalViewMouseTests)
#include "TerminalViewMouseTests.moc"
