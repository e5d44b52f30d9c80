// The view as the terminal's delegate: window reports, pixel sizes, the
// bell, the clipboard's trust, and how soon an echo is painted.
#include "platform/FakeScheduler.h"
#include "platform/Log.h"
#include "ravelgrid/drawing/CellMetrics.h"
#include "ravelgrid/view/LocalProcessTerminalView.h"
#include "support/ViewTestSupport.h"

#include <QPaintEvent>
#include <QtTest>

#include <cmath>
#include <memory>
#include <mutex>

using namespace ravelgrid;

namespace {

constexpr uint64_t ms = 1'000'000;

struct ClipboardDelegate : RecordingDelegate {
    int reads = 0;
    std::optional<std::vector<uint8_t>> clipboardRead(TerminalView&) override
    {
        ++reads;
        return std::vector<uint8_t>{'h', 'i'};
    }
};

struct Fixture : ViewOnFakeClock<ClipboardDelegate> {
    Fixture() { clock.advance(100 * ms); }
    void showSized(int cols, int rows)
    {
        QVERIFY(showGrid(cols, rows));
        clock.advance(100 * ms);
    }
};

// Log lines while it lives.
struct LogCapture {
    std::vector<std::string> lines;
    LogCapture()
    {
        platform::setLogSink(
            [this](platform::LogLevel, std::string_view, std::string_view message) { lines.emplace_back(message); });
    }
    ~LogCapture() { platform::setLogSink(nullptr); }
};

// Counts the view's paint events and the area they covered.
struct PaintCounter : QObject {
    int paints = 0;
    QRegion painted;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            ++paints;
            painted += static_cast<QPaintEvent*>(event)->region();
        }
        return false;
    }
};

std::string bytes(const std::optional<std::vector<uint8_t>>& v)
{
    return v ? std::string(v->begin(), v->end()) : std::string("<none>");
}

}  // namespace

class TerminalViewCallbackTests : public QObject {
    Q_OBJECT

private slots:
    void windowCommandReplies_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<qreal>("scale");
        QTest::addColumn<bool>("eightBit");
        QTest::addColumn<QByteArray>("reply");
        using K = WindowManipulationCommand::Kind;
        QTest::newRow("text area at 2") << int(K::reportTextAreaPixelDimension) << 2.0 << false
                                        << QByteArray("\x1b[4;768;1200t");
        QTest::newRow("cell at 2") << int(K::reportCellSizeInPixels) << 2.0 << false << QByteArray("\x1b[6;32;15t");
        // 7.5 × 1.25 = 9.375 → 9, 16 × 1.25 = 20; rows and columns of whole cells.
        QTest::newRow("text area at 1.25")
            << int(K::reportTextAreaPixelDimension) << 1.25 << false << QByteArray("\x1b[4;480;720t");
        // 7.5 × 1.5 = 11.25 → 11, 16 × 1.5 = 24.
        QTest::newRow("cell at 1.5") << int(K::reportCellSizeInPixels) << 1.5 << false << QByteArray("\x1b[6;24;11t");
        // 7.5 × 1 = 7.5 → 8: halves away from zero.
        QTest::newRow("cell at 1") << int(K::reportCellSizeInPixels) << 1.0 << false << QByteArray("\x1b[6;16;8t");
        QTest::newRow("8-bit controls") << int(K::reportCellSizeInPixels) << 2.0 << true
                                        << QByteArray("\x9b"
                                                      "6;32;15t");
        QTest::newRow("iconify") << int(K::iconifyWindow) << 2.0 << false << QByteArray("<none>");
        QTest::newRow("maximise") << int(K::maximizeWindow) << 2.0 << false << QByteArray("<none>");
        QTest::newRow("title report") << int(K::reportWindowTitle) << 2.0 << false << QByteArray("<none>");
    }

    void windowCommandReplies()
    {
        QFETCH(int, kind);
        QFETCH(qreal, scale);
        QFETCH(bool, eightBit);
        QFETCH(QByteArray, reply);
        const WindowManipulationCommand command{WindowManipulationCommand::Kind(kind), 0, 0};
        QCOMPARE(QByteArray::fromStdString(
                     bytes(TerminalView::windowCommandReply(command, 80, 24, QSizeF(7.5, 16), scale, eightBit))),
                 reply);
        // Without cell metrics nothing is answered.
        QVERIFY(!TerminalView::windowCommandReply(command, 80, 24, std::nullopt, scale, eightBit));
    }

    void pixelSizesAgreeAtThisScale()
    {
        // Run at every scale a desktop uses (see the CTest entries).
        Fixture f;
        f.showSized(20, 6);
        const QSize px = f.view->cellSizeInDevicePixels();
        const auto cell = f.view->cellSizeInPixels(f.view->terminal());
        QVERIFY(cell);
        QCOMPARE(*cell, std::make_pair(px.width(), px.height()));
        QCOMPARE(px, devicePixelCellSize(*f.view->cellDimension(), f.view->backingScale()));

        f.view->feed("\x1b[16t");
        QCOMPARE(f.take(), "\x1b[6;" + std::to_string(px.height()) + ";" + std::to_string(px.width()) + "t");
        const int cols = f.view->terminal().cols;
        const int rows = f.view->terminal().rows;
        f.view->feed("\x1b[14t");
        QCOMPARE(f.take(),
                 "\x1b[4;" + std::to_string(rows * px.height()) + ";" + std::to_string(cols * px.width()) + "t");
        const winsize ws = ptyWindowSize(cols, rows, *f.view->cellDimension(), f.view->backingScale());
        QCOMPARE(int(ws.ws_xpixel) / cols, px.width());
        QCOMPARE(int(ws.ws_ypixel) / rows, px.height());
        QCOMPARE(int(ws.ws_xpixel) % cols, 0);
    }

    void resizeRequestIsOnlyLogged()
    {
        Fixture f;
        LogCapture log;
        f.view->feed("\x1b[4;600;800t\x1b[2t\x1b[5t\x1b[9;1t");
        QCOMPARE(f.take(), std::string());
        QVERIFY(std::find(log.lines.begin(), log.lines.end(), "Request to resize to 800x600") != log.lines.end());
    }

    void clipboardReadsNeedTrust()
    {
        Fixture f;
        QVERIFY(!f.view->processTrusted());
        f.view->feed("\x1b]52;c;?\x07");
        QCOMPARE(f.take(), std::string());
        QCOMPARE(f.delegate.reads, 0);
        f.view->setProcessTrusted(true);
        f.view->feed("\x1b]52;c;?\x07");
        QCOMPARE(f.delegate.reads, 1);
        QVERIFY(f.take().find("aGk=") != std::string::npos);
        // A window's process view is untrusted until its host says otherwise.
        LocalProcessTerminalView process;
        QVERIFY(!process.isProcessTrusted(process.terminal()));
    }

    void bellFloodBeepsOncePerInterval()
    {
        Fixture f;
        f.showSized(10, 3);
        for (int i = 0; i < 1000; ++i) {
            f.view->feed("\a");
            f.clock.advance(100'000);  // 1000 bells in 100 ms
        }
        QCOMPARE(f.delegate.bells, 1);
        f.clock.advance(1 * ms);
        f.view->feed("\a\a\a");
        QCOMPARE(f.delegate.bells, 2);

        // No sound for the visual style; one flash, gone after 200 ms.
        f.view->notices().setBellStyle(BellStyle::visual);
        f.clock.advance(200 * ms);
        f.view->feed("\a");
        QCOMPARE(f.delegate.bells, 2);
        QVERIFY(f.view->notices().flashActive());
        QTRY_VERIFY_WITH_TIMEOUT(f.view->notices().flashOpacity() > 0.1, 1000);
        QTRY_VERIFY_WITH_TIMEOUT(!f.view->notices().flashActive(), 2000);
        // Both, and none.
        f.view->notices().setBellStyle(BellStyle::soundAndVisual);
        f.clock.advance(200 * ms);
        f.view->feed("\a");
        QCOMPARE(f.delegate.bells, 3);
        QVERIFY(f.view->notices().flashActive());
        f.view->notices().setBellStyle(BellStyle::none);
        f.clock.advance(200 * ms);
        f.view->feed("\a");
        QCOMPARE(f.delegate.bells, 3);
    }

    void appearanceProperties()
    {
        Fixture f;
        f.view->setNativeBackgroundColor(QColor(10, 20, 30));
        f.view->setBackgroundOpacity(1.5);
        QCOMPARE(f.view->backgroundOpacity(), 1.0);
        f.view->setBackgroundOpacity(-0.2);
        QCOMPARE(f.view->backgroundOpacity(), 0.0);
        f.view->setBackgroundOpacity(0.5);
        QVERIFY(std::abs(f.view->backgroundOpacity() - 0.5) < 0.01);
        QCOMPARE(f.view->nativeBackgroundColor().rgb(), QColor(10, 20, 30).rgb());

        // Caret colours: the defaults follow the native colours, also under
        // reverse video; a nil text colour goes back to the default.
        f.view->setNativeForegroundColor(QColor(200, 200, 200));
        f.view->setBackgroundOpacity(1.0);
        QCOMPARE(f.view->effectiveCaretColor(), QColor(200, 200, 200));
        QCOMPARE(f.view->effectiveCaretTextColor(), QColor(10, 20, 30));
        f.view->feed("\x1b[?5h");
        QCOMPARE(f.view->effectiveNativeBackground(), QColor(200, 200, 200));
        QCOMPARE(f.view->effectiveCaretColor(), QColor(10, 20, 30));
        f.view->feed("\x1b[?5l");
        f.view->setCaretColor(QColor(1, 2, 3));
        f.view->setCaretTextColor(QColor(4, 5, 6));
        QCOMPARE(f.view->effectiveCaretColor(), QColor(1, 2, 3));
        QCOMPARE(f.view->effectiveCaretTextColor(), QColor(4, 5, 6));
        f.view->setCaretTextColor(std::nullopt);
        QCOMPARE(f.view->effectiveCaretTextColor(), QColor(10, 20, 30));

        f.view->setCustomBlockGlyphs(false);
        QVERIFY(!f.view->customBlockGlyphs());
        f.view->setAntiAliasCustomBlockGlyphs(true);
        QVERIFY(f.view->antiAliasCustomBlockGlyphs());
        f.view->setSelectedTextBackgroundColor(QColor(9, 9, 9));
        QCOMPARE(f.view->selectedTextBackgroundColor(), QColor(9, 9, 9));
    }

    void echoIsPaintedAtOnceAndOnlyItsRows()
    {
        Fixture f;
        f.showSized(40, 20);
        QCoreApplication::processEvents();
        PaintCounter counter;
        f.view->installEventFilter(&counter);
        // Typed input, then its echo within the interactive window: painted
        // before feed returns, without an event-loop turn.
        f.view->send(std::string_view("x"));
        f.clock.advance(5 * ms);
        f.view->feed("x");
        QVERIFY(counter.paints >= 1);
        const qreal rowHeight = f.view->cellDimension()->height();
        // The changed row and the one below it (descenders), no more.
        QVERIFY(counter.painted.boundingRect().height() <= int(std::ceil(2 * rowHeight)) + 1);
        // Output long after typing waits for the coalesced pass.
        counter.paints = 0;
        f.clock.advance(500 * ms);
        f.view->feed("y");
        QCOMPARE(counter.paints, 0);
        f.view->removeEventFilter(&counter);
    }
};

QTEST_MAIN(TerminalViewCallbackTests)
#include "TerminalViewCallbackTests.moc"
