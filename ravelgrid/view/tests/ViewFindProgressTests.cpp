// The find bar and find commands, the progress bar and the debug overlay.
#include "platform/FakeScheduler.h"
#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/view/DebugOverlay.h"
#include "ravelgrid/view/FindBar.h"
#include "ravelgrid/view/ProgressBarView.h"
#include "support/ViewTestSupport.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QSignalSpy>
#include <QToolButton>
#include <QtTest>

#include <cmath>
#include <memory>

using namespace ravelgrid;

namespace {

constexpr uint64_t ms = 1'000'000;
constexpr uint64_t sec = 1000 * ms;

TerminalOptions withScrollback(int lines)
{
    TerminalOptions options;
    options.scrollback = lines;
    return options;
}

struct Fixture : ViewOnFakeClock<> {
    Fixture() : ViewOnFakeClock(withScrollback(5000))
    {
        if (!showGrid(80, 25))
            qWarning("view not exposed");
        clock.advance(100 * ms);
    }
    Buffer& buffer() { return view->terminal().activeBuffer(); }
    int yDisp() { return buffer().yDisp(); }
    // Lines "line i", with the text put in place of some of them.
    void fill(int n, const std::map<int, std::string>& special = {})
    {
        std::string text;
        for (int i = 0; i < n; ++i) {
            auto it = special.find(i);
            text += it != special.end() ? it->second : "line " + std::to_string(i);
            text += "\r\n";
        }
        view->feed(text);
        clock.advance(100 * ms);
    }
    QLineEdit* field() { return view->find().bar()->searchField(); }
    void type(const QString& text) { QTest::keyClicks(field(), text); }
    void key(QWidget* target, Qt::Key k, Qt::KeyboardModifiers mods = Qt::NoModifier)
    {
        QTest::keyClick(target, k, mods);
    }
    Position selectionStart() { return view->selection().start(); }
};

QColor stripPixel(TerminalView& view, qreal fraction)
{
    const QImage image = view.grab().toImage();
    const qreal dpr = image.devicePixelRatio();
    return QColor(image.pixel(int(view.width() * fraction * dpr), 0));
}

}  // namespace

class ViewFindProgressTests : public QObject {
    Q_OBJECT

private slots:
    void findBarSelectsAndCentresAMatch()
    {
        Fixture f;
        f.view->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(f.view.get()));
        f.fill(3100, {{50, "a needle here"}, {3090, "second needle"}});
        QVERIFY(f.yDisp() > 3000);
        QTest::keyClick(f.view.get(), Qt::Key_F, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(f.view->find().bar() && f.view->find().bar()->isVisible());
        // At the top right, inside the margins, no wider than 520.
        const QRect bar = f.view->find().bar()->geometry();
        QCOMPARE(bar.top(), 8);
        QCOMPARE(f.view->width() - 1 - bar.right(), 8);
        QVERIFY(bar.width() <= 520);
        QVERIFY(f.field()->width() >= 200);

        // 3000 lines back: selected and centred.
        f.field()->setText(QStringLiteral("needle"));
        QVERIFY(f.view->selectionActive());
        QCOMPARE(f.selectionStart(), (Position{2, 50}));
        QCOMPARE(f.view->selectedText().value_or(""), std::string("needle"));
        QCOMPARE(f.yDisp(), 50 - 25 / 2);
        // Return: the next one, centred too.
        f.key(f.field(), Qt::Key_Return);
        QCOMPARE(f.selectionStart(), (Position{7, 3090}));
        // Near the bottom the viewport stops at the live screen.
        QCOMPARE(f.yDisp(), std::min(3090 - 25 / 2, f.view->maxScroll()));
        // Shift+Return goes back.
        f.key(f.field(), Qt::Key_Return, Qt::ShiftModifier);
        QCOMPARE(f.selectionStart(), (Position{2, 50}));
        // The place of the current match among all of them.
        QCOMPARE(f.view->find().matchSummary("needle", {}, 100), (std::pair<int, int>{1, 2}));
        QCOMPARE(f.view->find().matchSummary("needle", {}, 1), (std::pair<int, int>{1, 1}));
        QCOMPARE(f.view->find().matchSummary("haystack", {}, 100), (std::pair<int, int>{0, 0}));
        // A match already on screen does not scroll.
        f.view->scrollTo(3070);
        f.key(f.field(), Qt::Key_Return);
        QCOMPARE(f.selectionStart(), (Position{7, 3090}));
        QCOMPARE(f.yDisp(), 3070);

        // An empty field drops the selection.
        f.field()->clear();
        QVERIFY(!f.view->selectionActive());
        // Escape closes the bar and gives the focus back.
        f.field()->setText(QStringLiteral("needle"));
        f.key(f.field(), Qt::Key_Escape);
        QVERIFY(!f.view->find().bar()->isVisible());
    }

    void invalidRegexFindsNothing()
    {
        Fixture f;
        f.fill(10, {{3, "(paren)"}});
        f.view->find().showBar(false);
        f.view->find().bar()->regexButton()->setChecked(true);
        f.type(QStringLiteral("("));
        QVERIFY(!f.view->selectionActive());
        // The same term as plain text is found.
        f.view->find().bar()->regexButton()->setChecked(false);
        QVERIFY(f.view->selectionActive());
        QCOMPARE(f.selectionStart(), (Position{0, 3}));
    }

    void findStringIsShared()
    {
        Fixture one;
        Fixture two;
        one.fill(10, {{4, "the needle"}});
        two.view->find().showBar(false);
        two.type(QStringLiteral("needle"));
        QCOMPARE(FindController::findString(), QStringLiteral("needle"));
        // The first view's bar was never shown: Ctrl+Shift+G uses the shared string.
        QVERIFY(!one.view->find().bar());
        one.view->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(one.view.get()));
        QTest::keyClick(one.view.get(), Qt::Key_G, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(one.view->selectionActive());
        QCOMPARE(one.selectionStart(), (Position{4, 4}));
        // No bytes of the chord reached the shell.
        QVERIFY(one.delegate.allBytes().empty());
    }

    void commandsAndTheirValidation()
    {
        Fixture f;
        f.fill(5, {{2, "pick me"}});
        using enum FindCommand;
        for (FindCommand command : {showFindBar, findNext, findPrevious, hideFindBar})
            QVERIFY(f.view->find().enabled(command) && f.view->find().action(command)->isEnabled());
        QVERIFY(!f.view->find().enabled(useSelectionForFind));
        QVERIFY(!f.view->find().action(useSelectionForFind)->isEnabled());
        // Hiding a bar never made makes none; the focus comes back to the view.
        f.view->find().perform(hideFindBar);
        QVERIFY(!f.view->find().bar());
        // Use selection (Ctrl+Shift+E): writes the find string and opens the bar with it.
        f.view->selection().setSelection(Position{0, 2}, Position{4, 2});
        QVERIFY(f.view->find().enabled(useSelectionForFind));
        f.view->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(f.view.get()));
        QTest::keyClick(f.view.get(), Qt::Key_E, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(FindController::findString(), QStringLiteral("pick"));
        QVERIFY(f.view->find().bar()->isVisible());
        QCOMPARE(f.field()->text(), QStringLiteral("pick"));
        // Previous (Ctrl+Shift+H) from the field.
        QTest::keyClick(f.field(), Qt::Key_H, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(f.selectionStart(), (Position{0, 2}));
    }

    // The bar only reports: Return, Shift+Return, Escape, the buttons and
    // the toggles each become one signal, and the term and options are read
    // from its controls.
    void findBarSignals()
    {
        FindBar bar;
        QSignalSpy term(&bar, &FindBar::termChanged);
        QSignalSpy next(&bar, &FindBar::nextRequested);
        QSignalSpy previous(&bar, &FindBar::previousRequested);
        QSignalSpy options(&bar, &FindBar::optionsChanged);
        QSignalSpy close(&bar, &FindBar::closeRequested);
        QTest::keyClicks(bar.searchField(), QStringLiteral("ab"));
        QCOMPARE(term.size(), 2);
        QCOMPARE(term.last().first().toString(), QStringLiteral("ab"));
        QCOMPARE(bar.term(), QStringLiteral("ab"));
        QTest::keyClick(bar.searchField(), Qt::Key_Return);
        QTest::keyClick(bar.searchField(), Qt::Key_Enter, Qt::ShiftModifier);
        QTest::keyClick(bar.searchField(), Qt::Key_Escape);
        QCOMPARE(next.size(), 1);
        QCOMPARE(previous.size(), 1);
        QCOMPARE(close.size(), 1);
        // Return and Escape never reach the field.
        QCOMPARE(bar.term(), QStringLiteral("ab"));
        bar.nextButton()->click();
        bar.previousButton()->click();
        bar.closeButton()->click();
        QCOMPARE(next.size(), 2);
        QCOMPARE(previous.size(), 2);
        QCOMPARE(close.size(), 2);
        bar.wholeWordButton()->click();
        bar.caseSensitiveButton()->click();
        QCOMPARE(options.size(), 2);
        const SearchOptions read = bar.options();
        QVERIFY(read.caseSensitive && !read.regex && read.wholeWord);
    }

    // Find Next without a shown bar searches the shared string with the
    // options the bar was left with.
    void hiddenBarKeepsItsOptions()
    {
        Fixture f;
        f.fill(6, {{1, "Needle"}, {4, "needle"}});
        f.view->find().showBar(false);
        f.view->find().bar()->caseSensitiveButton()->setChecked(true);
        f.type(QStringLiteral("needle"));
        QCOMPARE(f.selectionStart(), (Position{0, 4}));
        f.view->find().perform(FindCommand::hideFindBar);
        QVERIFY(!f.view->find().bar()->isVisible());
        // Ignoring case it would wrap round to "Needle".
        f.view->find().perform(FindCommand::findNext);
        QCOMPARE(f.selectionStart(), (Position{0, 4}));
        QCOMPARE(f.view->selectedText().value_or(""), std::string("needle"));
    }

    void findPaintsTheMatchInTheSelectionColour()
    {
        Fixture f;
        f.fill(3, {{1, "xx needle"}});
        f.view->find().showBar(false);
        f.type(QStringLiteral("needle"));
        f.view->displayNow();
        const QImage image = f.view->grab().toImage();
        const qreal dpr = image.devicePixelRatio();
        const QSizeF c = f.cell();
        auto px = [&](qreal col, qreal row) {
            return QColor(image.pixel(int((col + 0.5) * c.width() * dpr), int((row + 0.1) * c.height() * dpr)));
        };
        QCOMPARE(px(3, 1), f.view->selectedTextBackgroundColor());
        QVERIFY(px(1, 1) != f.view->selectedTextBackgroundColor());
    }

    void progressStates()
    {
        Fixture f;
        ProgressBarView* bar = f.view->notices().progressBar();
        QVERIFY(bar && !bar->isVisible());
        QCOMPARE(bar->geometry(), QRect(0, 0, f.view->width(), 2));
        const QColor accent = bar->palette().color(QPalette::Highlight);
        const QColor orange(255, 149, 0);
        const QColor red(255, 59, 48);

        f.view->feed("\x1b]9;4;1;40\x07");
        QVERIFY(bar->isVisible());
        bar->finishWidthAnimation();
        QCOMPARE(bar->barRect().width(), bar->width() * 0.4);
        QCOMPARE(stripPixel(*f.view, 0.2), accent);
        QVERIFY(stripPixel(*f.view, 0.6) != accent);

        f.view->feed("\x1b]9;4;4\x07");
        bar->finishWidthAnimation();
        QCOMPARE(bar->barColor(), orange);
        QCOMPARE(bar->barRect().width(), bar->width() * 0.4);
        QCOMPARE(stripPixel(*f.view, 0.3), orange);

        f.view->feed("\x1b]9;4;1;70\x07\x1b]9;4;2\x07");
        bar->finishWidthAnimation();
        QCOMPARE(bar->barColor(), red);
        QCOMPARE(bar->barRect().width(), bar->width() * 0.7);
        QVERIFY(!bar->sweeping());

        // A report every 10 s keeps it; 15 s of silence hides it and forgets.
        f.clock.advance(10 * sec);
        f.view->feed("\x1b]9;4;1;70\x07");
        f.clock.advance(10 * sec);
        QVERIFY(bar->isVisible());
        QCOMPARE(f.view->notices().lastProgressValue(), std::optional<uint8_t>(70));
        f.clock.advance(5 * sec);
        QVERIFY(!bar->isVisible());
        QVERIFY(!f.view->notices().lastProgressValue());

        // Nothing remembered: error sweeps in red, pause shows 100 % orange.
        f.view->feed("\x1b]9;4;2\x07");
        QVERIFY(bar->isVisible() && bar->sweeping());
        QCOMPARE(bar->barColor(), red);
        QCOMPARE(bar->barRect().width(), bar->width() * 0.25);
        f.view->feed("\x1b]9;4;0\x07");
        QVERIFY(!bar->isVisible() && !bar->sweeping());
        f.view->feed("\x1b]9;4;4\x07");
        bar->finishWidthAnimation();
        QCOMPARE(bar->barRect().width(), qreal(bar->width()));
        QCOMPARE(bar->barColor(), orange);
        // Remove hides at once; no time-out is left to fire.
        f.view->feed("\x1b]9;4;0\x07");
        QVERIFY(!bar->isVisible());
        QVERIFY(!f.view->notices().lastProgressValue());
    }

    // The time-out belongs to the view: a view gone with a bar shown leaves
    // nothing behind on the clock.
    void progressTimeoutGoesWithTheView()
    {
        Fixture f;
        f.view->feed("\x1b]9;4;1;50\x07");
        QVERIFY(f.view->notices().progressBar()->isVisible());
        f.view.reset();
        f.clock.advance(2 * BellAndProgress::progressReportTimeoutNs);
    }

    void progressFollowsTheWidth()
    {
        Fixture f;
        f.view->feed("\x1b]9;4;1;50\x07");
        ProgressBarView* bar = f.view->notices().progressBar();
        f.view->resize(f.view->width() + 100, f.view->height());
        QCOMPARE(bar->width(), f.view->width());
        QCOMPARE(bar->barRect().width(), f.view->width() * 0.5);
        // The bar never takes the mouse.
        QVERIFY(bar->testAttribute(Qt::WA_TransparentForMouseEvents));
    }

    void debugOverlay()
    {
        Fixture f;
        DebugOverlay overlay(QRect(0, 0, 600, 400), *f.view);
        QCOMPARE(overlay.statusText(), QStringLiteral("WAITING"));
        f.fill(30);
        overlay.refresh();
        Buffer& buffer = f.buffer();
        QVERIFY(overlay.statusText().startsWith(QStringLiteral("x: 0 y: ")));
        QVERIFY(overlay.statusText().contains(QStringLiteral("yDisp: %1 yBase: %1").arg(buffer.yDisp())));
        // yDisp and yBase on one row: "DB".
        const int base = buffer.yBase();
        QVERIFY(overlay.rowText(base).contains(QStringLiteral("]DB")));
        QVERIFY(overlay.rowText(0).startsWith(QStringLiteral("[000:000]  ")));
        f.view->scrollTo(2);
        QVERIFY(overlay.rowText(2).contains(QStringLiteral("]D ")));
        QVERIFY(overlay.rowText(base).contains(QStringLiteral("] B")));
        QVERIFY(overlay.rowText(3).contains(QStringLiteral("line 3")));
        // Slots the ring never filled read "<empty>" on the left, blank on the right.
        const int last = buffer.lines().maxLength() - 1;
        const QString empty = overlay.rowText(last);
        QVERIFY(empty.contains(QStringLiteral("<empty>")));
        QVERIFY(empty.endsWith(QStringLiteral("  ")));
        QCOMPARE(overlay.listing(5).size(), 5);
    }
};

QTEST_MAIN(ViewFindProgressTests)
#include "ViewFindProgressTests.moc"
