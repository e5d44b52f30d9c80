// Links in the view: hover highlight and preview with Ctrl, which link a
// click opens, and which link strings may open at all.
#include "platform/FakeScheduler.h"
#include "ravelgrid/view/LinkOpener.h"
#include "ravelgrid/view/LocalProcessTerminalView.h"
#include "ravelgrid/view/PlainText.h"
#include "support/ViewTestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <memory>
#include <sys/stat.h>

using namespace ravelgrid;

namespace {

constexpr uint64_t ms = 1'000'000;

// Records what a click asks to open, then opens it the view's way.
struct LinkDelegate : RecordingDelegate {
    std::vector<std::string> requested;
    void requestOpenLink(TerminalView& source, const std::string& link,
                         const std::map<std::string, std::string>&) override
    {
        requested.push_back(link);
        source.openLink(link);
    }
};

// What reached the desktop, and which targets were asked about.
struct Desktop {
    QStringList opened;
    QStringList asked;
    bool answer = true;
    Desktop()
    {
        LinkOpener::setOpenHook([this](const QUrl& url) {
            opened << url.toString();
            return true;
        });
        LinkOpener::setConfirmHook([this](QWidget*, const QString& target) {
            asked << target;
            return answer;
        });
    }
    ~Desktop()
    {
        LinkOpener::setOpenHook({});
        LinkOpener::setConfirmHook({});
    }
};

struct Fixture : ViewOnFakeClock<LinkDelegate> {
    Desktop desktop;

    Fixture()
    {
        if (!showGrid(80, 25))
            qWarning("view not exposed");
        clock.advance(100 * ms);
    }
    QPointF at(qreal col, qreal row) const { return {(col + 0.5) * cell().width(), (row + 0.5) * cell().height()}; }

    void mouse(QEvent::Type type, Qt::MouseButton button, QPointF pos, Qt::KeyboardModifiers mods,
               Qt::MouseButtons held = Qt::NoButton)
    {
        QMouseEvent event(type, pos, view->mapToGlobal(pos), button, held, mods);
        event.setTimestamp(clock.nowNs() / ms);
        QApplication::sendEvent(view.get(), &event);
    }
    void ctrl(bool down)
    {
        QKeyEvent event(down ? QEvent::KeyPress : QEvent::KeyRelease, Qt::Key_Control,
                        down ? Qt::ControlModifier : Qt::NoModifier);
        QApplication::sendEvent(view.get(), &event);
    }
    void hover(QPointF pos, Qt::KeyboardModifiers mods) { mouse(QEvent::MouseMove, Qt::NoButton, pos, mods); }
    void click(QPointF pos, Qt::KeyboardModifiers mods)
    {
        mouse(QEvent::MouseButtonPress, Qt::LeftButton, pos, mods, Qt::LeftButton);
        mouse(QEvent::MouseButtonRelease, Qt::LeftButton, pos, mods);
        clock.advance(1000 * ms);
    }
    // Ctrl held, pointer over a cell, click, Ctrl released.
    void ctrlClick(QPointF pos)
    {
        ctrl(true);
        hover(pos, Qt::ControlModifier);
        click(pos, Qt::ControlModifier);
        ctrl(false);
    }
    QImage grab()
    {
        view->displayNow();
        return view->grab().toImage();
    }
};

std::string osc8(const std::string& uri, const std::string& text, const std::string& params = "")
{
    return "\x1b]8;" + params + ";" + uri + "\x1b\\" + text + "\x1b]8;;\x1b\\";
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// A view whose trust is asked, and counted, each time it matters.
struct TrustCountingView : TerminalView {
    using TerminalView::TerminalView;
    bool trust = false;
    int asked = 0;
    bool isProcessTrusted(Terminal&) override
    {
        ++asked;
        return trust;
    }
};

}  // namespace

class ViewLinkTests : public QObject {
    Q_OBJECT

private slots:
    void ctrlPreviewsAndOpensTheWholeUri()
    {
        Fixture f;
        // The URI keeps everything after the first ";".
        f.view->feed(osc8("https://h/a;b", "https://h/a;b", "id=x:k=1"));
        // Without Ctrl: no preview, no highlight, a click opens nothing.
        f.hover(f.at(3, 0), Qt::NoModifier);
        QVERIFY(!f.view->links().preview());
        f.click(f.at(3, 0), Qt::NoModifier);
        QVERIFY(f.delegate.requested.empty());

        f.ctrl(true);
        f.hover(f.at(3, 0), Qt::ControlModifier);
        QVERIFY(f.view->links().preview());
        QCOMPARE(f.view->links().preview()->text(), QStringLiteral("https://h/a;b"));
        // At the bottom-left corner.
        QCOMPARE(f.view->links().preview()->geometry().left(), 0);
        QCOMPARE(f.view->links().preview()->geometry().bottom(), f.view->height() - 1);
        QVERIFY(f.view->links().highlightRange());
        QCOMPARE(f.view->links().highlightRange()->front().range, (ColumnRange{0, 13}));
        f.click(f.at(3, 0), Qt::ControlModifier);
        QCOMPARE(f.delegate.requested, std::vector<std::string>{"https://h/a;b"});
        QCOMPARE(f.desktop.opened, QStringList{QStringLiteral("https://h/a;b")});
        QVERIFY(f.desktop.asked.isEmpty());
        // Releasing Ctrl takes the preview and the highlight away.
        f.ctrl(false);
        QVERIFY(!f.view->links().preview());
        QVERIFY(!f.view->links().highlightRange());
    }

    // The preview spells out what would turn or hide the target's letters;
    // a click hands over the target as the program wrote it.
    void previewSpellsOutTheTarget_data()
    {
        QTest::addColumn<QString>("hidden");
        QTest::addColumn<QString>("spelt");
        const std::pair<char16_t, const char*> rows[] = {
            {u'\u202E', "<U+202E>"}, {u'\u2066', "<U+2066>"}, {u'\u2067', "<U+2067>"}, {u'\u2068', "<U+2068>"},
            {u'\u2069', "<U+2069>"}, {u'\u200B', "<U+200B>"}, {u'\u00A0', "<U+00A0>"}};
        for (const auto& [c, spelt] : rows)
            QTest::newRow(spelt) << QString(QChar(c)) << QString::fromLatin1(spelt);
    }
    void previewSpellsOutTheTarget()
    {
        QFETCH(QString, hidden);
        QFETCH(QString, spelt);
        Fixture f;
        const std::string target = (QStringLiteral("https://example.com/a") + hidden + "gnp.exe").toStdString();
        f.view->feed(osc8(target, "picture"));
        f.ctrl(true);
        f.hover(f.at(2, 0), Qt::ControlModifier);
        QVERIFY(f.view->links().preview());
        QCOMPARE(f.view->links().preview()->text(), QStringLiteral("https://example.com/a") + spelt + "gnp.exe");
        f.click(f.at(2, 0), Qt::ControlModifier);
        QCOMPARE(f.delegate.requested, std::vector<std::string>{target});
        QCOMPARE(f.desktop.asked, QStringList{QString::fromStdString(target)});
    }

    void payloadParsing_data()
    {
        QTest::addColumn<QString>("payload");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("params");
        QTest::newRow("params") << "id=a:x=1;https://h/p"
                                << "https://h/p"
                                << "id=a,x=1";
        QTest::newRow("later key wins") << "id=a:id=b;u"
                                        << "u"
                                        << "id=b";
        QTest::newRow("odd pieces dropped") << "a=b=c::z;u;v"
                                            << "u;v"
                                            << "";
        QTest::newRow("no uri") << "id=a;"
                                << "-"
                                << "";
        QTest::newRow("no semicolon") << "https://h"
                                      << "-"
                                      << "";
    }
    void payloadParsing()
    {
        QFETCH(QString, payload);
        QFETCH(QString, url);
        QFETCH(QString, params);
        const auto parsed = TerminalView::urlPreviewText(payload.toStdString());
        if (url == QLatin1String("-")) {
            QVERIFY(!parsed);
            return;
        }
        QVERIFY(parsed);
        QCOMPARE(QString::fromStdString(parsed->first), url);
        QStringList pairs;
        for (const auto& [k, v] : parsed->second)
            pairs << QString::fromStdString(k + "=" + v);
        QCOMPARE(pairs.join(','), params);
    }

    void modeAlwaysOpensOnlyExplicitLinks()
    {
        Fixture f;
        f.view->setLinkHighlightMode(LinkHighlightMode::always);
        f.view->feed(osc8("https://a.test/x", "https://a.test/x") + "\r\nsee https://b.test/y here");
        f.click(f.at(2, 0), Qt::NoModifier);
        f.click(f.at(8, 1), Qt::NoModifier);
        f.click(f.at(8, 1), Qt::ControlModifier);
        QCOMPARE(f.desktop.opened, QStringList{QStringLiteral("https://a.test/x")});
    }

    void detectedUrlNeedsCtrlHover()
    {
        Fixture f;
        f.view->feed("see https://b.test/y here");
        f.click(f.at(8, 0), Qt::NoModifier);
        QVERIFY(f.desktop.opened.isEmpty());
        f.ctrlClick(f.at(8, 0));
        QCOMPARE(f.desktop.opened, QStringList{QStringLiteral("https://b.test/y")});
    }

    void wideCharacterRightHalfOpensItsLink()
    {
        Fixture f;
        f.view->feed(osc8("https://w.test/", "\xe4\xb8\xad"));  // U+4E2D, two columns
        f.ctrlClick(f.at(1, 0));
        QCOMPARE(f.delegate.requested, std::vector<std::string>{"https://w.test/"});
        QCOMPARE(f.desktop.opened, QStringList{QStringLiteral("https://w.test/")});
    }

    void disguisedLinkAsksFirst()
    {
        Fixture f;
        f.desktop.answer = false;
        f.view->feed(osc8("https://evil.test", "example.com"));
        f.ctrlClick(f.at(2, 0));
        QCOMPARE(f.desktop.asked, QStringList{QStringLiteral("https://evil.test")});
        QVERIFY(f.desktop.opened.isEmpty());
        // Text that is the target without its scheme does not ask.
        f.view->feed("\r\n" + osc8("https://example.com", "example.com"));
        f.ctrlClick(f.at(2, 1));
        QCOMPARE(f.desktop.asked.size(), 1);
        QCOMPARE(f.desktop.opened, QStringList{QStringLiteral("https://example.com")});
    }

    void dragNeverOpens()
    {
        Fixture f;
        f.view->feed(osc8("https://a.test/x", "https://a.test/x"));
        f.ctrl(true);
        f.hover(f.at(1, 0), Qt::ControlModifier);
        f.mouse(QEvent::MouseButtonPress, Qt::LeftButton, f.at(1, 0), Qt::ControlModifier, Qt::LeftButton);
        f.mouse(QEvent::MouseMove, Qt::NoButton, f.at(10, 0), Qt::ControlModifier, Qt::LeftButton);
        f.mouse(QEvent::MouseButtonRelease, Qt::LeftButton, f.at(10, 0), Qt::ControlModifier);
        QVERIFY(f.delegate.requested.empty());
    }

    void highlightIsUnderlined()
    {
        Fixture f;
        // Blank cells carrying a link: only an underline can paint there.
        f.view->feed(osc8("https://a.test/x", "        "));
        const QSizeF c = f.cell();
        auto inkBelow = [&](const QImage& img) {
            const QColor bg = f.view->nativeBackgroundColor();
            int ink = 0;
            for (int y = int(c.height() / 2); y < int(c.height()); ++y)
                for (int x = 0; x < int(8 * c.width()); ++x)
                    if (QColor(img.pixel(int(x * img.devicePixelRatio()), int(y * img.devicePixelRatio()))) != bg)
                        ++ink;
            return ink;
        };
        QCOMPARE(inkBelow(f.grab()), 0);
        f.ctrl(true);
        f.hover(f.at(2, 0), Qt::ControlModifier);
        QVERIFY(inkBelow(f.grab()) > int(c.width()));
        f.ctrl(false);
        QCOMPARE(inkBelow(f.grab()), 0);
        // Always: every OSC 8 link is underlined, Ctrl or not.
        f.view->setLinkHighlightMode(LinkHighlightMode::always);
        QVERIFY(inkBelow(f.grab()) > int(c.width()));
        f.view->setLinkHighlightMode(LinkHighlightMode::alwaysWithModifier);
        QCOMPARE(inkBelow(f.grab()), 0);
        f.ctrl(true);
        QVERIFY(inkBelow(f.grab()) > int(c.width()));
        f.ctrl(false);
    }

    // Only what a Ctrl+click would open is shown as a link; the rest is text.
    void refusedLinksAreNeitherShownNorOpened()
    {
        Fixture f;
        f.view->feed(osc8("javascript:alert(1)", "run me") + "\r\n" + osc8("file:///etc/hostname", "hostname") +
                     "\r\n" + osc8("https://ok.test/", "fine"));
        for (int row : {0, 1}) {
            f.ctrl(true);
            f.hover(f.at(2, row), Qt::ControlModifier);
            QVERIFY2(!f.view->links().highlightRange(), qPrintable(QString::number(row)));
            f.click(f.at(2, row), Qt::ControlModifier);
            f.ctrl(false);
        }
        QVERIFY(f.delegate.requested.empty());
        QVERIFY(f.desktop.asked.isEmpty());
        // A link that opens, beside them, still does.
        f.ctrl(true);
        f.hover(f.at(2, 2), Qt::ControlModifier);
        QVERIFY(f.view->links().highlightRange());
        f.click(f.at(2, 2), Qt::ControlModifier);
        f.ctrl(false);
        QCOMPARE(f.delegate.requested, std::vector<std::string>{"https://ok.test/"});
        // The always modes open only what may open, too.
        f.view->setLinkHighlightMode(LinkHighlightMode::always);
        f.click(f.at(2, 0), Qt::NoModifier);
        QCOMPARE(f.delegate.requested.size(), size_t(1));
    }

    // Hover and click ask one rule: in the hover modes a link opens exactly
    // when it is shown; the always modes open OSC 8 links only.
    void highlightAndClickAgree_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("ctrl");
        QTest::addColumn<bool>("explicitLink");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<bool>("opens");
        struct Row {
            const char* name;
            LinkHighlightMode mode;
            bool ctrl;
            bool shownExplicit, opensExplicit, shownDetected, opensDetected;
        };
        const Row rows[] = {
            {"hover", LinkHighlightMode::hover, false, true, true, true, true},
            {"hover+ctrl", LinkHighlightMode::hover, true, true, true, true, true},
            {"hoverWithModifier", LinkHighlightMode::hoverWithModifier, false, false, false, false, false},
            {"hoverWithModifier+ctrl", LinkHighlightMode::hoverWithModifier, true, true, true, true, true},
            {"always", LinkHighlightMode::always, false, false, true, false, false},
            {"always+ctrl", LinkHighlightMode::always, true, false, true, false, false},
            {"alwaysWithModifier", LinkHighlightMode::alwaysWithModifier, false, false, false, false, false},
            {"alwaysWithModifier+ctrl", LinkHighlightMode::alwaysWithModifier, true, false, true, false, false},
        };
        for (const Row& r : rows) {
            QTest::addRow("%s osc8", r.name) << int(r.mode) << r.ctrl << true << r.shownExplicit << r.opensExplicit;
            QTest::addRow("%s detected", r.name)
                << int(r.mode) << r.ctrl << false << r.shownDetected << r.opensDetected;
        }
    }
    void highlightAndClickAgree()
    {
        QFETCH(int, mode);
        QFETCH(bool, ctrl);
        QFETCH(bool, explicitLink);
        QFETCH(bool, shown);
        QFETCH(bool, opens);
        Fixture f;
        f.view->setLinkHighlightMode(LinkHighlightMode(mode));
        f.view->feed(explicitLink ? osc8("https://a.test/x", "https://a.test/x") : std::string("https://b.test/y"));
        const Qt::KeyboardModifiers mods = ctrl ? Qt::ControlModifier : Qt::NoModifier;
        if (ctrl)
            f.ctrl(true);
        f.hover(f.at(3, 0), mods);
        QCOMPARE(f.view->links().highlightRange().has_value(), shown);
        f.click(f.at(3, 0), mods);
        QCOMPARE(f.delegate.requested.size(), size_t(opens));
        if (ctrl)
            f.ctrl(false);
        QVERIFY(!f.view->links().highlightRange() || LinkHighlightMode(mode) == LinkHighlightMode::hover);
    }

    // A program switching a mouse mode off, or a reset, leaves motion events
    // on while plain hover highlights links.
    void mouseModesKeepHoverTracking()
    {
        Fixture f;
        QVERIFY(!f.view->hasMouseTracking());  // Ctrl hover: no moves wanted yet
        f.view->feed("\x1b[?1003h");
        QVERIFY(f.view->hasMouseTracking());
        f.view->feed("\x1b[?1003l");
        QVERIFY(!f.view->hasMouseTracking());
        f.view->setLinkHighlightMode(LinkHighlightMode::hover);
        for (const char* bytes : {"\x1b[?1000h", "\x1b[?1000l", "\x1b[?1003h\x1b[?1003l",
                                  "\x1b"
                                  "c"}) {
            f.view->feed(bytes);
            QVERIFY2(f.view->hasMouseTracking(), bytes);
        }
        f.view->feed(osc8("https://h.test/", "hover"));
        f.hover(f.at(1, 0), Qt::NoModifier);
        QVERIFY(f.view->links().highlightRange());
    }

    void ctrlOverARestingPointerPreviewsAtOnce()
    {
        Fixture f;
        f.view->feed(osc8("https://rest.test/", "resting"));
        QCursor::setPos(f.view->mapToGlobal(f.at(2, 0).toPoint()));
        if (f.view->mapFromGlobal(QCursor::pos()) != f.at(2, 0).toPoint())
            QSKIP("this platform cannot place the pointer");
        f.ctrl(true);  // no move at all
        QVERIFY(f.view->links().preview());
        QCOMPARE(f.view->links().preview()->text(), QStringLiteral("https://rest.test/"));
        QVERIFY(f.view->links().highlightRange());
        f.ctrl(false);
        QVERIFY(!f.view->links().preview());
        QVERIFY(!f.view->links().highlightRange());
    }

    // The program's mouse reports never swallow a Ctrl+click on a link.
    void ctrlClickOpensWhileTheProgramTakesTheMouse()
    {
        Fixture f;
        f.view->feed("\x1b[?1002h\x1b[?1006h" + osc8("https://m.test/", "mouse") + " plain");
        f.take();
        f.ctrl(true);
        f.mouse(QEvent::MouseButtonPress, Qt::LeftButton, f.at(1, 0), Qt::ControlModifier, Qt::LeftButton);
        f.mouse(QEvent::MouseMove, Qt::NoButton, f.at(1.4, 0), Qt::ControlModifier, Qt::LeftButton);
        f.mouse(QEvent::MouseButtonRelease, Qt::LeftButton, f.at(1.4, 0), Qt::ControlModifier);
        QCOMPARE(f.delegate.requested, std::vector<std::string>{"https://m.test/"});
        QCOMPARE(f.desktop.opened, QStringList{QStringLiteral("https://m.test/")});
        QCOMPARE(f.take(), std::string());
        // Off the link, Ctrl+click is the program's, Ctrl bit and all.
        f.click(f.at(8, 0), Qt::ControlModifier);
        QCOMPARE(f.take(), std::string("\x1b[<16;9;1M\x1b[<16;9;1m"));
        f.ctrl(false);
        // And in this mode (links look like links only with Ctrl) a plain
        // click on the link is reported, not opened.
        f.click(f.at(1, 0), Qt::NoModifier);
        QCOMPARE(f.take(), std::string("\x1b[<0;2;1M\x1b[<0;2;1m"));
        QCOMPARE(f.delegate.requested.size(), size_t(1));
    }

    // Where a link looks like one without a modifier, a plain click opens
    // it, program or no program; where it does not, the program gets it.
    void plainClickOpensWhereTheModeShowsTheLink()
    {
        struct Case {
            const char* name;
            LinkHighlightMode mode;
            bool opens;
        } cases[] = {
            {"hover", LinkHighlightMode::hover, true},
            {"always", LinkHighlightMode::always, true},
            {"hoverWithModifier", LinkHighlightMode::hoverWithModifier, false},
            {"alwaysWithModifier", LinkHighlightMode::alwaysWithModifier, false},
        };
        for (const Case& c : cases) {
            Fixture f;
            f.view->setLinkHighlightMode(c.mode);
            f.view->feed("\x1b[?1002h\x1b[?1006h" + osc8("https://m.test/", "mouse") + " plain");
            f.take();
            f.hover(f.at(1, 0), Qt::NoModifier);
            f.click(f.at(1, 0), Qt::NoModifier);
            QVERIFY2(f.delegate.requested.size() == (c.opens ? 1u : 0u), c.name);
            QVERIFY2(f.take() == (c.opens ? "" : "\x1b[<0;2;1M\x1b[<0;2;1m"), c.name);
            // Off the link the click is always the program's.
            f.click(f.at(8, 0), Qt::NoModifier);
            QVERIFY2(f.take() == "\x1b[<0;9;1M\x1b[<0;9;1m", c.name);
        }
    }

    // Under mouse reporting a press on a link that moves off its cell is the
    // program's, press, motion and release, exactly as off a link; only a
    // click (a shaky one too) opens.
    void aDragFromALinkIsTheProgramsGesture()
    {
        struct Case {
            const char* name;
            LinkHighlightMode mode;
            Qt::KeyboardModifiers mods;
            const char* reports;
        } cases[] = {
            {"hover", LinkHighlightMode::hover, Qt::NoModifier, "\x1b[<0;2;1M\x1b[<32;9;1M\x1b[<32;13;1M\x1b[<0;13;1m"},
            {"always", LinkHighlightMode::always, Qt::NoModifier,
             "\x1b[<0;2;1M\x1b[<32;9;1M\x1b[<32;13;1M\x1b[<0;13;1m"},
            {"Ctrl in the default mode", LinkHighlightMode::hoverWithModifier, Qt::ControlModifier,
             "\x1b[<16;2;1M\x1b[<48;9;1M\x1b[<48;13;1M\x1b[<16;13;1m"},
        };
        for (const Case& c : cases) {
            Fixture f;
            f.view->setLinkHighlightMode(c.mode);
            f.view->feed("\x1b[?1002h\x1b[?1006h" + osc8("https://m.test/", "mouse") + " plain");
            f.take();
            const bool ctrl = c.mods & Qt::ControlModifier;
            f.ctrl(ctrl);
            f.hover(f.at(1, 0), c.mods);
            f.mouse(QEvent::MouseButtonPress, Qt::LeftButton, f.at(1, 0), c.mods, Qt::LeftButton);
            QVERIFY2(f.take().empty(), c.name);
            f.mouse(QEvent::MouseMove, Qt::NoButton, f.at(8, 0), c.mods, Qt::LeftButton);
            f.mouse(QEvent::MouseMove, Qt::NoButton, f.at(12, 0), c.mods, Qt::LeftButton);
            f.mouse(QEvent::MouseButtonRelease, Qt::LeftButton, f.at(12, 0), c.mods);
            QVERIFY2(f.take() == c.reports, c.name);
            QVERIFY2(f.delegate.requested.empty(), c.name);
            f.clock.advance(1000 * ms);

            // A click, and one that shakes inside its cell, opens and reports nothing.
            f.hover(f.at(1, 0), c.mods);
            f.click(f.at(1, 0), c.mods);
            f.mouse(QEvent::MouseButtonPress, Qt::LeftButton, f.at(1, 0), c.mods, Qt::LeftButton);
            f.mouse(QEvent::MouseMove, Qt::NoButton, f.at(1.3, 0), c.mods, Qt::LeftButton);
            f.mouse(QEvent::MouseButtonRelease, Qt::LeftButton, f.at(1.3, 0), c.mods);
            QVERIFY2(f.delegate.requested.size() == 2, c.name);
            QVERIFY2(f.take().empty(), c.name);
            f.ctrl(false);
        }
    }

    void processViewOpensThroughTheSafePath()
    {
        Desktop desktop;
        LocalProcessTerminalView view;
        view.requestOpenLink(view, "https://p.test/", {});
        view.requestOpenLink(view, "javascript:alert(1)", {});
        QCOMPARE(desktop.opened, QStringList{QStringLiteral("https://p.test/")});
    }

    void resolveIsSafe()
    {
        QTemporaryDir home;
        QTemporaryDir cwd;
        QVERIFY(home.isValid() && cwd.isValid());
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("HOME", home.path().toUtf8());
        auto touch = [](const QString& path, bool executable = false) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("x");
            file.close();
            if (executable)
                file.setPermissions(file.permissions() | QFile::ExeOwner);
        };
        touch(home.filePath(QStringLiteral("n.txt")));
        touch(home.filePath(QStringLiteral("app.desktop")));
        touch(home.filePath(QStringLiteral("run.sh")), true);
        touch(cwd.filePath(QStringLiteral("rel.txt")));
        QFile::link(home.filePath(QStringLiteral("run.sh")), home.filePath(QStringLiteral("innocent.txt")));

        const LinkOpener::Context trusted{true, "file://" + cwd.path().toStdString()};
        const LinkOpener::Context plainDir{true, cwd.path().toStdString()};
        const LinkOpener::Context remote{false, "file://" + cwd.path().toStdString()};
        const LinkOpener::Context noDir{true, std::nullopt};
        const QString homeFile = QUrl::fromLocalFile(QFileInfo(home.filePath("n.txt")).canonicalFilePath()).toString();
        const QString relFile = QUrl::fromLocalFile(QFileInfo(cwd.filePath("rel.txt")).canonicalFilePath()).toString();
        struct Case {
            const char* link;
            const LinkOpener::Context* context;
            QString expected;  // empty: opens nothing
        };
        const Case cases[] = {
            {"https://h/a;b", &remote, "https://h/a;b"},
            {"http://h.test/", &remote, "http://h.test/"},
            {"ftp://h.test/f", &remote, "ftp://h.test/f"},
            {"mailto:a@b.test", &remote, "mailto:a@b.test"},
            {"mailto:a@b.test?subject=hi&Attach=/etc/passwd", &trusted, ""},
            {"HTTPS://H.test/", &remote, "https://h.test/"},
            {"https:nohost", &remote, ""},
            {"javascript:alert(1)", &trusted, ""},
            {"ssh://h.test", &trusted, ""},
            {"smb://h.test/share", &trusted, ""},
            {"data:text/html,x", &trusted, ""},
            {"file:///bin/sh", &trusted, ""},
            {"/bin/sh", &trusted, ""},
            {"~/n.txt:12:3", &trusted, homeFile},
            {"~/n.txt", &trusted, homeFile},
            {"~/n.txt:12:3", &remote, ""},
            {"~/app.desktop", &trusted, ""},
            {"~/run.sh", &trusted, ""},
            {"~/innocent.txt", &trusted, ""},
            {"rel.txt", &trusted, relFile},
            {"rel.txt:4", &plainDir, relFile},
            {"rel.txt", &noDir, ""},
            {"rel.txt", &remote, ""},
            {"~/missing.txt", &trusted, ""},
            {"", &trusted, ""},
        };
        for (const Case& c : cases) {
            const auto url = LinkOpener::resolve(c.link, *c.context);
            QVERIFY2((url ? url->toString() : QString()) == c.expected,
                     qPrintable(QStringLiteral("%1 -> %2").arg(QString::fromUtf8(c.link), url ? url->toString() : "")));
        }
        // A file: URL resolves the same way, and only for a trusted view.
        const std::string fileUrl = "file://" + home.filePath("n.txt").toStdString();
        QCOMPARE(LinkOpener::resolve(fileUrl, trusted)->toString(), homeFile);
        QVERIFY(!LinkOpener::resolve(fileUrl, remote));
        QVERIFY(!LinkOpener::resolve("file://elsewhere" + home.filePath("n.txt").toStdString(), trusted));
        qputenv("HOME", oldHome);
    }

    void viewResolvesPathsAgainstTheReportedDirectory()
    {
        QTemporaryDir cwd;
        QFile file(cwd.filePath(QStringLiteral("notes.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        Fixture f;
        f.view->feed("\x1b]7;file://localhost" + cwd.path().toStdString() + "\x07");
        // Untrusted: the directory is not even taken, and nothing opens.
        QVERIFY(!f.view->openLink("notes.txt"));
        f.view->setProcessTrusted(true);
        f.view->feed("\x1b]7;file://localhost" + cwd.path().toStdString() + "\x07");
        QVERIFY(f.view->openLink("notes.txt:3"));
        QCOMPARE(f.desktop.opened.size(), 1);
        QVERIFY(f.desktop.opened.front().endsWith(QStringLiteral("/notes.txt")));
    }

    // Only regular files the desktop would show open; programs, launchers,
    // archives that run, pipes, devices and names hiding characters do not,
    // whatever their names say and wherever a link points.
    void filesThatWouldRunNeverOpen()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString d = QFileInfo(dir.path()).canonicalFilePath();
        const QByteArray launcher("[Desktop Entry]\nType=Application\nExec=xterm\n");
        writeFile(d + "/notes.txt", "meeting at ten\n");
        QVERIFY(QImage(4, 4, QImage::Format_RGB32).save(d + "/picture.png"));
        writeFile(d + "/data.json", "{\"a\": 1}\n");
        writeFile(d + "/tool.exe", QByteArray("MZ\x90\0\3\0\0\0", 8));
        writeFile(d + "/tool.jar", QByteArray("PK\3\4\24\0\0\0\0\0", 10) + "META-INF/MANIFEST.MF");
        // An ELF header carrying the AppImage mark at offset 8.
        writeFile(d + "/app.AppImage", QByteArray("\x7f"
                                                  "ELF\2\1\1\0AI\2\0\0\0\0\0",
                                                  16));
        QFile::copy(d + "/app.AppImage", d + "/app.bin");
        writeFile(d + "/readme.txt", launcher);
        writeFile(d + "/x.desktop.", launcher);
        writeFile(d + "/notes\u200B.txt", "hi\n");
        writeFile(d + "/tidy", "#!/bin/sh\nrm -rf ~/tmp\n");
        QVERIFY(QDir(d).mkdir("linked"));
        QVERIFY(QFile::link(d + "/tidy", d + "/linked/notes.txt"));
        QCOMPARE(::mkfifo(QFile::encodeName(d + "/pipe.txt").constData(), 0600), 0);

        const LinkOpener::Context trusted{true, d.toStdString()};
        for (const char* link : {"notes.txt", "notes.txt:3", "picture.png", "data.json"}) {
            const auto url = LinkOpener::resolve(link, trusted);
            QVERIFY2(url, link);
            QCOMPARE(url->toLocalFile(), d + "/" + QString::fromLatin1(link).section(':', 0, 0));
        }
        for (const char* link : {"tool.exe", "tool.jar", "app.AppImage", "app.bin", "readme.txt", "x.desktop.",
                                 "notes\u200B.txt", "tidy", "linked/notes.txt", "pipe.txt", "/dev/zero",
                                 "file:///dev/zero", "/proc/self/environ", "/sys/kernel/notes", "linked"})
            QVERIFY2(!LinkOpener::resolve(link, trusted), link);
    }

    // An allow-list: text, images, PDF, sound and video open; whatever else
    // the desktop might run, install, render with scripts or follow out to
    // what it names does not, named or sniffed, and neither a launcher group
    // nor markup hidden past the first kilobytes.
    void onlyWhatTheDesktopShowsOpens()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString d = QFileInfo(dir.path()).canonicalFilePath();
        const QByteArray zip =
            QByteArray("PK\3\4\24\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\24\0\0\0", 30) + "META-INF/MANIFEST.MF";
        const QByteArray mz("MZ\x90\0\3\0\0\0\4\0\0\0", 12);
        const QByteArray script("echo hello\n");
        const QByteArray xml("<?xml version=\"1.0\"?>\n");
        const QByteArray comment = "<!--" + QByteArray(3100, 'x') + "-->\n";
        const QByteArray xhtml("<html xmlns=\"http://www.w3.org/1999/xhtml\"><script>alert(1)</script></html>\n");
        // Playlists, calendars, cards, mail, feeds and download lists, each
        // refused by its name and, under a plain ".txt" name, by its content.
        const std::pair<const char*, QByteArray> followed[] = {
            {"m3u", "#EXTM3U\n#EXTINF:-1,x\nhttp://h.test/s.mp3\n"},
            {"pls", "[playlist]\nFile1=http://h.test/s\nNumberOfEntries=1\n"},
            {"xspf", xml + "<playlist version=\"1\" xmlns=\"http://xspf.org/ns/0/\"><trackList/></playlist>\n"},
            {"smil", "<smil><body><audio src=\"http://h.test/x\"/></body></smil>\n"},
            {"ics", "BEGIN:VCALENDAR\nVERSION:2.0\nEND:VCALENDAR\n"},
            {"vcf", "BEGIN:VCARD\nVERSION:3.0\nFN:x\nEND:VCARD\n"},
            {"opml", xml + "<opml version=\"2.0\"><body/></opml>\n"},
            {"eml", "From: a@b.test\nTo: c@d.test\nSubject: hi\n\nbody\n"},
            {"metalink", xml + "<metalink xmlns=\"urn:ietf:params:xml:ns:metalink\"><file name=\"x\"/></metalink>\n"},
            {"nzb", xml + "<nzb xmlns=\"http://www.newzbin.com/DTD/2003/nzb\"><file/></nzb>\n"},
            {"kml", xml + "<kml xmlns=\"http://www.opengis.net/kml/2.2\"><Document/></kml>\n"},
            {"rss", xml + "<rss version=\"2.0\"><channel/></rss>\n"},
            {"atom", xml + "<feed xmlns=\"http://www.w3.org/2005/Atom\"/>\n"},
        };
        const QString wide = QStringLiteral("\uFEFF<?xml version=\"1.0\"?><doc/>");
        const std::pair<const char*, QByteArray> refused[] = {
            {"page.xml", xml + comment + xhtml},
            {"inline.xml", "<doc><x:script xmlns:x=\"http://www.w3.org/1999/xhtml\">alert(1)</x:script></doc>\n"},
            {"strings.txt", "<xliff version=\"1.2\"><file/></xliff>\n"},
            {"style.xml", xml + "<?xml-stylesheet type=\"text/xsl\" href=\"https://h.test/s.xsl\"?>\n<doc/>\n"},
            {"a.mml", "<math xmlns=\"http://www.w3.org/1998/Math/MathML\"><mi>x</mi></math>\n"},
            // Markup past what the database's content rules look at.
            {"spaced.txt", " \n" + comment + xhtml},
            {"blank.txt", QByteArray(3100, ' ') + xhtml},
            {"wide.txt", QByteArray(reinterpret_cast<const char*>(wide.utf16()), wide.size() * 2)},
            {"endless.txt", "\n<!--" + QByteArray(70000, 'x') + "-->\n" + xhtml},
            {"a.ps1", "Write-Host hello\r\n"},
            {"a.hta", "<html><script>alert(1)</script></html>"},
            {"a.cmd", "@echo off\r\ndir\r\n"},
            {"a.com", QByteArray("\xB4\x09\xBA\x0E\x01\xCD\x21", 7)},
            {"a.scr", mz},
            {"a.pif", QByteArray("\0\x78MS-DOS PROGRAM", 16)},
            {"a.wsf", "<job><script language=\"VBScript\">x</script></job>"},
            {"a.vbe", "#@~^AAAAAA==x==^#~@"},
            {"a.jse", "#@~^AAAAAA==x==^#~@"},
            {"a.lnk", QByteArray("L\0\0\0\1\x14\2\0\0\0\0\0\xC0\0\0\0\0\0\0F", 20)},
            {"a.reg", "Windows Registry Editor Version 5.00\r\n"},
            {"a.bash", script},
            {"a.zsh", script},
            {"a.fish", script},
            {"a.deb", "!<arch>\ndebian-binary   "},
            {"a.rpm", QByteArray("\xED\xAB\xEE\xDB\3\0", 6)},
            {"a.run", "#!/bin/sh\nexit 0\n"},
            {"a.snap", "hsqs\0\0\0\0"},
            {"a.xpi", zip},
            {"a.crx", "Cr24\3\0\0\0" + zip},
            {"a.pyw", "import os\n"},
            {"a.pyz", "#!/usr/bin/env python3\n" + zip},
            {"a.whl", zip},
            {"a.ica", "[WFClient]\nVersion=2\n"},
            {"a.rdp", "full address:s:h.test\n"},
            {"a.ovpn", "client\nremote h.test 1194\n"},
            {"a.docm", zip},
            {"a.xlsm", zip},
            {"a.html", "<!DOCTYPE html><html><body>hi</body></html>\n"},
            {"a.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\"><script>x()</script></svg>\n"},
            {"a.eps", "%!PS-Adobe-3.0 EPSF-3.0\n"},
            {"manifest.txt", zip},
            {"notes.txt.", zip},
            {"late.txt", QByteArray(4200, '#').replace(100, 1, "\n") + "\n[Desktop Entry]\nExec=xterm\n"},
            {"later", QByteArray(70000, '#') + "\n[Desktop Entry]\nExec=xterm\n"},
        };
        for (const auto& [name, bytes] : refused)
            writeFile(d + "/" + name, bytes);
        for (const auto& [ext, bytes] : followed) {
            writeFile(d + "/a." + ext, bytes);
            writeFile(d + "/" + ext + ".txt", bytes);
        }
        writeFile(d + "/notes.txt", "meeting at ten\n");
        writeFile(d + "/empty.txt", "");
        writeFile(d + "/main.c", "int main(void) { return 0; }\n");
        writeFile(d + "/data.json", "{\"a\": [1, 2]}\n");
        writeFile(d + "/readme.md", "\n<!-- badges -->\n# Title\n");
        writeFile(d + "/paper.pdf", "%PDF-1.4\n1 0 obj << >> endobj\ntrailer << >>\n%%EOF\n");
        writeFile(d + "/song.mp3", QByteArray("ID3\3\0\0\0\0\0\0\xFF\xFB\x90\0", 14) + QByteArray(400, '\0'));
        writeFile(d + "/song.ogg",
                  QByteArray("OggS\0\2", 6) + QByteArray(22, '\0') + "\1vorbis" + QByteArray(40, '\0'));
        QVERIFY(QImage(4, 4, QImage::Format_RGB32).save(d + "/picture.png"));

        const LinkOpener::Context trusted{true, d.toStdString()};
        for (const auto& [name, bytes] : refused)
            QVERIFY2(!LinkOpener::resolve(name, trusted), name);
        for (const auto& [ext, bytes] : followed) {
            QVERIFY2(!LinkOpener::resolve("a." + std::string(ext), trusted), ext);
            QVERIFY2(!LinkOpener::resolve(ext + std::string(".txt"), trusted), ext);
        }
        for (const char* name : {"notes.txt", "empty.txt", "main.c:12:3", "data.json", "readme.md", "paper.pdf",
                                 "song.mp3", "song.ogg", "picture.png"})
            QVERIFY2(LinkOpener::resolve(name, trusted), name);

        // A refusal is noticed in the tab, not only in the log.
        Fixture f;
        f.view->setProcessTrusted(true);
        f.view->feed("\x1b]7;file://localhost" + d.toStdString() + "\x07");
        QVERIFY(!f.view->openLink("a.html"));
        QVERIFY(f.view->openLink("paper.pdf"));
        QCOMPARE(f.desktop.opened, QStringList{QUrl::fromLocalFile(d + "/paper.pdf").toString()});
        const auto* notice = f.view->findChild<QLabel*>(QLatin1String(LinkOpener::kNoticeName));
        QVERIFY(notice && notice->isVisible());
        QCOMPARE(notice->text(), QStringLiteral("Did not open a.html: the desktop would not just show it."));
    }

    // Trust is the view's answer when the link opens, not what it was when
    // the directory was reported.
    void trustIsAskedWhenALinkOpens()
    {
        QTemporaryDir cwd;
        writeFile(cwd.filePath("notes.txt"), "x");
        Desktop desktop;
        platform::FakeScheduler clock;
        TrustCountingView view(nullptr, std::nullopt, TerminalOptions(), clock);
        view.trust = true;
        view.feed("\x1b]7;file://localhost" + cwd.path().toStdString() + "\x07");
        view.trust = false;
        const int before = view.asked;
        QVERIFY(!view.openLink("notes.txt"));
        view.trust = true;
        QVERIFY(view.openLink("notes.txt"));
        QCOMPARE(view.asked, before + 2);
        QCOMPARE(desktop.opened.size(), 1);
    }

    void targetHidesText_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("hides");
        QTest::newRow("plain") << "https://apple.com/x" << false;
        QTest::newRow("letters in the path") << QString::fromUtf8("https://a.test/\u00fcber") << false;
        QTest::newRow("right-to-left override") << QString::fromUtf8("https://a.test/\u202Efdp.exe") << true;
        QTest::newRow("isolate") << QString::fromUtf8("https://a.test/\u2067x") << true;
        QTest::newRow("arabic letter mark") << QString::fromUtf8("https://a.test/\u061Cx") << true;
        QTest::newRow("left-to-right mark") << QString::fromUtf8("https://a.test/\u200Ex") << true;
        QTest::newRow("zero-width space") << QString::fromUtf8("https://pay\u200Bpal.test/") << true;
        QTest::newRow("word joiner") << QString::fromUtf8("https://a.test/\u2060") << true;
        QTest::newRow("byte order mark") << QString::fromUtf8("https://a.test/\uFEFF") << true;
        QTest::newRow("tag character") << QString::fromUtf8("https://a.test/\U000E0041") << true;
        QTest::newRow("international host") << QString::fromUtf8("https://\u0430pple.com/") << true;
        QTest::newRow("host in punycode") << "https://xn--pple-43d.com/" << true;
    }
    void targetHidesText()
    {
        QFETCH(QString, target);
        QFETCH(bool, hides);
        QCOMPARE(LinkOpener::targetHidesText(target), hides);
    }

    // The question shows the target as written, hidden characters spelled
    // out and an international host beside its ASCII form.
    void openLinkQuestionIsPlainText()
    {
        auto box = LinkOpener::question(nullptr, QStringLiteral("https://a.test/?q=&lt;b&gt;<img src=x>"), true);
        const auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        QVERIFY(label);
        QCOMPARE(box->textFormat(), Qt::PlainText);
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QCOMPARE(label->text(), QStringLiteral("The link's text differs from where it leads. "
                                               "Open https://a.test/?q=&lt;b&gt;<img src=x>?"));
        QCOMPARE(box->windowTitle(), QStringLiteral("Open Link"));

        box = LinkOpener::question(nullptr, QString::fromUtf8("https://a.test/\u202Efdp.exe"), false);
        QVERIFY(!box->text().contains(QChar(0x202E)));
        QVERIFY(box->text().contains(QStringLiteral("hides characters")));
        QVERIFY(box->text().endsWith(QStringLiteral("Open https://a.test/<U+202E>fdp.exe?")));

        box = LinkOpener::question(nullptr, QString::fromUtf8("https://\u0430pple.com/"), false);
        QVERIFY(box->text().contains(QString::fromUtf8("\u0430pple.com")));
        QVERIFY(box->text().contains(QStringLiteral("xn--pple-43d.com")));
    }

    // However long, the host shows whole, wrapped inside the box; only a
    // very long path is shortened, and a longer host than DNS carries never opens.
    void longHostShowsWhole()
    {
        QString host = QStringLiteral("www.bank.example");
        while (host.size() < 240)
            host += QStringLiteral(".loginsecure");
        host += QStringLiteral(".evil.example");
        const QString path = QStringLiteral("/") + QString(3000, QLatin1Char('p'));
        auto box = LinkOpener::question(nullptr, QStringLiteral("https://") + host + path, false);
        box->show();
        QVERIFY(QTest::qWaitForWindowExposed(box.get()));
        const auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        QVERIFY(label);
        const QString text = label->text();
        QVERIFY(QString(text).remove(QLatin1Char('\n')).contains(QStringLiteral("https://") + host + "/ppp"));
        QVERIFY(text.size() < 1200);
        const QFontMetrics metrics(label->font());
        for (const QString& line : text.split(QLatin1Char('\n')))
            for (const QString& word : line.split(QLatin1Char(' ')))
                QVERIFY2(metrics.horizontalAdvance(word) <= label->contentsRect().width(), qPrintable(word));
        QVERIFY(box->frameGeometry().width() <= box->screen()->availableGeometry().width());
        QVERIFY(!LinkOpener::resolve("https://" + QString(254, QLatin1Char('a')).toStdString() + "/", {}));
    }

    void targetsHidingCharactersAskFirst()
    {
        Fixture f;
        f.desktop.answer = false;
        QVERIFY(!f.view->openLink("https://a.test/\u202E"
                                  "fdp.exe"));
        QVERIFY(!f.view->openLink("https://xn--pple-43d.com/"));
        QCOMPARE(f.desktop.asked.size(), 2);
        QVERIFY(f.desktop.opened.isEmpty());
        QVERIFY(f.view->openLink("https://apple.com/"));
        QCOMPARE(f.desktop.asked.size(), 2);
        f.desktop.answer = true;
        QVERIFY(f.view->openLink("https://xn--pple-43d.com/"));
        QCOMPARE(f.desktop.opened.size(), 2);
    }

    void hiddenCharactersAreSpelledOut()
    {
        QCOMPARE(revealHiddenCharacters(QString::fromUtf8("a\u200Bb\u202Ec\U000E0041d\u00e9")),
                 QString::fromUtf8("a<U+200B>b<U+202E>c<U+E0041>d\u00e9"));
        // A blank that reads as a space is no space; a plain space and a tab stay.
        QCOMPARE(revealHiddenCharacters(QString::fromUtf8("a b\u00A0c\u202Fd\u3000e\tf")),
                 QStringLiteral("a b<U+00A0>c<U+202F>d<U+3000>e\tf"));
    }

    void disguiseRule_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("asks");
        QTest::newRow("same") << "https://a.test/"
                              << "https://a.test/" << false;
        QTest::newRow("without scheme") << "a.test/"
                                        << "https://a.test/" << false;
        QTest::newRow("other host") << "example.com"
                                    << "https://evil.test" << true;
        QTest::newRow("words") << "click here"
                               << "https://a.test/" << true;
        QTest::newRow("mailto shown bare") << "a@b.test"
                                           << "mailto:a@b.test" << true;
    }
    void disguiseRule()
    {
        QFETCH(QString, text);
        QFETCH(QString, target);
        QFETCH(bool, asks);
        QCOMPARE(LinkOpener::textDisguisesTarget(text.toStdString(), target.toStdString()), asks);
    }
};

QTEST_MAIN(ViewLinkTests)
#include "ViewLinkTests.moc"
