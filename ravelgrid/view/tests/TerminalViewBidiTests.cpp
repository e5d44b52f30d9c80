// Right-to-left rows in TerminalView: the caret, the arrow keys, mouse
// reports and redraws follow what is shown, and the ink of Hebrew and Arabic
// rows lies at their right end; legacyLeftToRight turns all of it off.
#include "platform/FakeScheduler.h"
#include "ravelgrid/bidi/TerminalBidi.h"
#include "ravelgrid/view/CaretView.h"
#include "support/ViewTestSupport.h"

#include <QApplication>
#include <QtTest>

#include <cmath>
#include <memory>

using namespace ravelgrid;

namespace {

constexpr uint64_t ms = 1'000'000;
constexpr int cols = 10;
constexpr int rows = 5;

struct Fixture : ViewOnFakeClock<> {
    explicit Fixture(BidiHostPolicy policy = BidiHostPolicy::respectTerminal)
    {
        TerminalBidi::clearCaches();
        view->setBidiHostPolicy(policy);
        if (!showGrid(cols, rows))
            qWarning("view not exposed");
        clock.advance(100 * ms);
        delegate.writes.clear();
    }
    void feed(std::string_view text)
    {
        view->feed(text);
        clock.advance(100 * ms);
    }
    std::string sent() { return take(); }
    std::string key(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier)
    {
        QTest::keyClick(view.get(), key, mods);
        return sent();
    }
    void mouse(QEvent::Type type, QPointF pos)
    {
        QMouseEvent event(type, pos, view->mapToGlobal(pos), Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
        event.setTimestamp(clock.nowNs() / ms);
        QApplication::sendEvent(view.get(), &event);
    }
    void drag(int fromCol, int toCol, int row)
    {
        const qreal y = (row + 0.5) * cell().height();
        mouse(QEvent::MouseButtonPress, QPointF((fromCol + 0.5) * cell().width(), y));
        const QPointF to((toCol + 0.5) * cell().width(), y);
        QMouseEvent move(QEvent::MouseMove, to, view->mapToGlobal(to), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view.get(), &move);
        mouse(QEvent::MouseButtonRelease, to);
        clock.advance(1000 * ms);
    }
    std::string click(int col, int row)
    {
        const QPointF pos((col + 0.5) * cell().width(), (row + 0.5) * cell().height());
        mouse(QEvent::MouseButtonPress, pos);
        mouse(QEvent::MouseButtonRelease, pos);
        clock.advance(1000 * ms);
        return sent();
    }
    int caretColumn() const { return int(std::lround(view->caretView()->geometry().x() / cell().width())); }
    // Columns of a screen row that hold anything but the background.
    std::vector<int> inkedColumns(const QImage& image, int row) const
    {
        const QRgb background = view->nativeBackgroundColor().rgb() & 0xffffff;
        const qreal s = image.devicePixelRatio();
        std::vector<int> inked;
        for (int c = 0; c < cols; ++c) {
            bool any = false;
            for (int y = int(std::ceil(row * cell().height() * s)); y < int((row + 1) * cell().height() * s) && !any;
                 ++y)
                for (int x = int(std::ceil(c * cell().width() * s)); x < int((c + 1) * cell().width() * s) && !any; ++x)
                    any = (image.pixel(x, y) & 0xffffff) != background;
            if (any)
                inked.push_back(c);
        }
        return inked;
    }
};

}  // namespace

class TerminalViewBidiTests : public QObject {
    Q_OBJECT

private slots:
    void caretSitsOnTheVisualCell()
    {
        Fixture f;
        f.feed("שלום\r");
        QCOMPARE(f.caretColumn(), 9);
        f.feed("\x1b[3G");  // logical column 2
        QCOMPARE(f.caretColumn(), 7);
        f.feed("\r\nabc");
        QCOMPARE(f.caretColumn(), 3);

        Fixture legacy(BidiHostPolicy::legacyLeftToRight);
        legacy.feed("שלום\r");
        QCOMPARE(legacy.caretColumn(), 0);
        // Switching the policy moves the caret at once.
        legacy.view->setBidiHostPolicy(BidiHostPolicy::respectTerminal);
        QCOMPARE(legacy.caretColumn(), 9);
    }

    void arrowsSwapOnRightToLeftRowsWhenAsked()
    {
        struct Case {
            const char* name;
            const char* setup;
            BidiHostPolicy policy;
            Qt::Key key;
            Qt::KeyboardModifiers mods;
            std::string expected;
        };
        const auto respect = BidiHostPolicy::respectTerminal;
        const std::vector<Case> cases = {
            {"rtl row, DECCKM, swap: Left", "\x1b[?1h\x1b[?1243hשלום\r", respect, Qt::Key_Left, {}, "\x1bOC"},
            {"rtl row, DECCKM, swap: Right", "\x1b[?1h\x1b[?1243hשלום\r", respect, Qt::Key_Right, {}, "\x1bOD"},
            {"ltr row, DECCKM, swap", "\x1b[?1h\x1b[?1243habc\r", respect, Qt::Key_Left, {}, "\x1bOD"},
            {"rtl row without 1243h", "\x1b[?1hשלום\r", respect, Qt::Key_Left, {}, "\x1bOD"},
            {"rtl row, normal cursor keys", "\x1b[?1243hשלום\r", respect, Qt::Key_Left, {}, "\x1b[C"},
            {"legacy never swaps",
             "\x1b[?1h\x1b[?1243hשלום\r",
             BidiHostPolicy::legacyLeftToRight,
             Qt::Key_Left,
             {},
             "\x1bOD"},
            {"explicit rtl row", "\x1b[8l\x1b[2 k\x1b[?1h\x1b[?1243habc\r", respect, Qt::Key_Left, {}, "\x1bOC"},
            {"explicit ltr row", "\x1b[8l\x1b[?1h\x1b[?1243hשלום\r", respect, Qt::Key_Left, {}, "\x1bOD"},
            {"modified arrows keep their form", "\x1b[?1h\x1b[?1243hשלום\r", respect, Qt::Key_Left, Qt::ShiftModifier,
             "\x1b[1;2D"},
        };
        for (const Case& c : cases) {
            Fixture f(c.policy);
            f.feed(c.setup);
            QVERIFY2(f.key(c.key, c.mods) == c.expected, c.name);
        }
    }

    void clicksReportTheLogicalCell()
    {
        Fixture f;
        f.feed("\x1b[?1000h\x1b[?1006hשלום\r\n");
        // "ש", logical column 0, shows in the rightmost cell.
        QCOMPARE(f.click(9, 0), std::string("\x1b[<0;1;1M\x1b[<0;1;1m"));
        QCOMPARE(f.click(6, 0), std::string("\x1b[<0;4;1M\x1b[<0;4;1m"));
        // The blank tail on the left is the row's logical end.
        QCOMPARE(f.click(0, 0), std::string("\x1b[<0;10;1M\x1b[<0;10;1m"));

        Fixture legacy(BidiHostPolicy::legacyLeftToRight);
        legacy.feed("\x1b[?1000h\x1b[?1006hשלום\r\n");
        QCOMPARE(legacy.click(9, 0), std::string("\x1b[<0;10;1M\x1b[<0;10;1m"));
    }

    void aChangeRedrawsItsWholeParagraph()
    {
        for (const auto policy : {BidiHostPolicy::respectTerminal, BidiHostPolicy::legacyLeftToRight}) {
            Fixture f(policy);
            const qreal h = f.cell().height();
            // 25 letters: one paragraph over rows 0 to 2.
            std::string text;
            for (int i = 0; i < 25; ++i)
                text += "א";
            f.feed(text);
            f.feed("\x1b[2;3H");
            f.feed("x");
            const QRectF rect = f.view->lastInvalidatedRect();
            if (policy == BidiHostPolicy::respectTerminal) {
                // The three rows and, as always, the one below.
                QCOMPARE(rect.top(), 0.0);
                QCOMPARE(rect.height(), 4 * h);
            } else {
                QCOMPARE(rect.top(), h);
                QCOMPARE(rect.height(), 2 * h);
            }
        }
    }

    void hebrewAndArabicInkLiesAtTheRightEnd()
    {
        Fixture f;
        f.feed("\x1b[?25lשלום\r\nمرحبا\r\nabc");
        const QImage image = f.view->grab().toImage();
        const std::vector<int> hebrew = f.inkedColumns(image, 0);
        const std::vector<int> arabic = f.inkedColumns(image, 1);
        QVERIFY(!hebrew.empty() && !arabic.empty());
        // A glyph from a proportional fallback font may reach a pixel into
        // its left neighbour, no further.
        QVERIFY(hebrew.front() >= cols - 4 - 1);
        QVERIFY(arabic.front() >= cols - 5 - 1);
        QCOMPARE(hebrew.back(), cols - 1);
        QCOMPARE(arabic.back(), cols - 1);
        QCOMPARE(f.inkedColumns(image, 2).front(), 0);

        Fixture legacy(BidiHostPolicy::legacyLeftToRight);
        legacy.feed("\x1b[?25lשלום\r\nمرحبا");
        const QImage plain = legacy.view->grab().toImage();
        QCOMPARE(legacy.inkedColumns(plain, 0).front(), 0);
        QVERIFY(legacy.inkedColumns(plain, 0).back() < cols - 1);
    }

    // Full-screen programs place every cell: their rows keep logical order
    // unless the program asks for detection itself.
    void theAlternateScreenKeepsLogicalOrder()
    {
        const auto firstInk = [](Fixture& f) { return f.inkedColumns(f.view->grab().toImage(), 0).front(); };
        Fixture f;
        // Each letter stays in the cell the program put it in.
        f.feed("\x1b[?25l\x1b[?1049h\x1b[Hשלום\r");
        QCOMPARE(firstInk(f), 0);
        QCOMPARE(f.caretColumn(), 0);
        // Back on the normal screen the same text is laid out right to left.
        f.feed("\x1b[?1049l\x1b[2J\x1b[Hשלום\r");
        QVERIFY(firstInk(f) >= cols - 5);
        QCOMPARE(f.caretColumn(), 9);

        // The program's own request holds on the alternate screen too...
        f.feed("\x1b[?2501h\x1b[?1049h\x1b[Hשלום\r");
        QVERIFY(firstInk(f) >= cols - 5);
        QCOMPARE(f.caretColumn(), 9);
        // ...until a reset forgets it.
        f.feed("\x1b[!p\x1b[2J\x1b[Hשלום\r");
        QCOMPARE(firstInk(f), 0);
        QCOMPARE(f.caretColumn(), 0);
        f.feed("\x1b[?1049l\x1b[2J\x1b[Hשלום\r");
        QCOMPARE(f.caretColumn(), 9);
    }

    // A bar and a number beside Hebrew, as vim and less draw a row: on the
    // alternate screen they stay in their cells for the painter, the caret,
    // mouse reports and selection alike; the normal screen reorders them.
    void fullScreenRowsAreNotReordered()
    {
        Fixture f;
        const std::string row = "של  \x1b[41m|\x1b[42m2\x1b[m |";
        // The cells whose background is red (the bar) and green (the number),
        // by their top-left corners, where no glyph reaches.
        const auto redAndGreen = [&f] {
            const QImage image = f.view->grab().toImage();
            const qreal s = image.devicePixelRatio();
            int red = -1, green = -1;
            for (int c = 0; c < cols; ++c) {
                const QColor p = image.pixelColor(int((c * f.cell().width() + 1) * s), int(1 * s));
                if (p.red() > 120 && p.green() < 60)
                    red = c;
                if (p.green() > 120 && p.red() < 60)
                    green = c;
            }
            return std::make_pair(red, green);
        };
        f.feed("\x1b[?1049h\x1b[H" + row + "\r\n" + "של  |2 |" + "\x1b[H");
        QCOMPARE(redAndGreen(), std::make_pair(4, 5));
        QCOMPARE(f.caretColumn(), 0);
        f.feed("\x1b[?1000h\x1b[?1006h");
        QCOMPARE(f.click(5, 0), std::string("\x1b[<0;6;1M\x1b[<0;6;1m"));
        QCOMPARE(f.click(0, 0), std::string("\x1b[<0;1;1M\x1b[<0;1;1m"));
        f.feed("\x1b[?1000l");
        f.drag(4, 6, 1);
        QCOMPARE(f.view->selectedText().value_or(""), std::string("|2"));
        const QImage selected = f.view->grab().toImage();
        const qreal s = selected.devicePixelRatio();
        const auto highlighted = [&](int c) {
            return selected.pixel(int((c * f.cell().width() + 1) * s), int((f.cell().height() + 1) * s)) ==
                   f.view->selectedTextBackgroundColor().rgb();
        };
        QVERIFY(!highlighted(3) && highlighted(4) && highlighted(5) && !highlighted(6));
        f.click(9, 1);  // a plain click clears it

        // BDSM set brings the layout back with a left-to-right base...
        f.feed("\x1b[8h\x1b[2J\x1b[H" + row);
        QCOMPARE(redAndGreen(), std::make_pair(1, 0));
        // ...and direction detection with the row's own.
        f.feed("\x1b[?2501h\x1b[2J\x1b[H" + row + "\r");
        QCOMPARE(redAndGreen(), std::make_pair(5, 4));
        QCOMPARE(f.caretColumn(), 9);
        // The normal screen reorders it whatever the program asked.
        f.feed("\x1b[!p\x1b[?1049l\x1b[2J\x1b[H" + row + "\r");
        QCOMPARE(redAndGreen(), std::make_pair(5, 4));
        QCOMPARE(f.caretColumn(), 9);
    }
};

QTEST_MAIN(TerminalViewBidiTests)
#include "TerminalViewBidiTests.moc"
