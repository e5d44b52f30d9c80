// What a screen reader gets from a terminal view: the visible rows as text,
// the caret in it, and one notification of each kind per display pass.
#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/view/DebugOverlay.h"
#include "ravelgrid/view/TerminalAccessible.h"
#include "support/ViewTestSupport.h"

#include <QAccessible>
#include <QTextBoundaryFinder>
#include <QtTest>

#include <vector>

using namespace ravelgrid;

namespace {

struct Posted {
    QAccessible::Event type = QAccessible::InvalidEvent;
    int position = -1;
    QString removed;
    QString added;
    int cursor = -1;
};

std::vector<Posted>* posted = nullptr;

void recordEvent(QAccessibleEvent* event)
{
    if (!posted)
        return;
    Posted p;
    p.type = event->type();
    switch (event->type()) {
    case QAccessible::TextInserted: {
        auto* e = static_cast<QAccessibleTextInsertEvent*>(event);
        p.position = e->changePosition();
        p.added = e->textInserted();
        p.cursor = e->cursorPosition();
        break;
    }
    case QAccessible::TextUpdated: {
        auto* e = static_cast<QAccessibleTextUpdateEvent*>(event);
        p.position = e->changePosition();
        p.removed = e->textRemoved();
        p.added = e->textInserted();
        break;
    }
    case QAccessible::TextCaretMoved:
        p.cursor = static_cast<QAccessibleTextCursorEvent*>(event)->cursorPosition();
        break;
    default: return;
    }
    posted->push_back(p);
}

struct Fixture : ViewOnFakeClock<> {
    std::vector<Posted> events;
    explicit Fixture(int cols = 20, int rows = 4, bool show = true) : ViewOnFakeClock(small(cols, rows))
    {
        if (show && !showGrid(cols, rows))
            qWarning("view not exposed");
        posted = &events;
        TerminalAccessibilityNotifier::setSink(recordEvent);
    }
    ~Fixture()
    {
        TerminalAccessibilityNotifier::setSink(nullptr);
        posted = nullptr;
    }
    static TerminalOptions small(int cols, int rows)
    {
        TerminalOptions o;
        o.cols = cols;
        o.rows = rows;
        return o;
    }
    void pass() { view->displayNow(); }
    std::vector<Posted> of(QAccessible::Event type) const
    {
        std::vector<Posted> out;
        for (const Posted& p : events)
            if (p.type == type)
                out.push_back(p);
        return out;
    }
    QAccessibleTextInterface* text()
    {
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(view.get());
        return iface ? iface->textInterface() : nullptr;
    }
};

// Qt's default boundary walk never ends when the item it starts from is
// empty at either end of the text.
bool qtLoops(QAccessible::TextBoundaryType type, const QString& text, int offset)
{
    if (type != QAccessible::WordBoundary && type != QAccessible::SentenceBoundary)
        return false;
    QTextBoundaryFinder finder(
        type == QAccessible::WordBoundary ? QTextBoundaryFinder::Word : QTextBoundaryFinder::Sentence, text);
    finder.setPosition(offset);
    const bool edge = finder.boundaryReasons() & (QTextBoundaryFinder::StartOfItem | QTextBoundaryFinder::EndOfItem);
    return (offset == text.size() && edge) || (offset == 0 && !edge);
}

}  // namespace

class TerminalViewAccessibilityTests : public QObject {
    Q_OBJECT

private slots:
    void interfaceReadsTheVisibleRows()
    {
        Fixture f;
        f.view->feed("hello\r\nworld  x\r\n$ ");
        f.pass();
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(f.view.get());
        QVERIFY(iface);
        QCOMPARE(iface->role(), QAccessible::Terminal);
        QCOMPARE(iface->text(QAccessible::Name), QStringLiteral("Terminal"));
        QAccessibleTextInterface* text = f.text();
        QVERIFY(text);
        // Trailing blanks go, except those before the caret on its row.
        const QString expected = QStringLiteral("hello\nworld  x\n$ \n");
        QCOMPARE(text->text(0, text->characterCount()), expected);
        QCOMPARE(iface->text(QAccessible::Value), expected);
        QCOMPARE(text->cursorPosition(), int(expected.indexOf(QLatin1Char('$')) + 2));
        QCOMPARE(text->text(6, 11), QStringLiteral("world"));
        // Out-of-range requests are clamped, never read past the text.
        QCOMPARE(text->text(-5, 5), QStringLiteral("hello"));
        QCOMPARE(text->text(100, 200), QString());
        int start = -1, end = -1;
        QCOMPARE(text->textAtOffset(8, QAccessible::LineBoundary, &start, &end).trimmed(), QStringLiteral("world  x"));
        QCOMPARE(text->textAtOffset(8, QAccessible::WordBoundary, &start, &end), QStringLiteral("world"));
        QCOMPARE(text->textAtOffset(1, QAccessible::CharBoundary, &start, &end), QStringLiteral("e"));
    }

    void characterRectsFollowTheCells()
    {
        Fixture f;
        f.view->feed("ab\r\n\xe4\xb8\xad"
                     "c");  // a wide character, then one narrow
        f.pass();
        QAccessibleTextInterface* text = f.text();
        QVERIFY(text);
        const QSizeF cell = f.cell();
        const QPoint origin = f.view->mapToGlobal(QPoint(0, 0));
        // "c" follows the wide character, so it sits in column 2 of row 1.
        const int c = int(text->text(0, text->characterCount()).indexOf(QLatin1Char('c')));
        const QRect rect = text->characterRect(c);
        QCOMPARE(rect.topLeft() - origin, QRectF(2 * cell.width(), cell.height(), 1, 1).toAlignedRect().topLeft());
        QCOMPARE(text->offsetAtPoint(rect.center()), c);
        QVERIFY(text->characterRect(-1).isNull());
        QCOMPARE(text->offsetAtPoint(origin - QPoint(5, 5)), -1);
    }

    void pointsPastARowsEndAnswerTheRowsEnd()
    {
        Fixture f;
        f.view->feed("ab\r\n\xe4\xb8\xad"
                     "c");
        f.pass();
        QAccessibleTextInterface* text = f.text();
        const QSizeF cell = f.cell();
        const QPoint origin = f.view->mapToGlobal(QPoint(0, 0));
        const auto at = [&](int column, int row) {
            return text->offsetAtPoint(origin +
                                       QPointF((column + 0.5) * cell.width(), (row + 0.5) * cell.height()).toPoint());
        };
        QCOMPARE(at(1, 0), 1);
        QCOMPARE(at(10, 0), 2);  // the "\n" after "ab", not "b"
        QCOMPARE(at(1, 1), 3);   // the wide character's second half is the character
        QCOMPARE(at(2, 1), 4);
        QCOMPARE(at(15, 1), 5);
    }

    // A reader walking the screen a character at a time reads one snapshot
    // per display pass, not one per character.
    void readsBetweenPassesShareOneSnapshot()
    {
        Fixture f;
        for (int row = 0; row < 4; ++row)
            f.view->feed(row < 3 ? "abcdefghijklmnopqrs\r\n" : "abcdefghij");
        f.pass();
        QAccessibleTextInterface* text = f.text();
        const uint64_t before = VisibleText::made();
        int start = -1, end = -1;
        QString walked;
        for (int i = 0; i < text->characterCount(); ++i)
            walked += text->textAtOffset(i, QAccessible::CharBoundary, &start, &end);
        QCOMPARE(walked, text->text(0, text->characterCount()));
        QCOMPARE(VisibleText::made() - before, uint64_t(1));
        f.view->feed("\r\x1b[2KX");
        f.pass();
        QVERIFY(text->text(0, text->characterCount()).endsWith(QStringLiteral("\nX")));
    }

    // Every answer is Qt's own for the same text, except where Qt's walk
    // would never end or answers a start of -1.
    void boundariesAreQtsOwn()
    {
        Fixture f(24, 8);
        // A blank first row, wide, joined and combined characters, blank
        // rows, and a letter at the very end.
        f.view->feed("\r\nHi, there. ok? a_b 3.5\r\n\xe4\xb8\xad\xe6\x96\x87 \xe5\xad\x97x\r\n"
                     "\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd \xf0\x9f\x87\xa9\xf0\x9f\x87\xaa!\r\n"
                     "e\xcc\x81 x\xcc\x81\xcc\x82 n\xcc\x83o\r\n\r\n\r\n$ end");
        f.pass();
        QAccessibleTextInterface* text = f.text();
        const QString all = text->text(0, text->characterCount());
        const int n = int(all.size());
        QVERIFY(all.startsWith(QLatin1Char('\n')) && all.endsWith(QStringLiteral("end")));
        for (int type = QAccessible::CharBoundary; type <= QAccessible::NoBoundary; ++type) {
            const auto boundary = QAccessible::TextBoundaryType(type);
            for (int offset = -2; offset <= n + 1; ++offset) {
                int s = 0, e = 0, qs = 0, qe = 0;
                QString ours = text->textAtOffset(offset, boundary, &s, &e);
                if (qtLoops(boundary, all, offset == -1 ? n : offset)) {
                    // The first item starts at 0; the one at the end is empty.
                    QCOMPARE(s, offset == -1 ? n : offset);
                    QVERIFY(s == n ? e == n : e > s);
                    QCOMPARE(ours, all.mid(s, e - s));
                } else {
                    QCOMPARE(ours, text->QAccessibleTextInterface::textAtOffset(offset, boundary, &qs, &qe));
                    QCOMPARE(QPoint(s, e), QPoint(qs, qe));
                }
                ours = text->textBeforeOffset(offset, boundary, &s, &e);
                const QString theirs = text->QAccessibleTextInterface::textBeforeOffset(offset, boundary, &qs, &qe);
                QCOMPARE(ours, theirs);
                QCOMPARE(QPoint(s, e), qs == -1 ? QPoint(-1, -1) : QPoint(qs, qe));
                ours = text->textAfterOffset(offset, boundary, &s, &e);
                QCOMPARE(ours, text->QAccessibleTextInterface::textAfterOffset(offset, boundary, &qs, &qe));
                QCOMPARE(QPoint(s, e), QPoint(qs, qe));
            }
        }
        // A character is a whole cluster, asked for at any of its units.
        int s = 0, e = 0;
        const int thumb = int(all.indexOf(QStringLiteral("\U0001F44D")));
        QCOMPARE(text->textAtOffset(thumb + 1, QAccessible::CharBoundary, &s, &e),
                 QStringLiteral("\U0001F44D\U0001F3FD"));
        const int accent = int(all.indexOf(QStringLiteral("x\u0301")));
        QCOMPARE(text->textAtOffset(accent + 2, QAccessible::CharBoundary, &s, &e), QStringLiteral("x\u0301\u0302"));
    }

    // Walking the whole screen by character, word and line reads one
    // snapshot and analyses its text once per kind, whatever its size (Qt's
    // defaults read and analyse the text again for every offset; bench/
    // view_selection_bench's BM_WalkAccessibleText times both sizes).
    void walkingTheTextReadsAndAnalysesItOnce()
    {
        for (const int rows : {24, 384}) {
            Fixture f(100, rows, false);
            std::string row;
            for (int i = 0; i < 3; ++i)
                row += "alpha beta, gamma. \xe4\xb8\xad\xe6\x96\x87 ok? ";
            for (int i = 0; i < rows; ++i)
                f.view->feed(row + (i + 1 < rows ? "end\r\n" : "end"));
            QAccessibleTextInterface* text = f.text();
            QVERIFY(text);
            for (int round = 0; round < 2; ++round) {
                f.pass();
                const uint64_t snapshots = VisibleText::made();
                const uint64_t analyses = TextBoundaries::analyses();
                const int n = text->characterCount();
                QVERIFY(n > rows * 70);  // the whole screen
                int s = 0, e = 0;
                for (const auto boundary :
                     {QAccessible::CharBoundary, QAccessible::WordBoundary, QAccessible::LineBoundary})
                    for (int offset = 0; offset < n; ++offset)
                        text->textAtOffset(offset, boundary, &s, &e);
                QCOMPARE(VisibleText::made() - snapshots, uint64_t(1));
                QCOMPARE(TextBoundaries::analyses() - analyses, uint64_t(2));
            }
        }
    }

    void aPassPostsTheChangeAndTheCaret()
    {
        Fixture f;
        QVERIFY(TerminalAccessibilityNotifier::listening());
        f.view->feed("one");
        f.pass();
        f.events.clear();
        f.view->feed(" two");
        f.pass();
        // Only what was added, where it was added.
        const auto inserted = f.of(QAccessible::TextInserted);
        QCOMPARE(inserted.size(), size_t(1));
        QCOMPARE(inserted[0].position, 3);
        QCOMPARE(inserted[0].added, QStringLiteral(" two"));
        const auto moved = f.of(QAccessible::TextCaretMoved);
        QCOMPARE(moved.size(), size_t(1));
        QCOMPARE(moved[0].cursor, 7);

        // A rewrite of text already there is an update of just that part.
        f.events.clear();
        f.view->feed("\rONE");
        f.pass();
        const auto updated = f.of(QAccessible::TextUpdated);
        QCOMPARE(updated.size(), size_t(1));
        QCOMPARE(updated[0].position, 0);
        QCOMPARE(updated[0].removed, QStringLiteral("one"));
        QCOMPARE(updated[0].added, QStringLiteral("ONE"));
        QCOMPARE(f.of(QAccessible::TextCaretMoved)[0].cursor, 3);
    }

    void nothingChangedNothingPosted()
    {
        Fixture f;
        f.view->feed("steady");
        f.pass();
        f.events.clear();
        f.pass();
        f.pass();
        QVERIFY(f.events.empty());
        // Many writes before one pass make one notification of each kind.
        for (int i = 0; i < 10; ++i)
            f.view->feed("x");
        f.pass();
        QCOMPARE(f.of(QAccessible::TextInserted).size(), size_t(1));
        QCOMPARE(f.of(QAccessible::TextCaretMoved).size(), size_t(1));
        // A caret that moves over unchanged text is told alone.
        f.events.clear();
        f.view->feed("\x1b[1;2H");
        f.pass();
        QCOMPARE(f.of(QAccessible::TextInserted).size() + f.of(QAccessible::TextUpdated).size(), size_t(0));
        QCOMPARE(f.of(QAccessible::TextCaretMoved).size(), size_t(1));
        QCOMPARE(f.of(QAccessible::TextCaretMoved)[0].cursor, 1);
    }

    void silentWhileNobodyListens()
    {
        Fixture f;
        TerminalAccessibilityNotifier::setSink(nullptr);
        if (QAccessible::isActive())
            QSKIP("this platform has a live accessibility client");
        f.view->feed("quiet\r\nstill");
        f.pass();
        // Nothing was tracked meanwhile: once a reader appears the first pass
        // tells the whole screen.
        TerminalAccessibilityNotifier::setSink(recordEvent);
        f.view->feed("!");
        f.pass();
        const auto inserted = f.of(QAccessible::TextInserted);
        QCOMPARE(inserted.size(), size_t(1));
        QCOMPARE(inserted[0].position, 0);
        QCOMPARE(inserted[0].added, QStringLiteral("quiet\nstill!\n\n"));
    }

    void textIsBoundedByTheGrid()
    {
        Fixture f;
        // Far more output than fits: the scrollback never reaches the reader.
        std::string lots;
        for (int i = 0; i < 2000; ++i)
            lots += "0123456789abcdefghij\r\n";
        f.view->feed(lots);
        f.pass();
        QAccessibleTextInterface* text = f.text();
        QVERIFY(text);
        QVERIFY(text->characterCount() <= 4 * 21);
        const VisibleText visible = VisibleText::of(f.view->terminal());
        QCOMPARE(visible.rowOf.size(), size_t(visible.text.size()));
        QCOMPARE(visible.rowStart.size(), size_t(4));
        // Scrolled back, the rows shown are old output and the caret is off
        // screen: it rests at the end rather than on a row it is not on.
        f.view->scrollTo(0);
        QVERIFY(text->text(0, text->characterCount()).startsWith(QStringLiteral("0123456789abcdefghij\n")));
        QCOMPARE(text->cursorPosition(), text->characterCount());
    }

    void displayPassesRefreshTheDebugOverlay()
    {
        Fixture f;
        QVERIFY(!f.view->debugOverlay());
        auto* overlay = new DebugOverlay(QRect(0, 0, 300, 200), *f.view);
        QCOMPARE(f.view->debugOverlay(), overlay);
        QCOMPARE(overlay->statusText(), QStringLiteral("WAITING"));
        f.view->feed("abc");
        f.pass();
        QVERIFY(overlay->statusText().startsWith(QStringLiteral("x: 3 y: 0")));
        // A pass with nothing dirty still refreshes it: the cursor may have moved.
        f.view->feed("\x1b[2;5H");
        f.pass();
        QVERIFY(overlay->statusText().startsWith(QStringLiteral("x: 4 y: 1")));
        delete overlay;
        QVERIFY(!f.view->debugOverlay());
        f.pass();
    }
};

QTEST_MAIN(TerminalViewAccessibilityTests)
#include "TerminalViewAccessibilityTests.moc"
