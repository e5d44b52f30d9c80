#include "quillmar/app/LocalShell.h"
#include "quillmar/app/MainWindow.h"
#include "quillmar/app/UserSettings.h"

#include "ravelgrid/view/QtDeliveryQueue.h"

#include <QStackedWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/wait.h>

#include <algorithm>
#include <map>

using namespace quillmar;

namespace {

bool contains(const std::vector<std::string>& list, const std::string& entry) {
    return std::find(list.begin(), list.end(), entry) != list.end();
}

std::string screenText(ravelgrid::Terminal& terminal) {
    std::string text;
    for (int r = 0; r < terminal.rows; ++r) {
        if (ravelgrid::BufferLine* line = terminal.getLine(r))
            text += line->toText(true, 0, -1, true, [&](const ravelgrid::CharData& c) { return terminal.getCharacter(c); });
        text += "\n";
    }
    return text;
}

}  // namespace

class AppTests : public QObject {
    Q_OBJECT

    std::unique_ptr<ravelgrid::QtDeliveryQueue> queue_;
    QTemporaryDir home_;

private slots:
    void initTestCase() {
        queue_ = ravelgrid::QtDeliveryQueue::installAsMain();
        // A quiet home: no start-up files of the person running the tests,
        // and an empty .zshrc so zsh asks no first-run questions.
        QVERIFY(home_.isValid());
        QFile rc(home_.filePath(QStringLiteral(".zshrc")));
        QVERIFY(rc.open(QIODevice::WriteOnly));
        rc.write("PS1='$ '\n");
        rc.close();
        qputenv("HOME", home_.path().toLocal8Bit());
        qputenv("ZDOTDIR", home_.path().toLocal8Bit());
    }

    void shellChoice() {
        auto only = [](std::vector<std::string> present) {
            return [present](const std::string& path) {
                return std::find(present.begin(), present.end(), path) != present.end();
            };
        };
        ShellCommand zsh = localShellCommand(only({"/bin/zsh", "/bin/bash"}), std::string("/bin/bash"));
        QCOMPARE(zsh.executable, std::string("/bin/zsh"));
        QCOMPARE(zsh.args, std::vector<std::string>{"-l"});
        ShellCommand login = localShellCommand(only({"/bin/bash"}), std::string("/bin/bash"));
        QCOMPARE(login.executable, std::string("/bin/bash"));
        QCOMPARE(login.args, std::vector<std::string>{"-l"});
        // A login shell that is not there (or none at all): the POSIX shell.
        QCOMPARE(localShellCommand(only({}), std::string("/usr/bin/fish")).executable, std::string("/bin/sh"));
        QCOMPARE(localShellCommand(only({}), std::nullopt).executable, std::string("/bin/sh"));
    }

    void sessionEnvironmentCopiesOnlyWhatItShould() {
        const std::map<std::string, std::string> host = {
            {"PATH", "/opt/bin:/usr/bin"}, {"SSH_AUTH_SOCK", "/run/agent"}, {"SHELL", "/bin/zsh"},
            {"TMPDIR", "/var/tmp"},       {"HOME", "/home/ann"},          {"SECRET_TOKEN", "x"}};
        const auto env = sessionEnvironment([&](const char* name) -> const char* {
            auto it = host.find(name);
            return it == host.end() ? nullptr : it->second.c_str();
        });
        QVERIFY(contains(env, "TERM=xterm-256color"));
        QVERIFY(contains(env, "COLORTERM=truecolor"));
        QVERIFY(contains(env, "PATH=/opt/bin:/usr/bin"));
        QVERIFY(contains(env, "SSH_AUTH_SOCK=/run/agent"));
        QVERIFY(contains(env, "SHELL=/bin/zsh"));
        QVERIFY(contains(env, "TMPDIR=/var/tmp"));
        QVERIFY(contains(env, "HOME=/home/ann"));
        QVERIFY(std::none_of(env.begin(), env.end(), [](const std::string& e) { return e.rfind("SECRET_TOKEN", 0) == 0; }));
        QVERIFY(std::any_of(env.begin(), env.end(), [](const std::string& e) { return e.rfind("LANG=", 0) == 0; }));

        const auto bare = sessionEnvironment([](const char*) -> const char* { return nullptr; });
        QVERIFY(std::none_of(bare.begin(), bare.end(), [](const std::string& e) { return e.rfind("PATH=", 0) == 0; }));
    }

    void exitDescriptions() {
        QCOMPARE(describeExit(0), std::string("exited 0"));
        QCOMPARE(describeExit(3 << 8), std::string("exited 3"));
        QCOMPARE(describeExit(9), std::string("killed by signal 9"));
        QCOMPARE(describeExit(std::nullopt), std::string("exited: I/O error"));
        QCOMPARE(exitCodeOf(3 << 8), std::optional<int>(3));
        QCOMPARE(exitCodeOf(15), std::optional<int>());
        QCOMPARE(exitCodeOf(std::nullopt), std::optional<int>());
    }

    // The first window: one local shell, typed into, ending with its status.
    void windowOpensOneShellAndReportsItsEnd() {
        QTemporaryDir config;
        UserSettings settings(config.filePath(QStringLiteral("quillmar.conf")));
        MainWindow window(settings);
        QVERIFY(window.workspace().sessions().empty());
        QVERIFY(window.sidebarColumn() && window.tabStripRow() && window.detailStack());
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

        // Shown again: no second shell.
        window.hide();
        QVERIFY(!window.keys().installed());
        window.show();
        QVERIFY(window.keys().installed());
        QCOMPARE(window.workspace().sessions().size(), size_t(1));

        QTest::keyClicks(view, "echo $((6*7))");
        QTest::keyClick(view, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(screenText(view->terminal()).find("\n42\n") != std::string::npos, 15000);

        QSignalSpy ended(&window, &MainWindow::sessionEnded);
        QTest::keyClicks(view, "exit 3");
        QTest::keyClick(view, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 15000);
        QCOMPARE(ended.at(0).at(0).toString(), QStringLiteral("exited 3"));
        QVERIFY(!session->running());
        QCOMPARE(session->exitCode(), std::optional<std::int32_t>(3));
        QVERIFY(window.windowTitle().contains(QStringLiteral("exited 3")));
    }
};

QTEST_MAIN(AppTests)
#include "AppTests.moc"
