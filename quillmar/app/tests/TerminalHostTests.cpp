// Terminal hosts with real children on real pseudo-terminals.
#include "quillmar/app/shell/FocusingTerminalView.h"
#include "quillmar/app/shell/KeyRouter.h"
#include "quillmar/app/shell/KeyToolCommands.h"
#include "quillmar/app/shell/LocalShell.h"
#include "quillmar/app/shell/Shortcuts.h"
#include "quillmar/app/shell/TerminalHost.h"
#include "quillmar/app/shell/Workspace.h"
#include "quillmar/app/style/Metro.h"
#include "quillmar/app/style/Pill.h"
#include "quillmar/app/style/TerminalFont.h"
#include "quillmar/app/tests/AppTestSupport.h"

#include "ravelgrid/view/QtDeliveryQueue.h"
#include "ravelgrid/view/QtScheduler.h"
#include "ravelgrid/view/TerminalViewDelegate.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>

#include <set>

using namespace quillmar;
using quillmar::apptests::screenText;

namespace {

// What a view writes for its child.
struct WrittenBytes : ravelgrid::TerminalViewDelegate {
    std::string bytes;
    void send(ravelgrid::TerminalView&, std::span<const uint8_t> data) override
    {
        bytes.append(reinterpret_cast<const char*>(data.data()), data.size());
    }
    void sizeChanged(ravelgrid::TerminalView&, int, int) override {}
    void setTerminalTitle(ravelgrid::TerminalView&, const std::string&) override {}
    void hostCurrentDirectoryUpdate(ravelgrid::TerminalView&, const std::optional<std::string>&) override {}
    void scrolled(ravelgrid::TerminalView&, double) override {}
    void rangeChanged(ravelgrid::TerminalView&, int, int) override {}
};

struct Run {
    std::shared_ptr<TerminalSession> session;
    std::unique_ptr<TerminalHost> host;
    std::vector<std::optional<std::int32_t>> exits;
};

std::unique_ptr<Run> runTool(const QString& executable, const QStringList& args)
{
    auto run = std::make_unique<Run>();
    run->session = std::make_shared<TerminalSession>(SessionTarget::tool(QStringLiteral("test"), executable, args), 1,
                                                     ravelgrid::QtScheduler::system().nowNs());
    Run* raw = run.get();
    run->host = std::make_unique<TerminalHost>(run->session, TerminalScheme::named(QStringLiteral("metro-dark")),
                                               ravelgrid::FontSet::defaultSet(), ravelgrid::QtScheduler::system(),
                                               [raw](std::optional<std::int32_t> code) { raw->exits.push_back(code); });
    run->host->resize(640, 400);
    run->host->show();  // starts the child
    return run;
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

class TerminalHostTests : public QObject {
    Q_OBJECT

    std::unique_ptr<ravelgrid::QtDeliveryQueue> queue_;
    QTemporaryDir home_;
    QTemporaryDir work_;

private slots:
    void initTestCase()
    {
        queue_ = ravelgrid::QtDeliveryQueue::installAsMain();
        QVERIFY(home_.isValid() && work_.isValid());
        qputenv("HOME", home_.path().toLocal8Bit());
    }

    void exitStatusesAreDescribed()
    {
        auto three = runTool(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("exit 3")});
        QTRY_COMPARE_WITH_TIMEOUT(three->exits.size(), size_t(1), 10000);
        QCOMPARE(three->exits[0], std::optional<std::int32_t>(3));
        QVERIFY(!three->session->running());
        QCOMPARE(three->session->exitCode(), std::optional<std::int32_t>(3));
        QCOMPARE(three->session->exitDescription(), std::optional<QString>(QStringLiteral("exited 3")));

        auto killed = runTool(QStringLiteral("/bin/sleep"), {QStringLiteral("30")});
        QTRY_VERIFY(killed->host->view()->process().shellPid() > 0);
        QVERIFY(killed->session->running());
        QCOMPARE(::kill(killed->host->view()->process().shellPid(), SIGKILL), 0);
        QTRY_COMPARE_WITH_TIMEOUT(killed->exits.size(), size_t(1), 10000);
        QCOMPARE(killed->exits[0], std::optional<std::int32_t>());
        QCOMPARE(killed->session->exitCode(), std::optional<std::int32_t>());
        QCOMPARE(killed->session->exitDescription(), std::optional<QString>(QStringLiteral("killed by signal 9")));
    }

    // The child gets exactly the session environment and starts at home.
    void environmentAndDirectory()
    {
        const QString envFile = work_.filePath(QStringLiteral("env"));
        const QString cwdFile = work_.filePath(QStringLiteral("cwd"));
        auto run = runTool(
            QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"), QStringLiteral("cat /proc/$$/environ > \"$0\"; pwd -P > \"$1\""), envFile, cwdFile});
        QTRY_COMPARE_WITH_TIMEOUT(run->exits.size(), size_t(1), 10000);
        QCOMPARE(run->exits[0], std::optional<std::int32_t>(0));

        std::multiset<std::string> got;
        for (const QByteArray& entry : readFile(envFile).split('\0')) {
            if (!entry.isEmpty())
                got.insert(entry.toStdString());
        }
        const auto wanted = sessionEnvironment();
        QCOMPARE(got, std::multiset<std::string>(wanted.begin(), wanted.end()));
        QVERIFY(got.count("TERM=xterm-256color"));
        QVERIFY(got.count("COLORTERM=truecolor"));
        QCOMPARE(QString::fromUtf8(readFile(cwdFile)).trimmed(), QFileInfo(home_.path()).canonicalFilePath());
    }

    // A home that cannot be entered: the child starts at / rather than
    // wherever the application was.
    void homeThatCannotBeEnteredStartsAtRoot()
    {
        QFile file(work_.filePath(QStringLiteral("not-a-directory")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        const QString cwdFile = work_.filePath(QStringLiteral("cwd-root"));
        for (const QString& home : {file.fileName(), work_.filePath(QStringLiteral("missing"))}) {
            qputenv("HOME", home.toLocal8Bit());
            QCOMPARE(sessionDirectory(), std::string("/"));
        }
        qputenv("HOME", file.fileName().toLocal8Bit());
        auto run =
            runTool(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("pwd -P > \"$0\""), cwdFile});
        QTRY_COMPARE_WITH_TIMEOUT(run->exits.size(), size_t(1), 10000);
        QCOMPARE(QString::fromUtf8(readFile(cwdFile)).trimmed(), QStringLiteral("/"));
        qputenv("HOME", home_.path().toLocal8Bit());
        QCOMPARE(sessionDirectory(), home_.path().toStdString());
    }

    // A child that cannot start ends the session with a sentence, shown in
    // the terminal too.
    void childThatCannotStart()
    {
        auto missing = runTool(QStringLiteral("/nonexistent/quillmar-tool"), {});
        QTRY_COMPARE(missing->exits.size(), size_t(1));
        QVERIFY(!missing->session->running());
        QCOMPARE(missing->session->exitCode(), std::optional<std::int32_t>());
        QCOMPARE(*missing->session->exitDescription(),
                 QStringLiteral("cannot start /nonexistent/quillmar-tool: No such file or directory"));
        QVERIFY(screenText(missing->host->view()->terminal()).contains(QStringLiteral("cannot start")));

        auto relative = runTool(QStringLiteral("ssh-keygen"), {});
        QTRY_COMPARE(relative->exits.size(), size_t(1));
        QVERIFY(relative->session->exitDescription()->contains(QStringLiteral("not an absolute path")));

        // An alias that ssh would read as an option never reaches ssh.
        auto injected = launchFor(SessionTarget::ssh(QStringLiteral("-oProxyCommand=touch /tmp/x")));
        QVERIFY(std::holds_alternative<QString>(injected));
        QVERIFY(std::holds_alternative<QString>(launchFor(SessionTarget::ssh(QString()))));
        auto ssh = launchFor(SessionTarget::ssh(QStringLiteral("web-1")));
        if (auto* l = std::get_if<SessionLaunch>(&ssh)) {
            QCOMPARE(l->executable, std::string("/usr/bin/ssh"));
            QCOMPARE(l->args, std::vector<std::string>{"web-1"});
            QVERIFY(!l->trusted);
        }
        auto local = launchFor(SessionTarget::local());
        QVERIFY(std::holds_alternative<SessionLaunch>(local));
        QVERIFY(std::get<SessionLaunch>(local).trusted);
        // A tool tab that connects to a host shows that host's output.
        const QString key = work_.filePath(QStringLiteral("id_test"));
        auto copyId = launchFor(KeyToolCommands::install(key, QStringLiteral("web-1")));
        if (auto* l = std::get_if<SessionLaunch>(&copyId))
            QVERIFY(!l->trusted);
        auto remoteTool = launchFor(SessionTarget::tool(QStringLiteral("ssh"), QStringLiteral("/usr/bin/ssh"), {}));
        if (auto* l = std::get_if<SessionLaunch>(&remoteTool))
            QVERIFY(!l->trusted);
        auto keygen = launchFor(
            KeyToolCommands::generate(work_.path(), QStringLiteral("k"), KeyToolCommands::KeyType::ed25519, QString()));
        if (auto* l = std::get_if<SessionLaunch>(&keygen))
            QVERIFY(l->trusted);
    }

    // What pasteSnippet writes, as the child reads it from its pty.
    void pasteSnippetBytes()
    {
        // Bracketed paste on: markers around the text, lines and all.
        const QByteArray bracketedText = "ls -l\nwc -c";
        const QByteArray bracketed = "\x1b[200~" + bracketedText + "\x1b[201~";
        const QString onFile = work_.filePath(QStringLiteral("paste-on"));
        auto on =
            runTool(QStringLiteral("/bin/sh"),
                    {QStringLiteral("-c"),
                     QStringLiteral("stty raw -echo; printf '\\033[?2004h'; head -c %1 > \"$0\"").arg(bracketed.size()),
                     onFile});
        FocusingTerminalView* onView = on->host->view();
        QTRY_VERIFY_WITH_TIMEOUT(onView->terminal().bracketedPasteMode, 10000);
        QVERIFY(onView->pasteSnippet(QString::fromUtf8(bracketedText)));
        QTRY_COMPARE_WITH_TIMEOUT(on->exits.size(), size_t(1), 10000);
        QCOMPARE(readFile(onFile), bracketed);

        // Off: one line goes bare; several lines are refused and send nothing.
        const QString offFile = work_.filePath(QStringLiteral("paste-off"));
        auto off =
            runTool(QStringLiteral("/bin/sh"),
                    {QStringLiteral("-c"), QStringLiteral("stty raw -echo; echo READY; head -c 7 > \"$0\""), offFile});
        FocusingTerminalView* offView = off->host->view();
        QTRY_VERIFY_WITH_TIMEOUT(screenText(offView->terminal()).contains(QStringLiteral("READY")), 10000);
        QVERIFY(!offView->terminal().bracketedPasteMode);
        QVERIFY(!offView->pasteSnippet(QStringLiteral("rm -rf x\nls")));
        QVERIFY(offView->pasteSnippet(QStringLiteral("echo hi")));
        QTRY_COMPARE_WITH_TIMEOUT(off->exits.size(), size_t(1), 10000);
        QCOMPARE(readFile(offFile), QByteArray("echo hi"));
    }

    void schemeAndFontApplyOnlyWhenTheyChange()
    {
        auto run = runTool(QStringLiteral("/bin/sleep"), {QStringLiteral("30")});
        FocusingTerminalView* view = run->host->view();
        QCOMPARE(view->nativeBackgroundColor(), QColor(0x0E, 0x11, 0x17));
        QCOMPARE(view->nativeForegroundColor(), QColor(0xE1, 0xE6, 0xEE));
        run->host->setScheme(TerminalScheme::named(QStringLiteral("nord")));
        QCOMPARE(view->nativeBackgroundColor(), QColor(0x2E, 0x34, 0x40));
        QCOMPARE(run->host->scheme().id, QStringLiteral("nord"));

        const int colsBefore = view->terminal().cols;
        run->host->setTerminalFont(ravelgrid::FontSet(ravelgrid::FontSet::defaultFamily(), 24));
        QCOMPARE(view->fontSet().pointSize(), 24.0);
        QVERIFY(view->terminal().cols < colsBefore);
        QVERIFY(run->session->probe.view == view);
    }

    // The stall hint: a quiet child waiting in canonical mode, and nothing else.
    void stallProbeReadsTheChildsTerminalMode()
    {
        constexpr std::uint64_t s = 1'000'000'000;
        auto waiting = runTool(QStringLiteral("/bin/sleep"), {QStringLiteral("30")});
        QTRY_VERIFY(waiting->host->view()->process().shellPid() > 0);
        const StallProbe& probe = waiting->session->probe;
        QVERIFY(!probe.shouldShowHint(probe.startedAt + s));
        QVERIFY(probe.shouldShowHint(probe.startedAt + 3 * s));
        waiting->session->probe.dismissed = true;
        QVERIFY(!probe.shouldShowHint(probe.startedAt + 3 * s));

        // A program in raw mode (an editor, a password prompt of its own) is not stuck.
        auto raw = runTool(QStringLiteral("/bin/sh"),
                           {QStringLiteral("-c"), QStringLiteral("stty -icanon; echo RAW; exec sleep 3600")});
        QTRY_VERIFY_WITH_TIMEOUT(screenText(raw->host->view()->terminal()).contains(QStringLiteral("RAW")), 10000);
        const StallProbe& rawProbe = raw->session->probe;
        QVERIFY(rawProbe.lastOutputAt);
        QVERIFY(!rawProbe.shouldShowHint(*rawProbe.lastOutputAt + 3 * s));

        // Ended, or its view gone: no hint.
        ::kill(waiting->host->view()->process().shellPid(), SIGKILL);
        QTRY_COMPARE(waiting->exits.size(), size_t(1));
        waiting->session->probe.dismissed = false;
        QVERIFY(!probe.shouldShowHint(probe.startedAt + 3 * s));
        raw->host.reset();
        QVERIFY(!rawProbe.shouldShowHint(*rawProbe.lastOutputAt + 3 * s));
    }

    void fontsByPostScriptName()
    {
        const QFont nerd = TerminalFont::font(QStringLiteral("JetBrainsMonoNFM-Regular"), 15);
        QCOMPARE(nerd.family(), QStringLiteral("JetBrains Mono"));
        QCOMPARE(nerd.pointSizeF(), 15.0);
        QCOMPARE(TerminalFont::font(QStringLiteral("NoSuchFace-Regular"), 11).family(),
                 QStringLiteral("JetBrains Mono"));
        QCOMPARE(TerminalFont::font(QStringLiteral(""), 11).family(), QStringLiteral("JetBrains Mono"));
        const QFont bold = TerminalFont::font(QStringLiteral("JetBrainsMono-Bold"), 12);
        QCOMPARE(bold.family(), QStringLiteral("JetBrains Mono"));
        QCOMPARE(bold.weight(), QFont::Bold);
        QCOMPARE(TerminalFont::font(QStringLiteral("DejaVu Sans Mono"), 12).family(),
                 QStringLiteral("DejaVu Sans Mono"));

        struct Face {
            QFont::Weight weight;
            QFont::Weight ui;
            QFont::Weight mono;
        } faces[] = {{QFont::Light, QFont::Normal, QFont::Normal},
                     {QFont::Normal, QFont::Normal, QFont::Normal},
                     {QFont::Medium, QFont::Medium, QFont::Medium},
                     {QFont::DemiBold, QFont::DemiBold, QFont::Bold},
                     {QFont::Black, QFont::Bold, QFont::Bold}};
        for (const Face& f : faces) {
            const QFont ui = metroFont(13, f.weight);
            QCOMPARE(ui.family(), QStringLiteral("Inter"));
            QCOMPARE(ui.weight(), f.ui);
            const QFont mono = metroMonoFont(11, f.weight);
            QCOMPARE(mono.family(), QStringLiteral("JetBrains Mono"));
            QCOMPARE(mono.weight(), f.mono);
        }
        QCOMPARE(registerFontsIn(work_.filePath(QStringLiteral("no-fonts-here"))), 0);
    }

    void pillShowsItsTextInItsTone()
    {
        Pill pill(QStringLiteral("exited 3"), Metro::Role::warning);
        const QColor tone = Metro::warning(&pill);
        QCOMPARE(pill.tone(), tone);
        pill.resize(pill.sizeHint());
        QVERIFY(pill.sizeHint().width() > QFontMetrics(pill.font()).horizontalAdvance(QStringLiteral("exited")));
        QImage image(pill.size(), QImage::Format_ARGB32);
        image.fill(Qt::black);
        pill.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        bool toneSeen = false;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x)
                toneSeen |= image.pixelColor(x, y) == tone;
        }
        QVERIFY(toneSeen);
        QCOMPARE(image.pixelColor(0, 0), QColor(Qt::black));  // rounded corners
    }

    // How Qt key events become router strokes: a modifier key's own press and
    // release say what is held after it, whatever the platform put in the event.
    void keyEventsBecomeStrokes()
    {
        struct Case {
            QEvent::Type type;
            int key;
            Qt::KeyboardModifiers mods;
            std::optional<KeyStroke::Kind> kind;
            Qt::KeyboardModifiers after;
        } cases[] = {
            {QEvent::KeyPress, Qt::Key_Alt, Qt::NoModifier, KeyStroke::Kind::modifiersChanged, Qt::AltModifier},
            {QEvent::KeyPress, Qt::Key_Alt, Qt::AltModifier, KeyStroke::Kind::modifiersChanged, Qt::AltModifier},
            {QEvent::KeyRelease, Qt::Key_Alt, Qt::AltModifier, KeyStroke::Kind::modifiersChanged, Qt::NoModifier},
            {QEvent::KeyPress, Qt::Key_Shift, Qt::AltModifier, KeyStroke::Kind::modifiersChanged,
             Qt::AltModifier | Qt::ShiftModifier},
            {QEvent::KeyPress, Qt::Key_Super_L, Qt::NoModifier, KeyStroke::Kind::modifiersChanged, Qt::MetaModifier},
            {QEvent::KeyPress, Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier | Qt::KeypadModifier,
             KeyStroke::Kind::keyDown, Qt::ControlModifier | Qt::ShiftModifier},
            {QEvent::KeyRelease, Qt::Key_T, Qt::ControlModifier, std::nullopt, {}},
        };
        for (const Case& c : cases) {
            QKeyEvent event(c.type, c.key, c.mods);
            auto stroke = KeyRouter::strokeFor(event);
            QCOMPARE(stroke.has_value(), c.kind.has_value());
            if (stroke) {
                QCOMPARE(stroke->kind, *c.kind);
                QCOMPARE(stroke->modifiers, c.after);
            }
        }
    }

    // A session's view takes its keys from the shortcut table: the window's
    // chords are left to the window and never typed, under either keyboard
    // protocol; any other chord is the program's.
    void sessionViewsLeaveExactlyTheWindowChords()
    {
        FocusingTerminalView view;
        WrittenBytes delegate;
        view.setTerminalDelegate(&delegate);
        QVERIFY(view.keyboard().reservedKeys() == windowChords());
        QVERIFY(view.keyboard().commandKeys() == viewKeyBindings());
        const auto overridden = [&](int key, Qt::KeyboardModifiers mods) {
            QKeyEvent e(QEvent::ShortcutOverride, key, mods);
            e.ignore();
            QCoreApplication::sendEvent(&view, &e);
            return e.isAccepted();
        };
        int windowChordCount = 0;
        for (const char* protocol : {"", "\x1b[>1u"}) {
            view.feed(protocol);
            for (const Shortcut& s : shortcuts()) {
                if (!std::holds_alternative<WindowCommand>(s.command))
                    continue;
                ++windowChordCount;
                QVERIFY(!overridden(s.chord.key, s.chord.modifiers));
                QTest::sendKeyEvent(QTest::Click, &view, Qt::Key(s.chord.key), QString(), s.chord.modifiers);
            }
        }
        QCOMPARE(windowChordCount, 2 * 29);
        QCOMPARE(delegate.bytes, std::string());
        // Kitty keyboard programs get a Ctrl+Shift letter the table leaves free...
        QVERIFY(overridden(Qt::Key_X, Qt::ControlModifier | Qt::ShiftModifier));
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_X, QString(), Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(delegate.bytes, std::string("\x1b[120;6u"));
        delegate.bytes.clear();
        // ...and every program Alt+0, unlike Alt+1.
        view.feed("\x1b[<u");
        QVERIFY(overridden(Qt::Key_0, Qt::AltModifier));
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_0, QStringLiteral("0"), Qt::AltModifier);
        QCOMPARE(delegate.bytes, std::string("\x1b"
                                             "0"));
    }
};

QTEST_MAIN(TerminalHostTests)
#include "TerminalHostTests.moc"
