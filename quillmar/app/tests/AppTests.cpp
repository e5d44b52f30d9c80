#include "quillmar/app/UserSettings.h"
#include "quillmar/app/shell/LocalShell.h"
#include "quillmar/app/shell/MainWindow.h"
#include "quillmar/app/shell/ToolTab.h"
#include "quillmar/app/tests/AppTestSupport.h"
#include "quillmar/snippets/FactorySnippets.h"
#include "quillmar/snippets/tests/support/HeldKeys.h"
#include "quillmar/snippets/tests/support/PromptKeys.h"

#include "ravelgrid/view/QtDeliveryQueue.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <map>

using namespace quillmar;
using apptests::memorySnippetStore;
using quillmar::testing::HeldKeys;
using quillmar::testing::PromptKeys;

namespace {

bool contains(const std::vector<std::string>& list, const std::string& entry)
{
    return std::find(list.begin(), list.end(), entry) != list.end();
}

}  // namespace

class AppTests : public QObject {
    Q_OBJECT

    apptests::WindowTestEnvironment environment_;
    QTemporaryDir& home_ = environment_.home;

private slots:
    void initTestCase() { QVERIFY(environment_.start()); }

    void shellChoice()
    {
        auto only = [](std::vector<std::string> present) {
            return [present](const std::string& path) {
                return std::find(present.begin(), present.end(), path) != present.end();
            };
        };
        using S = std::optional<std::string>;
        // The account's shell, even where zsh is installed.
        ShellCommand login = localShellCommand(only({"/bin/zsh", "/bin/bash"}), S("/bin/bash"), S("/bin/zsh"));
        QCOMPARE(login.executable, std::string("/bin/bash"));
        QCOMPARE(login.args, std::vector<std::string>{"-l"});
        // No usable account shell: $SHELL, then the POSIX shell.
        QCOMPARE(localShellCommand(only({"/bin/zsh"}), S("/usr/bin/fish"), S("/bin/zsh")).executable,
                 std::string("/bin/zsh"));
        QCOMPARE(localShellCommand(only({"/usr/sbin/nologin", "/bin/zsh"}), S("/usr/sbin/nologin"), S("/bin/zsh"))
                     .executable,
                 std::string("/bin/zsh"));
        QCOMPARE(localShellCommand(only({"/bin/zsh"}), std::nullopt, S("bin/zsh")).executable, std::string("/bin/sh"));
        QCOMPARE(localShellCommand(only({}), S("/usr/bin/fish"), S("/usr/bin/fish")).executable,
                 std::string("/bin/sh"));
        QCOMPARE(localShellCommand(only({}), std::nullopt, std::nullopt).args, std::vector<std::string>{"-l"});
    }

    void sessionEnvironmentIsTheSessions()
    {
        qputenv("QM_USERS_OWN", "kept");
        qputenv("DESKTOP_STARTUP_ID", "ours");
        const auto env = sessionEnvironment();
        qunsetenv("QM_USERS_OWN");
        qunsetenv("DESKTOP_STARTUP_ID");
        QVERIFY(contains(env, "TERM=xterm-256color"));
        QVERIFY(contains(env, "COLORTERM=truecolor"));
        QVERIFY(contains(env, "QM_USERS_OWN=kept"));
        QVERIFY(contains(env, "HOME=" + qEnvironmentVariable("HOME").toStdString()));
        QVERIFY(std::none_of(env.begin(), env.end(),
                             [](const std::string& e) { return e.rfind("DESKTOP_STARTUP_ID", 0) == 0; }));
    }

    void exitDescriptions()
    {
        QCOMPARE(describeExit(0), QStringLiteral("exited 0"));
        QCOMPARE(describeExit(3 << 8), QStringLiteral("exited 3"));
        QCOMPARE(describeExit(9), QStringLiteral("killed by signal 9"));
        QCOMPARE(describeExit(std::nullopt), QStringLiteral("exited: I/O error"));
        QCOMPARE(exitCodeOf(3 << 8), std::optional<int>(3));
        QCOMPARE(exitCodeOf(15), std::optional<int>());
        QCOMPARE(exitCodeOf(std::nullopt), std::optional<int>());
    }

    // The first window: one local shell, typed into, ending with its status.
    void windowOpensOneShellAndReportsItsEnd()
    {
        QTemporaryDir config;
        UserSettings settings(config.filePath(QStringLiteral("quillmar.conf")));
        MainWindow window(settings, memorySnippetStore(config));
        QVERIFY(window.workspace().sessions().empty());
        QVERIFY(window.sidebarColumn() && window.tabStripRow() && window.detailStack());
        QVERIFY(!window.snippets().loaded());
        QSignalSpy snippetsRead(&window.snippets(), &SnippetStore::snippetsChanged);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.workspace().sessions().size(), size_t(1));
        auto session = window.workspace().sessions()[0];
        QCOMPARE(session->title(), QStringLiteral("Local"));
        QCOMPARE(window.workspace().activeID(), std::optional<QUuid>(session->id));
        TerminalHost* host = window.activeHost();
        QVERIFY(host);
        QCOMPARE(window.detailStack()->currentWidget(), host);
        ravelgrid::LocalProcessTerminalView* view = host->view();
        QTRY_VERIFY(view->process().running());
        QVERIFY(view->processTrusted());
        QVERIFY(window.keys().installed());
        QVERIFY(window.minimumSize().width() >= 760 && window.minimumSize().height() >= 440);

        // Read once: the factory set, saved to the (new) file.
        QVERIFY(window.snippets().loaded());
        QTRY_VERIFY(!window.snippets().allSnippets().empty());
        QVERIFY(QFile::exists(window.snippets().snippetsFilePath()));
        QVERIFY(window.snippets().loadError().isEmpty());

        // Shown again: no second shell, no second read.
        const int reads = snippetsRead.count();
        window.hide();
        QVERIFY(!window.keys().installed());
        window.show();
        QTest::qWait(50);
        QCOMPARE(snippetsRead.count(), reads);
        QVERIFY(window.keys().installed());
        QCOMPARE(window.workspace().sessions().size(), size_t(1));

        QTest::keyClicks(view, "echo $((6*7))");
        QTest::keyClick(view, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(apptests::screenText(view->terminal()).contains(QStringLiteral("\n42\n")), 15000);

        QSignalSpy ended(&window, &MainWindow::sessionEnded);
        QTest::keyClicks(view, "exit 3");
        QTest::keyClick(view, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 15000);
        QCOMPARE(ended.at(0).at(0).toString(), QStringLiteral("exited 3"));
        QVERIFY(!session->running());
        QCOMPARE(session->exitCode(), std::optional<std::int32_t>(3));
        QVERIFY(window.windowTitle().contains(QStringLiteral("exited 3")));
    }

    // A keyring that doesn't answer: the shell still runs what is typed, and
    // the Snippets section and pane say what they wait for.
    void snippetsWaitingForTheKeyringLeaveTheShellLive()
    {
        QTemporaryDir config;
        UserSettings settings(config.filePath(QStringLiteral("quillmar.conf")));
        auto gate = std::make_shared<HeldKeys::Gate>();
        MainWindow window(settings, std::make_unique<SnippetStore>(
                                        SnippetPaths(config.filePath(QStringLiteral("data")).toStdString()),
                                        std::make_unique<HeldKeys>(gate)));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_VERIFY(quillmar::testing::seen(*gate, &HeldKeys::Gate::asked));
        QVERIFY(window.snippets().waitingForKeyring());

        window.workspace().openTool(ToolTab::snippets);
        const auto waitLabels = [&] { return window.findChildren<QLabel*>(QStringLiteral("snippetsWaiting")); };
        QTRY_COMPARE(waitLabels().size(), qsizetype(2));  // the sidebar's and the pane's
        for (QLabel* label : waitLabels()) {
            QCOMPARE(label->text(), QStringLiteral("Waiting for the keyring\u2026"));
            QVERIFY(!label->isHidden());
        }

        // The shell in the first tab runs what is typed meanwhile.
        window.workspace().activate(window.workspace().sessions().front()->id);
        QTRY_VERIFY(window.activeHost());
        const QString out = home_.filePath(QStringLiteral("answer"));
        QTest::keyClicks(window.activeHost()->view(), QStringLiteral("echo $((6*7)) > %1").arg(out));
        QTest::keyClick(window.activeHost()->view(), Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(apptests::readFile(out), QByteArray("42\n"), 15000);
        QVERIFY(window.snippets().waitingForKeyring());
        QVERIFY(window.snippets().allSnippets().empty());

        quillmar::testing::release(*gate);
        QTRY_VERIFY(!window.snippets().waitingForKeyring());
        for (QLabel* label : waitLabels())
            QVERIFY(label->isHidden());
        QCOMPARE(window.snippets().allSnippets(), factorySnippets());
    }

    // A keyring locked at the start: the section and the pane say they wait
    // for its password prompt; once it is dismissed they offer to unlock,
    // which prompts again, and the password opens the snippets.
    void snippetsWaitForThePasswordPromptAndOfferToUnlock()
    {
        QTemporaryDir config;
        UserSettings settings(config.filePath(QStringLiteral("quillmar.conf")));
        auto desk = std::make_shared<PromptKeys::Desk>();
        MainWindow window(settings, std::make_unique<SnippetStore>(
                                        SnippetPaths(config.filePath(QStringLiteral("data")).toStdString()),
                                        std::make_unique<PromptKeys>(desk)));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.workspace().openTool(ToolTab::snippets);
        const auto labels = [&] { return window.findChildren<QLabel*>(QStringLiteral("snippetsWaiting")); };
        const auto buttons = [&] { return window.findChildren<QPushButton*>(QStringLiteral("snippetsUnlock")); };
        const auto allHidden = [](const auto& widgets) {
            return std::all_of(widgets.begin(), widgets.end(), [](const QWidget* w) { return w->isHidden(); });
        };
        const auto answer = [&](PromptKeys::Desk::Answer how) {
            quillmar::testing::change(*desk, [how](PromptKeys::Desk& d) { d.answer = how; });
        };

        QTRY_VERIFY(window.snippets().waitingForPrompt());
        QTRY_COMPARE(labels().size(), qsizetype(2));  // the sidebar's and the pane's
        QCOMPARE(buttons().size(), qsizetype(2));
        for (QLabel* label : labels()) {
            QCOMPARE(label->text(), QStringLiteral("Waiting for the keyring's password prompt\u2026"));
            QVERIFY(!label->isHidden());
        }
        QVERIFY(allHidden(buttons()));

        answer(PromptKeys::Desk::Answer::dismissed);
        QTRY_VERIFY(window.snippets().keyringLocked());
        QVERIFY(allHidden(labels()));
        for (QPushButton* button : buttons()) {
            QCOMPARE(button->text(), QStringLiteral("Unlock Keyring\u2026"));
            QVERIFY(!button->isHidden());
        }
        buttons().front()->click();
        QTRY_VERIFY(window.snippets().waitingForPrompt());
        QVERIFY(allHidden(buttons()));
        answer(PromptKeys::Desk::Answer::password);
        QTRY_COMPARE(window.snippets().allSnippets(), factorySnippets());
        QVERIFY(allHidden(labels()));
        QVERIFY(allHidden(buttons()));
    }

    // Tabs through the real event filter: keys sent to the focused terminal.
    void shortcutsReachTheRouterBeforeTheTerminal()
    {
        QTemporaryDir config;
        UserSettings settings(config.filePath(QStringLiteral("quillmar.conf")));
        MainWindow window(settings, memorySnippetStore(config));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.activateWindow();
        TerminalHost* first = window.activeHost();
        QVERIFY(first);
        QTRY_COMPARE(QApplication::focusWidget(), first->view());

        QTest::keyClick(first->view(), Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(window.workspace().sessions().size(), size_t(2));
        TerminalHost* second = window.activeHost();
        QVERIFY(second && second != first);
        QCOMPARE(window.workspace().sessions()[1]->title(), QStringLiteral("Local 2"));
        QCOMPARE(window.detailStack()->currentWidget(), second);
        QTRY_COMPARE(QApplication::focusWidget(), second->view());
        QTRY_VERIFY(second->view()->process().shellPid() > 0);
        QTRY_VERIFY(first->view()->process().shellPid() > 0);
        QVERIFY(second->view()->process().shellPid() != first->view()->process().shellPid());

        // Alt+1 back to the first; Ctrl+Alt+Shift+T is no shortcut.
        QTest::keyClick(second->view(), Qt::Key_1, Qt::AltModifier);
        QCOMPARE(window.activeHost(), first);
        QTRY_COMPARE(QApplication::focusWidget(), first->view());
        QTest::keyClick(first->view(), Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier);
        QCOMPARE(window.workspace().sessions().size(), size_t(2));

        // Ctrl+, opens the (empty) Settings pane; the terminals stay alive behind it.
        QTest::keyClick(first->view(), Qt::Key_Comma, Qt::ControlModifier);
        QCOMPARE(window.workspace().activeID(), std::optional<TabID>(ToolTab::settings));
        QVERIFY(window.toolPane(ToolTab::settings));
        QCOMPARE(window.detailStack()->currentWidget(), window.toolPane(ToolTab::settings));
        QVERIFY(first->view()->process().running() && second->view()->process().running());

        // Ctrl+= grows the font of every terminal, written to the settings file.
        window.workspace().activate(window.workspace().sessions()[0]->id);
        QTRY_COMPARE(QApplication::focusWidget(), first->view());
        const int cols = first->view()->terminal().cols;
        // Cells are whole pixels wide: one step may keep the column count.
        for (int i = 0; i < 3; ++i)
            QTest::keyClick(first->view(), Qt::Key_Equal, Qt::ControlModifier);
        QCOMPARE(settings.fontSize(), 16.0);
        // Points, as everywhere on the desktop: 16 pt at 96 DPI is 21 1/3 px.
        QCOMPARE(first->view()->fontSet().pointSize(), 16.0);
        QCOMPARE(second->view()->fontSet().pointSize(), 16.0);
        QCOMPARE(first->view()->fontSet().pixelSize(), 16.0 * 96 / 72);
        QVERIFY2(first->view()->terminal().cols < cols, qPrintable(QStringLiteral("%1 -> %2, width %3")
                                                                       .arg(cols)
                                                                       .arg(first->view()->terminal().cols)
                                                                       .arg(first->view()->width())));
    }

    // Closing a tab stops its child with SIGTERM and frees its view; the last
    // one closed leaves the hint.
    void closingATabStopsItsChild()
    {
        QTemporaryDir config;
        UserSettings settings(config.filePath(QStringLiteral("quillmar.conf")));
        MainWindow window(settings, memorySnippetStore(config));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto session = window.workspace().sessions().at(0);
        QPointer<TerminalHost> host = window.activeHost();
        QTRY_VERIFY(host->view()->process().shellPid() > 0);
        const pid_t pid = host->view()->process().shellPid();
        window.workspace().close(session->id);
        QTRY_VERIFY(host.isNull());
        QTRY_VERIFY_WITH_TIMEOUT(apptests::hasEnded(pid), 10000);
        QCOMPARE(window.detailStack()->currentWidget(), window.emptyHint());
        QVERIFY(window.emptyHint()->text().startsWith(QStringLiteral("No open sessions.")));

        // Only the Settings pane open: the pane, not the hint.
        window.workspace().openTool(ToolTab::settings);
        QCOMPARE(window.detailStack()->currentWidget(), window.toolPane(ToolTab::settings));
        window.workspace().close(TabID(ToolTab::settings));
        QCOMPARE(window.detailStack()->currentWidget(), window.emptyHint());

        // Shown again with nothing open: a new local shell.
        window.hide();
        window.show();
        QCOMPARE(window.workspace().sessions().size(), size_t(1));
        QCOMPARE(window.workspace().sessions()[0]->title(), QStringLiteral("Local"));
        QVERIFY(window.activeHost());
    }

    // Settings changed elsewhere restyle every open terminal at once.
    void settingsReachEveryTerminal()
    {
        QTemporaryDir config;
        UserSettings settings(config.filePath(QStringLiteral("quillmar.conf")));
        MainWindow window(settings, memorySnippetStore(config));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.workspace().open(SessionTarget::local());
        std::vector<TerminalHost*> hosts;
        for (const auto& s : window.workspace().sessions())
            hosts.push_back(window.hostFor(s->id));
        QCOMPARE(hosts.size(), size_t(2));
        for (TerminalHost* h : hosts)
            QCOMPARE(h->scheme().id, QStringLiteral("metro-dark"));

        settings.setAppearance(AppAppearance::matrix);
        for (TerminalHost* h : hosts)
            QCOMPARE(h->scheme().id, QStringLiteral("dot-matrix"));
        QCOMPARE(QApplication::palette().color(QPalette::Window), QColor(0x0D, 0x02, 0x08));
        QCOMPARE(window.detailStack()->palette().color(QPalette::Window), QColor(0x0D, 0x02, 0x08));

        settings.setAppearance(AppAppearance::light);
        for (TerminalHost* h : hosts)
            QCOMPARE(h->scheme().id, QStringLiteral("metro-light"));
        QCOMPARE(QApplication::palette().color(QPalette::Window), QColor(0xF6, 0xF7, 0xF9));

        settings.setSchemeID(QStringLiteral("nord"));
        for (TerminalHost* h : hosts) {
            QCOMPARE(h->scheme().id, QStringLiteral("nord"));
            QCOMPARE(h->view()->nativeBackgroundColor(), QColor(0x2E, 0x34, 0x40));
        }

        settings.setFontSize(20);
        for (TerminalHost* h : hosts)
            QCOMPARE(h->view()->fontSet().pointSize(), 20.0);
        settings.setFontSize(200);  // written by hand: still bounded
        for (TerminalHost* h : hosts)
            QCOMPARE(h->view()->fontSet().pointSize(), 28.0);
        settings.setAppearance(AppAppearance::dark);
    }
};

QTEST_MAIN(AppTests)
#include "AppTests.moc"
