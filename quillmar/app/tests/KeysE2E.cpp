// The whole road of a key through the window against a real sshd and
// ssh-agent, run by keys_e2e.sh: generate without a passphrase in the Keys
// pane's tool tab, install it with ssh-copy-id, make the host use it, load it
// into the agent, and log in from the sidebar with nothing but the agent.
#include "quillmar/app/UserSettings.h"
#include "quillmar/app/panes/KeysView.h"
#include "quillmar/app/shell/FocusingTerminalView.h"
#include "quillmar/app/shell/MainWindow.h"
#include "quillmar/app/shell/TerminalHost.h"
#include "quillmar/app/shell/TerminalSession.h"
#include "quillmar/app/shell/Workspace.h"
#include "quillmar/app/sidebar/Sidebar.h"

#include "ravelgrid/view/QtDeliveryQueue.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

using namespace quillmar;

namespace {

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(10000);
    return p.readAllStandardOutput();
}

}  // namespace

class KeysE2E : public QObject {
    Q_OBJECT
    std::unique_ptr<ravelgrid::QtDeliveryQueue> queue_;

private slots:
    void initTestCase() { queue_ = ravelgrid::QtDeliveryQueue::installAsMain(); }

    void generateInstallUseLoadAndLogIn()
    {
        const QString home = QDir::homePath();
        const QString ssh = home + QStringLiteral("/.ssh/");
        QVERIFY(!qgetenv("SSH_AUTH_SOCK").isEmpty());
        QTemporaryDir config;
        UserSettings settings(config.filePath(QStringLiteral("quillmar.conf")));
        settings.setHostsExpanded(true);
        MainWindow window(settings);
        window.resize(1100, 700);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        window.workspace().openTool(ToolTab::keys);
        auto* keys = qobject_cast<KeysView*>(window.toolPane(ToolTab::keys));
        QVERIFY(keys);

        // ssh-keygen asks twice for the passphrase in its tab; Return is no passphrase.
        QVERIFY(
            !keys->generateKey(QStringLiteral("id_e2e"), KeyToolCommands::KeyType::ed25519, QStringLiteral("e2e key")));
        TerminalHost* tool = window.activeHost();
        QVERIFY(tool);
        QCOMPARE(tool->session()->target.executable, QStringLiteral("/usr/bin/ssh-keygen"));
        for (int i = 0; i < 100 && !QFile::exists(ssh + QStringLiteral("id_e2e.pub")); ++i) {
            QTest::qWait(300);
            if (window.activeHost() == tool && !tool->endedCardShown())
                tool->view()->send(std::string_view("\r"));
        }
        QVERIFY(QFile::exists(ssh + QStringLiteral("id_e2e")));
        QTRY_VERIFY_WITH_TIMEOUT(!keys->list()->findItems(QStringLiteral("id_e2e"), Qt::MatchExactly).isEmpty(), 15000);
        const QByteArray pub = readFile(ssh + QStringLiteral("id_e2e.pub")).trimmed();
        QVERIFY(pub.endsWith(" e2e key"));

        // ssh-copy-id logs in with the bootstrap key the agent holds.
        keys->selectKey(QStringLiteral("id_e2e"));
        keys->setChooseHost([](const QString&, const QStringList& aliases) -> std::optional<QString> {
            if (!aliases.contains(QStringLiteral("e2e-target")))
                return std::nullopt;
            return QStringLiteral("e2e-target");
        });
        keys->installOnHost();
        QCOMPARE(window.activeHost()->session()->target.executable, QStringLiteral("/usr/bin/ssh-copy-id"));
        QTRY_VERIFY2_WITH_TIMEOUT(
            readFile(ssh + QStringLiteral("authorized_keys")).contains(pub),
            (readFile(ssh + QStringLiteral("authorized_keys")) + "\n--- wanted ---\n" + pub).constData(), 30000);
        // The host's own IdentityFile already logs in; the new key must have been copied all the same.
        TerminalHost* copy = window.activeHost();
        QTRY_VERIFY_WITH_TIMEOUT(!copy->session()->running(), 30000);
        QCOMPARE(copy->session()->exitCode(), 0);
        QProcess only;
        const QStringList onlyNew{"-F",        "/dev/null",
                                  "-o",        "IdentitiesOnly=yes",
                                  "-o",        "BatchMode=yes",
                                  "-o",        "StrictHostKeyChecking=no",
                                  "-o",        "UserKnownHostsFile=/dev/null",
                                  "-i",        ssh + QStringLiteral("id_e2e"),
                                  "-p",        QString::fromLocal8Bit(qgetenv("E2E_PORT")),
                                  "127.0.0.1", "true"};
        only.start(QStringLiteral("/usr/bin/ssh"), onlyNew);
        QVERIFY(only.waitForFinished(20000));
        QVERIFY2(only.exitCode() == 0, only.readAllStandardError().constData());

        // ssh-copy-id left to its own check skips a key the host holds and still exits 0.
        window.workspace().open(SessionTarget::tool(
            QStringLiteral("ssh-copy-id again"), KeyToolCommands::kCopyId,
            {QStringLiteral("-i"), ssh + QStringLiteral("id_e2e.pub"), QStringLiteral("e2e-target")}));
        TerminalHost* again = window.activeHost();
        QVERIFY(again != copy);
        QTRY_VERIFY_WITH_TIMEOUT(!again->session()->running(), 30000);
        QCOMPARE(again->session()->exitCode(), std::nullopt);
        QCOMPARE(again->session()->exitDescription(), QStringLiteral("nothing installed"));
        QTRY_VERIFY(again->endedCardShown());

        keys->setConfirm([](const QString&, const QString&) { return true; });
        QSignalSpy used(keys, &KeysView::useFinished);
        keys->useWithHost();
        QVERIFY(used.wait(15000));
        QVERIFY2(readFile(ssh + QStringLiteral("config")).contains("IdentityFile ~/.ssh/id_e2e"),
                 readFile(ssh + QStringLiteral("config")).constData());
        QVERIFY(!QDir(ssh + QStringLiteral("quillmar-backups")).entryList(QDir::Files).isEmpty());

        keys->loadIntoAgent();
        QCOMPARE(window.activeHost()->session()->target.executable, QStringLiteral("/usr/bin/ssh-add"));
        QTRY_VERIFY_WITH_TIMEOUT(run(QStringLiteral("/usr/bin/ssh-add"), {QStringLiteral("-L")}).contains(pub), 20000);

        // Only the new key opens the server now, and only the agent holds its private half.
        QFile auth(ssh + QStringLiteral("authorized_keys"));
        QVERIFY(auth.open(QIODevice::WriteOnly | QIODevice::Truncate));
        auth.write(pub + "\n");
        auth.close();
        QVERIFY(QFile::rename(ssh + QStringLiteral("id_e2e"), home + QStringLiteral("/id_e2e.away")));
        run(QStringLiteral("/usr/bin/ssh-add"), {QStringLiteral("-d"), home + QStringLiteral("/boot/id_boot.pub")});
        QVERIFY(!run(QStringLiteral("/usr/bin/ssh-add"), {QStringLiteral("-L")}).contains(" boot"));

        Sidebar* sidebar = window.sidebar();
        QTRY_VERIFY_WITH_TIMEOUT(sidebar->listedHosts().contains(QStringLiteral("e2e-target")), 10000);
        // The sidebar's own double-click and Return path.
        sidebar->openSelectedItem(SidebarItem::host(QStringLiteral("e2e-target")));
        QTRY_VERIFY(window.activeHost() && window.activeHost()->session()->target == SessionTarget::ssh("e2e-target"));
        TerminalHost* remote = window.activeHost();
        const QString mark = home + QStringLiteral("/remote-ran");
        const std::string line = "echo $SSH_CONNECTION > '" + mark.toStdString() + "'\r";
        for (int i = 0; i < 30 && readFile(mark).isEmpty(); ++i) {
            QTest::qWait(500);
            if (!remote->endedCardShown())
                remote->view()->send(std::string_view(line));
        }
        QVERIFY2(readFile(mark).contains(" 127.0.0.1 " + qgetenv("E2E_PORT")), readFile(mark).constData());
    }
};

QTEST_MAIN(KeysE2E)
#include "KeysE2E.moc"
