#include "quillmar/app/UserSettings.h"
#include "quillmar/app/panes/AddHostView.h"
#include "quillmar/app/panes/KeysView.h"
#include "quillmar/app/sheets/GenerateKeySheet.h"
#include "quillmar/app/shell/KeyToolCommands.h"
#include "quillmar/app/shell/MainWindow.h"
#include "quillmar/app/shell/TerminalHost.h"
#include "quillmar/app/shell/TerminalSession.h"
#include "quillmar/app/shell/Workspace.h"
#include "quillmar/app/sidebar/KeyListModel.h"
#include "quillmar/app/sidebar/Sidebar.h"
#include "quillmar/app/style/Metro.h"
#include "quillmar/app/tests/AppTestSupport.h"
#include "quillmar/sshconfig/SSHHostStore.h"
#include "quillmar/sshkeys/SSHKeyStore.h"

#include "platform/WriterLock.h"
#include "ravelgrid/view/QtDeliveryQueue.h"
#include "ravelgrid/view/QtScheduler.h"

#include <QClipboard>
#include <QComboBox>
#include <QCompleter>
#include <QDir>
#include <QDirIterator>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include <sys/stat.h>

#include <memory>

using namespace quillmar;
using namespace quillmar::apptests;

Q_DECLARE_METATYPE(quillmar::SessionTarget)
using Field = AddHostView::Field;
using KeyToolCommands::KeyType;

namespace {

void keygen(const QString& path, const QString& comment)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QProcess p;
    p.start(QStringLiteral("/usr/bin/ssh-keygen"),
            {QStringLiteral("-q"), QStringLiteral("-t"), QStringLiteral("ed25519"), QStringLiteral("-N"), QString(),
             QStringLiteral("-C"), comment, QStringLiteral("-f"), path});
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitCode(), 0);
}

QStringList backups(const QString& home)
{
    return QDir(home + QStringLiteral("/.ssh/quillmar-backups")).entryList(QDir::Files, QDir::Name);
}

// One temporary home with its stores and the workspace.
struct Home {
    QTemporaryDir dir;
    std::unique_ptr<SSHHostStore> hosts;
    std::unique_ptr<SSHKeyStore> keys;
    std::unique_ptr<Workspace> workspace;

    QString ssh(const QString& rel) const { return dir.filePath(QStringLiteral(".ssh/") + rel); }

    void start()
    {
        hosts = std::make_unique<SSHHostStore>(SSHPaths(dir.path().toStdString()));
        KeyStoreSettings ks;
        ks.home = dir.path().toStdString();
        ks.userName = "tester";
        ks.authSocket = dir.filePath(QStringLiteral("no-agent.sock")).toStdString();
        keys = std::make_unique<SSHKeyStore>(ks);
        workspace = std::make_unique<Workspace>(ravelgrid::QtScheduler::system());
    }
    // Every file under ~/.ssh with its bytes, to prove nothing moved.
    QMap<QString, QByteArray> snapshot() const
    {
        QMap<QString, QByteArray> files;
        QDirIterator it(dir.filePath(QStringLiteral(".ssh")), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString p = it.next();
            // The writers' lock files stay by design; they hold no text.
            if (!p.endsWith(QStringLiteral(".quillmar-lock")))
                files.insert(p, readFile(p));
        }
        return files;
    }
    SessionTarget lastTarget() const { return workspace->sessions().back()->target; }
};

void fill(AddHostView& view, const QString& alias, const QString& hostName, const QString& user = {},
          const QString& port = {}, const QString& key = {}, const QString& jump = {})
{
    view.field(Field::alias)->setText(alias);
    view.field(Field::hostName)->setText(hostName);
    view.field(Field::user)->setText(user);
    view.field(Field::port)->setText(port);
    view.keyFileBox()->setEditText(key);
    view.field(Field::proxyJump)->setText(jump);
}

// Saves as the Save button does and waits for the worker's answer.
bool saveAndWait(AddHostView& view)
{
    QSignalSpy finished(&view, &AddHostView::saveFinished);
    if (!view.save())
        return false;
    if (!finished.wait(10000))
        return false;
    return finished.front().front().toBool();
}

// Uses the key as the button does; waits for the worker when one started.
void useAndWait(KeysView& view)
{
    QSignalSpy finished(&view, &KeysView::useFinished);
    view.useWithHost();
    if (view.saving())
        QVERIFY(finished.wait(15000));
}

}  // namespace

class KeysTests : public QObject {
    Q_OBJECT
    std::unique_ptr<ravelgrid::QtDeliveryQueue> queue_;

private slots:
    void initTestCase() { queue_ = ravelgrid::QtDeliveryQueue::installAsMain(); }

    // The window's tool tabs are these views, over the window's own stores;
    // the key file choices are the key store's private keys.
    void theWindowBuildsThePanes()
    {
        QTemporaryDir home;
        keygen(home.filePath(QStringLiteral(".ssh/id_ed25519")), QStringLiteral("me"));
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("HOME", home.path().toLocal8Bit());
        {
            UserSettings settings(home.filePath(QStringLiteral("quillmar.conf")));
            MainWindow window(settings);
            window.workspace().openTool(ToolTab::addHost);
            auto* add = qobject_cast<AddHostView*>(window.toolPane(ToolTab::addHost));
            QVERIFY(add);
            QCOMPARE(add->keyFileBox()->findText(QStringLiteral("~/.ssh/id_ed25519")), 0);
            QVERIFY(add->keyFileBox()->currentText().isEmpty());
            window.workspace().openTool(ToolTab::keys);
            auto* keys = qobject_cast<KeysView*>(window.toolPane(ToolTab::keys));
            QVERIFY(keys);
            QCOMPARE(keys->list()->topLevelItemCount(), 1);
        }
        qputenv("HOME", oldHome);
    }

    // The warning of a key others can read is in the red of the theme in
    // force, also after the theme changes under the open pane.
    void permissionWarningFollowsTheTheme()
    {
        QTemporaryDir home;
        const QString key = home.filePath(QStringLiteral(".ssh/id_loose"));
        keygen(key, QStringLiteral("loose"));
        ::chmod(key.toLocal8Bit().constData(), 0644);
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("HOME", home.path().toLocal8Bit());
        {
            UserSettings settings(home.filePath(QStringLiteral("quillmar.conf")));
            settings.setAppearance(AppAppearance::dark);
            MainWindow window(settings);
            window.show();
            window.workspace().openTool(ToolTab::keys);
            auto* keys = qobject_cast<KeysView*>(window.toolPane(ToolTab::keys));
            QVERIFY(keys);
            QTreeWidgetItem* item = keys->list()->topLevelItem(0);
            QVERIFY(item);
            QCOMPARE(item->foreground(KeysView::permissionsColumn).color(),
                     Metro::color(Metro::Role::danger, Metro::Variant::dark));
            for (auto [appearance, variant] : {std::pair(AppAppearance::light, Metro::Variant::light),
                                               std::pair(AppAppearance::matrix, Metro::Variant::matrix)}) {
                settings.setAppearance(appearance);
                QTRY_COMPARE(keys->list()->topLevelItem(0)->foreground(KeysView::permissionsColumn).color(),
                             Metro::color(Metro::Role::danger, variant));
            }
        }
        qputenv("HOME", oldHome);
    }

    // The sidebar and the pane list the keys of one model, which follows the
    // store; the pane's choice survives a rescan.
    void oneKeyListForTheSidebarAndThePane()
    {
        Home home;
        keygen(home.ssh(QStringLiteral("id_b")), QStringLiteral("b"));
        home.start();
        UserSettings settings(home.dir.filePath(QStringLiteral("quillmar.conf")));
        Sidebar sidebar(*home.hosts, *home.keys, *home.workspace, settings);
        KeysView view(*home.keys, *home.workspace, *home.hosts);
        KeyListModel* model = KeyListModel::of(*home.keys);
        QCOMPARE(sidebar.keyList()->model(), model);
        QCOMPARE(model->rowCount(), 1);
        QCOMPARE(view.list()->topLevelItemCount(), 1);
        view.selectKey(QStringLiteral("id_b"));

        keygen(home.ssh(QStringLiteral("id_a")), QStringLiteral("a"));
        home.keys->reload();
        QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), 2, 5000);
        QCOMPARE(view.list()->topLevelItemCount(), 2);
        for (int row = 0; row < 2; ++row)
            QCOMPARE(view.list()->topLevelItem(row)->text(KeysView::nameColumn), model->index(row).data().toString());
        QVERIFY(!sidebar.keyList()->isHidden());
        QCOMPARE(sidebar.keyList()->height(), 2 * 24 + 2);
        QVERIFY(view.selectedKey());
        QCOMPARE(QString::fromStdString(view.selectedKey()->name), QStringLiteral("id_b"));

        QVERIFY(QFile::remove(home.ssh(QStringLiteral("id_b"))) && QFile::remove(home.ssh(QStringLiteral("id_b.pub"))));
        home.keys->reload();
        QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), 1, 5000);
        QCOMPARE(view.list()->topLevelItemCount(), 1);
        QVERIFY2(!view.selectedKey(), "a key that went is no longer chosen");
    }

    // The first save asks before the Include line goes in; a no writes
    // nothing, a yes writes the host, the Include line and a backup, and ssh
    // reads the host back as typed.
    void aValidHostLandsAfterTheConfirmation()
    {
        Home home;
        home.start();
        const QByteArray config = "Host old\n    HostName 10.0.0.1\n";
        writeFile(home.ssh(QStringLiteral("config")), config);
        writeFile(home.ssh(QStringLiteral("id_test")), "not read\n");
        home.hosts->reload();
        AddHostView view(*home.workspace, *home.hosts, home.keys.get());
        QStringList asked;
        bool answer = false;
        view.setConfirm([&](const QString& q) {
            asked << q;
            return answer;
        });
        fill(view, QStringLiteral("web2"), QStringLiteral("192.0.2.5"), QStringLiteral("deploy"),
             QStringLiteral("2222"), QStringLiteral("~/.ssh/id_test"), QStringLiteral("old"));
        QVERIFY(view.preview()->toPlainText().contains(QStringLiteral("Include quillmar_config")));
        QVERIFY(view.preview()->toPlainText().contains(QStringLiteral("Host web2\n")));
        QVERIFY(view.preview()->toPlainText().contains(QStringLiteral("Port 2222")));

        const auto before = home.snapshot();
        QVERIFY(!saveAndWait(view));
        QCOMPARE(asked.size(), 1);
        QVERIFY(asked[0].contains(QStringLiteral("Include quillmar_config")));
        QCOMPARE(home.snapshot(), before);
        QVERIFY(view.statusLabel()->text().contains(QStringLiteral("Nothing was changed.")));

        answer = true;
        QVERIFY(saveAndWait(view));
        QCOMPARE(asked.size(), 2);
        const QByteArray top = readFile(home.ssh(QStringLiteral("config")));
        QVERIFY(top.contains("Include quillmar_config\n"));
        QVERIFY(top.indexOf("Include quillmar_config") < top.indexOf("Host old"));
        QVERIFY(top.endsWith(config));
        QCOMPARE(backups(home.dir.path()).size(), 1);
        QCOMPARE(readFile(home.ssh(QStringLiteral("quillmar-backups/")) + backups(home.dir.path())[0]), config);
        // ssh resolves the Include from the password database's home, so the own file is read directly.
        const QByteArray g = sshG(home.ssh(QStringLiteral("quillmar_config")), QStringLiteral("web2"));
        QVERIFY2(g.contains("hostname 192.0.2.5\n"), g.constData());
        QVERIFY(g.contains("user deploy\n"));
        QVERIFY(g.contains("port 2222\n"));
        QVERIFY(g.contains("proxyjump old\n"));
        QVERIFY(g.contains("identityfile ~/.ssh/id_test\n") ||
                g.contains(home.ssh(QStringLiteral("id_test")).toUtf8()));

        // Listed at once, and Open opens it.
        QVERIFY(home.hosts->aliases().contains(QStringLiteral("web2")));
        QVERIFY(!view.openButton()->isHidden());
        QTest::mouseClick(view.openButton(), Qt::LeftButton);
        QCOMPARE(home.workspace->sessions().size(), std::size_t(1));
        QCOMPARE(home.lastTarget(), SessionTarget::ssh(QStringLiteral("web2")));

        // The second save asks nothing and backs the own file up first.
        fill(view, QStringLiteral("web3"), QStringLiteral("192.0.2.6"));
        const QByteArray own = readFile(home.ssh(QStringLiteral("quillmar_config")));
        QVERIFY(saveAndWait(view));
        QCOMPARE(asked.size(), 2);
        QCOMPARE(backups(home.dir.path()).size(), 2);
        QVERIFY(readFile(home.ssh(QStringLiteral("quillmar_config"))).startsWith(own));
        QVERIFY(
            sshG(home.ssh(QStringLiteral("quillmar_config")), QStringLiteral("web3")).contains("hostname 192.0.2.6\n"));
    }

    void invalidEntriesShowTheWritersMessages_data()
    {
        QTest::addColumn<QStringList>("fields");  // alias, host, user, port, key, jump
        QTest::addColumn<int>("field");
        QTest::addColumn<QString>("message");
        QTest::newRow("no alias") << QStringList{"", "h", "", "", "", ""} << int(Field::alias)
                                  << QString("Alias is required.");
        QTest::newRow("alias with space") << QStringList{"a b", "h", "", "", "", ""} << int(Field::alias)
                                          << QString("Alias can't contain spaces or * ? ! # or quotes.");
        QTest::newRow("alias taken") << QStringList{"old", "h", "", "", "", ""} << int(Field::alias)
                                     << QString("old already exists in your SSH config. Pick another alias.");
        QTest::newRow("no host name") << QStringList{"a", "", "", "", "", ""} << int(Field::hostName)
                                      << QString("HostName is required.");
        QTest::newRow("user with space") << QStringList{"a", "h", "x y", "", "", ""} << int(Field::user)
                                         << QString("User can't contain spaces.");
        QTest::newRow("port too big") << QStringList{"a", "h", "", "70000", "", ""} << int(Field::port)
                                      << QString("Port must be a number from 1 to 65535.");
        QTest::newRow("missing key") << QStringList{"a", "h", "", "", "~/.ssh/nope", ""} << int(Field::identityFile)
                                     << QString("Key file not found: ~/.ssh/nope");
        QTest::newRow("jump with space") << QStringList{"a", "h", "", "", "", "j k"} << int(Field::proxyJump)
                                         << QString("ProxyJump can't contain spaces (use commas between hops).");
        // ssh reads every block's ProxyJump, so one bad value would break every host.
        const QString shape =
            "ProxyJump must be none or hosts like bastion, user@bastion:2222 or [::1]:22, separated by commas.";
        const QString port = "ProxyJump ports must be numbers from 1 to 65535.";
        const std::pair<const char*, QString> jumps[] = {{"h:0", port},
                                                         {"a,,b", shape},
                                                         {"@@", shape},
                                                         {",", shape},
                                                         {"user@host:99999", port},
                                                         {"[::1", shape},
                                                         {"x;touch${IFS}pwned", shape}};
        for (const auto& [jump, sentence] : jumps)
            QTest::newRow(jump) << QStringList{"a", "h", "", "", "", jump} << int(Field::proxyJump) << sentence;
        QTest::newRow("alias read as x") << QStringList{"=x", "h", "", "", "", ""} << int(Field::alias)
                                         << QString("Alias can't start with an equals sign.");
    }

    void invalidEntriesShowTheWritersMessages()
    {
        QFETCH(QStringList, fields);
        QFETCH(int, field);
        QFETCH(QString, message);
        Home home;
        writeFile(home.ssh(QStringLiteral("config")), "Host old\n    HostName 10.0.0.1\n");
        home.start();
        AddHostView view(*home.workspace, *home.hosts, home.keys.get());
        int asked = 0;
        view.setConfirm([&](const QString&) { return ++asked > 0; });
        fill(view, fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]);
        QLabel* label = view.messageFor(Field(field));
        QVERIFY(!label->isHidden());
        QVERIFY2(label->text().contains(message), qPrintable(label->text()));
        QVERIFY(!view.saveButton()->isEnabled());
        const auto before = home.snapshot();
        QVERIFY(!saveAndWait(view));
        QCOMPARE(asked, 0);
        QCOMPARE(home.snapshot(), before);
        QVERIFY(!QFile::exists(home.ssh(QStringLiteral("quillmar_config"))));
    }

    // ssh refuses the new text though every field passed (it can't expand
    // "%q" in the host name): no file changes and no backup is left behind.
    void aSaveSshWouldRefuseChangesNothing()
    {
        Home home;
        writeFile(home.ssh(QStringLiteral("config")), "Include quillmar_config\n");
        writeFile(home.ssh(QStringLiteral("quillmar_config")), "Host kept\n    HostName 10.0.0.2\n");
        home.start();
        AddHostView view(*home.workspace, *home.hosts, home.keys.get());
        fill(view, QStringLiteral("web"), QStringLiteral("h%q"));
        QVERIFY(view.saveButton()->isEnabled());
        const auto before = home.snapshot();
        QVERIFY(!saveAndWait(view));
        const QString status = view.statusLabel()->text();
        QVERIFY2(status.startsWith(QStringLiteral("ssh would refuse ~/.ssh/quillmar_config with this change")) &&
                     status.endsWith(QStringLiteral("Nothing was changed.")),
                 qPrintable(status));
        QCOMPARE(home.snapshot(), before);
    }

    // The Include line can't go in (the config is too large to edit): the
    // host appended a moment before is taken out again.
    void aFailedSaveChangesNothing()
    {
        Home home;
        QByteArray big = "Host old\n    HostName 10.0.0.1\n";
        big.append(QByteArray(1100 * 1024, '#')).append('\n');
        writeFile(home.ssh(QStringLiteral("config")), big);
        writeFile(home.ssh(QStringLiteral("quillmar_config")), "# mine\n\nHost kept\n    HostName 10.0.0.2\n");
        home.start();
        AddHostView view(*home.workspace, *home.hosts, home.keys.get());
        view.setConfirm([](const QString&) { return true; });
        fill(view, QStringLiteral("web9"), QStringLiteral("192.0.2.9"));
        const QByteArray own = readFile(home.ssh(QStringLiteral("quillmar_config")));
        QVERIFY(!saveAndWait(view));
        QVERIFY2(view.statusLabel()->text().endsWith(QStringLiteral("Nothing was changed.")),
                 qPrintable(view.statusLabel()->text()));
        QCOMPARE(readFile(home.ssh(QStringLiteral("config"))), big);
        QCOMPARE(readFile(home.ssh(QStringLiteral("quillmar_config"))), own);
        QVERIFY(!home.hosts->aliases().contains(QStringLiteral("web9")));
    }

    // ssh checks only the new lines, off the window's thread: the user's slow
    // Match exec never runs, and while a check hangs the pane answers, Save
    // stays off, and the end of the wait is told in a sentence.
    void aSaveNeverWaitsOnTheWindowsThread()
    {
        Home home;
        // The save puts the Include line above the user's own lines.
        const QString started = home.ssh(QStringLiteral("started"));
        const QString marker = home.ssh(QStringLiteral("ran"));
        writeFile(home.ssh(QStringLiteral("config")), "Match exec \"touch " + started.toUtf8() + "; sleep 5; touch " +
                                                          marker.toUtf8() + "\"\n    User u\n");
        writeFile(home.ssh(QStringLiteral("quillmar_config")), "Host kept\n    HostName 10.0.0.2\n");
        home.start();
        AddHostView view(*home.workspace, *home.hosts, home.keys.get());
        view.setConfirm([](const QString&) { return true; });
        fill(view, QStringLiteral("fast"), QStringLiteral("192.0.2.1"));
        QVERIFY2(saveAndWait(view), qPrintable(view.statusLabel()->text()));
        QVERIFY(readFile(home.ssh(QStringLiteral("config"))).startsWith("# Added by quillmar"));
        QVERIFY(!QFile::exists(started) && !QFile::exists(marker));

        const QString hung = home.ssh(QStringLiteral("hung-ssh"));
        writeFile(hung, "#!/bin/sh\nexec sleep 3600\n");
        QFile::setPermissions(hung, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        view.setSSHExecutable(hung.toStdString());
        fill(view, QStringLiteral("slow"), QStringLiteral("192.0.2.2"));
        const QByteArray own = readFile(home.ssh(QStringLiteral("quillmar_config")));
        QSignalSpy finished(&view, &AddHostView::saveFinished);
        QVERIFY(view.save());
        QVERIFY(finished.isEmpty());  // back before the check ended
        QVERIFY(!view.saveButton()->isEnabled());
        bool answered = false;
        QTimer::singleShot(0, &view, [&] { answered = true; });
        QTRY_VERIFY(answered);
        QVERIFY(finished.isEmpty());
        QVERIFY(!view.save());  // one save at a time
        QVERIFY(finished.wait(10000));
        QVERIFY(!finished.front().front().toBool());
        QCOMPARE(
            view.statusLabel()->text(),
            QStringLiteral("ssh took too long to check ~/.ssh/quillmar_config with this change. Nothing was changed."));
        QCOMPARE(readFile(home.ssh(QStringLiteral("quillmar_config"))), own);
        QVERIFY(view.saveButton()->isEnabled());
    }

    // A pane closed while its save waits for another window: the save still
    // ends in the file, and its answer finds no pane.
    void aSaveOutlivesItsPane()
    {
        Home home;
        writeFile(home.ssh(QStringLiteral("config")), "Include quillmar_config\n");
        home.start();
        auto view = std::make_unique<AddHostView>(*home.workspace, *home.hosts, home.keys.get());
        fill(*view, QStringLiteral("late"), QStringLiteral("192.0.2.3"));
        auto held = platform::WriterLock::acquire(home.ssh(QStringLiteral("quillmar_config")).toStdString());
        QVERIFY(held);
        QVERIFY(view->save());
        view.reset();
        held.reset();
        QVERIFY(BackgroundSave::waitForAll(std::chrono::seconds(15)));
        QCoreApplication::sendPostedEvents();
        QVERIFY(readFile(home.ssh(QStringLiteral("quillmar_config"))).contains("Host late\n"));
    }

    // The "Saved" note and its Open button go with the host they name, and
    // only with it.
    void savedNoteGoesWithItsHost()
    {
        Home home;
        writeFile(home.ssh(QStringLiteral("config")), "Include quillmar_config\n");
        writeFile(home.ssh(QStringLiteral("quillmar_config")), "Host kept\n    HostName 10.0.0.2\n");
        home.start();
        AddHostView view(*home.workspace, *home.hosts, home.keys.get());
        fill(view, QStringLiteral("web"), QStringLiteral("192.0.2.7"));
        QVERIFY(saveAndWait(view));
        QVERIFY(!view.openButton()->isHidden());
        const QString note = view.statusLabel()->text();
        QVERIFY(note.startsWith(QStringLiteral("Saved web")));
        // Another host removed: the note stays.
        writeFile(home.ssh(QStringLiteral("quillmar_config")), "Host web\n    HostName 192.0.2.7\n");
        home.hosts->tick();
        QCOMPARE(view.statusLabel()->text(), note);
        QVERIFY(!view.openButton()->isHidden());
        // The saved host removed by hand, seen on the store's poll.
        writeFile(home.ssh(QStringLiteral("quillmar_config")), "# empty now\n");
        home.hosts->tick();
        QVERIFY(!home.hosts->aliases().contains(QStringLiteral("web")));
        QVERIFY(view.openButton()->isHidden());
        QVERIFY(view.statusLabel()->text().isEmpty());
        QVERIFY(view.savedAlias().isEmpty());
        // A host of the same name written later brings no stale button back.
        writeFile(home.ssh(QStringLiteral("quillmar_config")), "Host web\n    HostName 192.0.2.8\n");
        home.hosts->tick();
        QVERIFY(view.openButton()->isHidden());
        QVERIFY(view.statusLabel()->text().isEmpty());
    }

    // ssh-copy-id exits 0 when it copied nothing; its tab must not end green.
    void copyIdThatCopiedNothing_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("said");
        QTest::addColumn<bool>("nothing");
        const QString skipped = QStringLiteral(
            "/usr/bin/ssh-copy-id: WARNING: All keys were skipped because they already exist on the remote system.");
        QTest::newRow("skipped") << "ssh-copy-id" << skipped << true;
        QTest::newRow("none added") << "ssh-copy-id"
                                    << "Number of key(s) added: 0" << true;
        QTest::newRow("one added") << "ssh-copy-id"
                                   << "Number of key(s) added: 1" << false;
        QTest::newRow("ten added") << "ssh-copy-id"
                                   << "Number of key(s) added: 10" << false;
        QTest::newRow("other tool") << "ssh-add" << skipped << false;
    }

    void copyIdThatCopiedNothing()
    {
        QFETCH(QString, program);
        QFETCH(QString, said);
        QFETCH(bool, nothing);
        QTemporaryDir dir;
        const QString path = dir.filePath(program);
        QFile script(path);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nprintf '%s\\n' \"$1\"\nexit 0\n");
        script.close();
        QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));
        const SessionTarget target = SessionTarget::tool(program, path, {said});
        QCOMPARE(KeyToolCommands::installedNothing(target, said), nothing);

        ravelgrid::QtScheduler clock;
        auto session = std::make_shared<TerminalSession>(target, 1, clock.nowNs());
        TerminalHost host(session, TerminalScheme{}, ravelgrid::FontSet(QFont()), clock, {});
        host.start();
        QTRY_VERIFY_WITH_TIMEOUT(!session->running(), 10000);
        if (nothing) {
            QCOMPARE(session->exitCode(), std::nullopt);
            QCOMPARE(session->exitDescription(), QStringLiteral("nothing installed"));
        } else {
            QCOMPARE(session->exitCode(), 0);
        }
    }

    void toolCommandLines_data()
    {
        QTest::addColumn<SessionTarget>("target");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        const QString d = QStringLiteral("/h/.ssh");
        QTest::newRow("keygen ed25519") << KeyToolCommands::generate(d, "id_work", KeyType::ed25519, "me@box")
                                        << QString("/usr/bin/ssh-keygen")
                                        << QStringList{"-t", "ed25519", "-f", "/h/.ssh/id_work", "-C", "me@box"};
        QTest::newRow("keygen rsa") << KeyToolCommands::generate(d, "id_rsa", KeyType::rsa4096, "")
                                    << QString("/usr/bin/ssh-keygen")
                                    << QStringList{"-t", "rsa", "-b", "4096", "-f", "/h/.ssh/id_rsa", "-C", ""};
        QTest::newRow("keygen awkward")
            << KeyToolCommands::generate(d, "my key's \"x\"; rm -rf ~", KeyType::ed25519, "it's \"mine\" $(id)")
            << QString("/usr/bin/ssh-keygen")
            << QStringList{"-t", "ed25519", "-f", "/h/.ssh/my key's \"x\"; rm -rf ~", "-C", "it's \"mine\" $(id)"};
        QTest::newRow("copy-id") << KeyToolCommands::install("/h/.ssh/id_work", "web1")
                                 << QString("/usr/bin/ssh-copy-id")
                                 << QStringList{"-f", "-i", "/h/.ssh/id_work.pub", "web1"};
        QTest::newRow("copy-id awkward") << KeyToolCommands::install("/h/.ssh/my \"key\"", "web1")
                                         << QString("/usr/bin/ssh-copy-id")
                                         << QStringList{"-f", "-i", "/h/.ssh/my \"key\".pub", "web1"};
        QTest::newRow("add") << KeyToolCommands::load("/h/.ssh/id_work") << QString("/usr/bin/ssh-add")
                             << QStringList{"/h/.ssh/id_work"};
        QTest::newRow("add awkward") << KeyToolCommands::load("/h/.ssh/it's a key") << QString("/usr/bin/ssh-add")
                                     << QStringList{"/h/.ssh/it's a key"};
    }

    void toolCommandLines()
    {
        QFETCH(SessionTarget, target);
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QCOMPARE(target.kind, SessionTarget::Kind::tool);
        QCOMPARE(target.executable, program);
        QCOMPARE(target.arguments, arguments);
    }

    void keyNamesAreRefusedBeforeAnythingRuns_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("comment");
        QTest::addColumn<QString>("problem");  // empty: accepted
        QTest::newRow("plain") << QString("id_new") << QString("me@box") << QString("");
        QTest::newRow("spaces and quotes") << QString("my \"new\" key") << QString("it's") << QString("");
        QTest::newRow("empty") << QString("") << QString("") << QString("Enter a name for the key.");
        QTest::newRow("slash") << QString("a/b") << QString("") << QString("A key name can't contain \"/\" or \"..\".");
        QTest::newRow("dotdot") << QString("..") << QString("") << QString("A key name can't contain \"/\" or \"..\".");
        QTest::newRow("up") << QString("../id") << QString("") << QString("A key name can't contain \"/\" or \"..\".");
        QTest::newRow("option") << QString("-f") << QString("")
                                << QString("A key name can't begin with \"-\" or \".\".");
        QTest::newRow("existing private")
            << QString("id_ed25519") << QString("") << QString("A key with that name already exists.");
        QTest::newRow("existing public only")
            << QString("only_pub") << QString("") << QString("A key with that name already exists.");
        QTest::newRow("dangling link") << QString("dangling") << QString("")
                                       << QString("A key with that name already exists.");
        QTest::newRow("control in name") << QString("a\nb") << QString("")
                                         << QString("A key name can't contain control characters.");
        QTest::newRow("control in comment")
            << QString("ok") << QString("a\nb") << QString("A comment can't contain control characters.");
        // ssh-keygen would write over a file that ssh or quillmar reads.
        for (const char* name : {"config", "quillmar_config", "authorized_keys", "authorized_keys2", "known_hosts",
                                 "known_hosts2", "known_hosts.old", "rc", "environment", "quillmar-backups"})
            QTest::newRow(name) << QString(name) << QString("")
                                << QString("A key name can't be that of a file ssh or quillmar reads.");
        for (const char* name : {"id_work.pub", "id_work-cert.pub"})
            QTest::newRow(name) << QString(name) << QString("") << QString("A key name can't end in \".pub\".");
        for (const char* name : {"a*", "a?", "~x", "a=b"})
            QTest::newRow(name) << QString(name) << QString("")
                                << QString("A key name can't contain \"*\", \"?\", \"~\" or \"=\".");
        const QString included("A key name can't be that of a file your SSH config includes.");
        QTest::newRow("included file") << QString("team") << QString("") << included;
        QTest::newRow("included, not there yet") << QString("later") << QString("") << included;
        QTest::newRow("matched by an Include pattern") << QString("work.inc") << QString("") << included;
    }

    void keyNamesAreRefusedBeforeAnythingRuns()
    {
        QFETCH(QString, name);
        QFETCH(QString, comment);
        QFETCH(QString, problem);
        Home home;
        keygen(home.ssh(QStringLiteral("id_ed25519")), QStringLiteral("old"));
        writeFile(home.ssh(QStringLiteral("only_pub.pub")), "ssh-ed25519 AAAA x\n", 0644);
        QVERIFY(QFile::link(home.ssh(QStringLiteral("gone")), home.ssh(QStringLiteral("dangling"))));
        writeFile(home.ssh(QStringLiteral("config")), "Include team later *.inc\n");
        writeFile(home.ssh(QStringLiteral("team")), "# shared settings\n");
        home.start();
        KeysView view(*home.keys, *home.workspace, *home.hosts);
        const auto before = home.snapshot();
        const auto refused = view.generateKey(name, KeyType::ed25519, comment);
        if (problem.isEmpty()) {
            QVERIFY(!refused);
            QCOMPARE(home.workspace->sessions().size(), std::size_t(1));
            QCOMPARE(home.lastTarget(),
                     KeyToolCommands::generate(home.ssh({}).chopped(1), name, KeyType::ed25519, comment));
        } else {
            QCOMPARE(refused.value_or(QString()), problem);
            QCOMPARE(view.statusLabel()->text(), problem);
            QVERIFY(home.workspace->sessions().empty());
        }
        QCOMPARE(home.snapshot(), before);

        // The sheet refuses the same names.
        GenerateKeySheet sheet(home.ssh({}).chopped(1));
        sheet.nameField()->setText(name);
        sheet.commentField()->setText(comment);
        QCOMPARE(sheet.generateButton()->isEnabled(), problem.isEmpty());
        QCOMPARE(sheet.messageLabel()->text(), problem);
        QCOMPARE(sheet.command().has_value(), problem.isEmpty());
    }

    // The list shows what is known of each key and warns of a private key
    // others can read; the per-key actions run the tools with the exact lines.
    void theListAndItsActions()
    {
        Home home;
        keygen(home.ssh(QStringLiteral("id_ed25519")), QStringLiteral("me@box"));
        keygen(home.ssh(QStringLiteral("open key")), QStringLiteral("loose"));
        ::chmod(home.ssh(QStringLiteral("open key")).toLocal8Bit().constData(), 0644);
        writeFile(home.ssh(QStringLiteral("config")),
                  "Host -oProxyCommand=touch\n    HostName 127.0.0.2\n\n"
                  "Host web1\n    HostName 127.0.0.1\n    IdentityFile \"~/.ssh/open key\"\n");
        home.start();
        KeysView view(*home.keys, *home.workspace, *home.hosts);
        QTreeWidget* list = view.list();
        QCOMPARE(list->topLevelItemCount(), 2);
        QTreeWidgetItem* good = list->findItems(QStringLiteral("id_ed25519"), Qt::MatchExactly).value(0);
        QTreeWidgetItem* loose = list->findItems(QStringLiteral("open key"), Qt::MatchExactly).value(0);
        QVERIFY(good && loose);
        QCOMPARE(good->text(KeysView::typeColumn), QStringLiteral("ED25519"));
        QVERIFY(good->text(KeysView::fingerprintColumn).startsWith(QStringLiteral("SHA256:")));
        QCOMPARE(good->text(KeysView::commentColumn), QStringLiteral("me@box"));
        QCOMPARE(good->text(KeysView::permissionsColumn), QStringLiteral("600"));
        QVERIFY(loose->text(KeysView::permissionsColumn).contains(QStringLiteral("others can read")));
        QVERIFY(loose->text(KeysView::hostsColumn).contains(QStringLiteral("web1")));
        QVERIFY(!view.agentLabel()->text().isEmpty());

        // Nothing selected: the actions wait.
        view.installOnHost();
        view.loadIntoAgent();
        QVERIFY(home.workspace->sessions().empty());

        view.selectKey(QStringLiteral("open key"));
        QStringList offered;
        view.setChooseHost([&](const QString&, const QStringList& aliases) {
            offered = aliases;
            return aliases.value(0);
        });
        view.installOnHost();
        QCOMPARE(home.lastTarget(), KeyToolCommands::install(home.ssh(QStringLiteral("open key")), "web1"));
        // An alias ssh-copy-id would read as an option is never offered.
        QCOMPARE(offered, QStringList{QStringLiteral("web1")});
        QCOMPARE(home.lastTarget().arguments,
                 (QStringList{"-f", "-i", home.ssh(QStringLiteral("open key.pub")), "web1"}));
        view.loadIntoAgent();
        QCOMPARE(home.lastTarget().executable, QStringLiteral("/usr/bin/ssh-add"));
        QCOMPARE(home.lastTarget().arguments, QStringList{home.ssh(QStringLiteral("open key"))});

        QUrl shown;
        view.setOpenUrl([&](const QUrl& u) { shown = u; });
        view.showInFileManager();
        QCOMPARE(shown, QUrl::fromLocalFile(home.ssh({}).chopped(1)));

        view.copyPublicLine();
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 QString::fromUtf8(readFile(home.ssh(QStringLiteral("open key.pub")))).trimmed());

        // A cancelled choice runs nothing.
        const auto count = home.workspace->sessions().size();
        view.setChooseHost([](const QString&, const QStringList&) { return std::nullopt; });
        view.installOnHost();
        QCOMPARE(home.workspace->sessions().size(), count);
    }

    // "Use with host…" shows the diff, backs up and writes; a no or a file
    // that changed meanwhile leaves every file as it was.
    void useWithHostSetsTheIdentityFile()
    {
        Home home;
        keygen(home.ssh(QStringLiteral("id_ed25519")), QStringLiteral("me@box"));
        const QByteArray config = "Host web1\n    HostName 127.0.0.1\n    User deploy\n";
        writeFile(home.ssh(QStringLiteral("config")), config);
        home.start();
        KeysView view(*home.keys, *home.workspace, *home.hosts);
        view.selectKey(QStringLiteral("id_ed25519"));
        view.setChooseHost([](const QString&, const QStringList&) { return QStringLiteral("web1"); });
        QString diff;
        bool answer = false;
        view.setConfirm([&](const QString&, const QString& text) {
            diff = text;
            return answer;
        });

        const auto before = home.snapshot();
        useAndWait(view);
        QVERIFY2(diff.contains(QStringLiteral("+ ")) && diff.contains(QStringLiteral("IdentityFile")),
                 qPrintable(diff));
        QCOMPARE(view.statusLabel()->text(), QStringLiteral("Nothing was changed."));
        QCOMPARE(home.snapshot(), before);

        // The file changes while the preview is up: nothing is written.
        answer = true;
        view.setConfirm([&](const QString&, const QString&) {
            writeFile(home.ssh(QStringLiteral("config")), config + "    Port 2200\n");
            return true;
        });
        useAndWait(view);
        QVERIFY2(view.statusLabel()->text().contains(QStringLiteral("Nothing was changed")),
                 qPrintable(view.statusLabel()->text()));
        QCOMPARE(readFile(home.ssh(QStringLiteral("config"))), config + "    Port 2200\n");
        QVERIFY(backups(home.dir.path()).isEmpty());

        // Another window holds the file: the write waits on a worker while
        // the window answers, and the button stays off meanwhile.
        view.setConfirm([](const QString&, const QString&) { return true; });
        auto held = platform::WriterLock::acquire(home.ssh(QStringLiteral("config")).toStdString());
        QVERIFY(held);
        QSignalSpy finished(&view, &KeysView::useFinished);
        view.useWithHost();
        QVERIFY(view.saving());
        QVERIFY(!view.findChild<QPushButton*>(QStringLiteral("useWithHost"))->isEnabled());
        bool answered = false;
        QTimer::singleShot(0, &view, [&] { answered = true; });
        QTRY_VERIFY_WITH_TIMEOUT(answered, 1000);
        QVERIFY(finished.isEmpty());
        held.reset();
        QVERIFY(finished.wait(15000));
        QVERIFY(finished.front().front().toBool());
        QVERIFY(view.findChild<QPushButton*>(QStringLiteral("useWithHost"))->isEnabled());
        QCOMPARE(backups(home.dir.path()).size(), 1);
        QCOMPARE(readFile(home.ssh(QStringLiteral("quillmar-backups/")) + backups(home.dir.path())[0]),
                 config + "    Port 2200\n");
        const QByteArray g = sshG(home.ssh(QStringLiteral("config")), QStringLiteral("web1"));
        QVERIFY(readFile(home.ssh(QStringLiteral("config"))).contains("IdentityFile ~/.ssh/id_ed25519\n"));
        QVERIFY2(g.contains("identityfile ~/.ssh/id_ed25519\n"), g.constData());
        QVERIFY(g.contains("port 2200\n"));

        // Asked again: already set, nothing written.
        const auto after = home.snapshot();
        useAndWait(view);
        QVERIFY(view.statusLabel()->text().contains(QStringLiteral("already uses")));
        QCOMPARE(home.snapshot(), after);
    }

    // The chooser and the question show host names as the sidebar does (a
    // direction override and a no-break space spelt out) and still act on
    // the host itself; Return alone at the question changes nothing.
    void useWithHostShowsNamesSpeltOutAndNoIsTheDefault()
    {
        Home home;
        keygen(home.ssh(QStringLiteral("id_ed25519")), QStringLiteral("me@box"));
        const QByteArray config = "Host zz\xE2\x80\xAEgnp.exe\n    HostName 127.0.0.1\n\n"
                                  "Host web\xC2\xA0prod\n    HostName 127.0.0.2\n";
        writeFile(home.ssh(QStringLiteral("config")), config);
        home.start();
        KeysView view(*home.keys, *home.workspace, *home.hosts);
        view.show();
        view.selectKey(QStringLiteral("id_ed25519"));
        const QString spelt = QStringLiteral("zz<U+202E>gnp.exe");
        QStringList offered;
        QString title;
        bool noByDefault = false;
        onEachModal(&view, [&](QWidget* modal) {
            if (auto* chooser = qobject_cast<QInputDialog*>(modal)) {
                offered = chooser->comboBoxItems();
                chooser->setTextValue(spelt);
                chooser->accept();
                return false;
            }
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (!box)
                return false;
            title = box->windowTitle();
            noByDefault = box->defaultButton() == box->button(QMessageBox::No);
            QTest::keyClick(box, Qt::Key_Return);
            return true;
        });
        useAndWait(view);
        QCOMPARE(offered, (QStringList{QStringLiteral("web<U+00A0>prod"), spelt}));
        QCOMPARE(title, QStringLiteral("Use id_ed25519 with ") + spelt);
        QVERIFY(noByDefault);
        QCOMPARE(view.statusLabel()->text(), QStringLiteral("Nothing was changed."));
        QCOMPARE(readFile(home.ssh(QStringLiteral("config"))), config);
    }

    // A key file's name reads alike in the sidebar's row, the pane and the
    // tools' titles, hidden characters spelt out; the tools get the file.
    void keyNamesAreSpeltOut_data() { hiddenCharacterRows(); }
    void keyNamesAreSpeltOut()
    {
        QFETCH(QString, hidden);
        QFETCH(QString, spelt);
        Home home;
        const QString name = QStringLiteral("key") + hidden + QStringLiteral("bup.txt");
        keygen(home.ssh(name), QStringLiteral("me"));
        writeFile(home.ssh(QStringLiteral("config")), "Host web1\n    HostName 127.0.0.1\n");
        home.start();
        KeysView view(*home.keys, *home.workspace, *home.hosts);
        const QString shown = QStringLiteral("key") + spelt + QStringLiteral("bup.txt");
        QCOMPARE(KeyListModel::of(*home.keys)->index(0).data().toString(), shown);
        QCOMPARE(view.list()->topLevelItem(0)->text(KeysView::nameColumn), shown);
        QVERIFY(!view.list()->topLevelItem(0)->toolTip(KeysView::nameColumn).contains(hidden));

        view.selectKey(name);
        QStringList asked;
        view.setChooseHost([&](const QString& title, const QStringList& aliases) {
            asked << title;
            return aliases.value(0);
        });
        view.setConfirm([&](const QString& title, const QString&) {
            asked << title;
            return false;
        });
        view.installOnHost();
        QCOMPARE(home.lastTarget(), KeyToolCommands::install(home.ssh(name), QStringLiteral("web1")));
        view.useWithHost();
        view.copyPublicLine();
        asked << view.statusLabel()->text();
        QCOMPARE(asked.size(), 4);
        QCOMPARE(asked[0], QStringLiteral("Install %1 on host").arg(shown));
        QCOMPARE(asked[1], QStringLiteral("Use %1 with host").arg(shown));
        QCOMPARE(asked[2], QStringLiteral("Use %1 with web1").arg(shown));
        QCOMPARE(asked[3], QStringLiteral("Copied the public key of %1.").arg(shown));
    }

    // What a key's files say reads spelt out in the Keys pane's columns and
    // in Add host's list of key files; choosing a file there gives the field,
    // and so the saved IdentityFile line, the path itself.
    void keyFileTextsAreSpeltOut_data() { hiddenCharacterRows(); }
    void keyFileTextsAreSpeltOut()
    {
        QFETCH(QString, hidden);
        QFETCH(QString, spelt);
        Home home;
        const QString name = QStringLiteral("work_") + hidden + QStringLiteral("yek_yolped");
        keygen(home.ssh(name), QStringLiteral("me@") + hidden + QStringLiteral("moc.elpmaxe"));
        // A type ssh does not know is named by the file's own word.
        writeFile(home.ssh(QStringLiteral("odd.pub")),
                  (QStringLiteral("x-") + hidden + QStringLiteral("y AAAA c\n")).toUtf8());
        home.start();
        KeysView keys(*home.keys, *home.workspace, *home.hosts);
        keys.selectKey(name);
        QVERIFY(keys.list()->currentItem());
        QCOMPARE(keys.list()->currentItem()->text(KeysView::commentColumn),
                 QStringLiteral("me@") + spelt + QStringLiteral("moc.elpmaxe"));
        keys.selectKey(QStringLiteral("odd"));
        QVERIFY(keys.list()->currentItem());
        QCOMPARE(keys.list()->currentItem()->text(KeysView::typeColumn),
                 QStringLiteral("x-") + spelt + QStringLiteral("y"));

        AddHostView add(*home.workspace, *home.hosts, home.keys.get());
        add.setConfirm([](const QString&) { return true; });
        QComboBox* box = add.keyFileBox();
        QCOMPARE(box->count(), 1);
        const QString path = QStringLiteral("~/.ssh/") + name;
        QCOMPARE(box->model()->index(0, 0).data().toString(),
                 QStringLiteral("~/.ssh/work_") + spelt + QStringLiteral("yek_yolped"));
        QCOMPARE(box->itemData(0).toString(), path);
        QVERIFY(box->currentText().isEmpty());
        box->setCurrentIndex(0);
        QCOMPARE(box->currentText(), path);
        // Typing the start completes to the path, not to the text shown.
        box->completer()->setCompletionPrefix(QStringLiteral("~/.ssh/wo"));
        QCOMPARE(box->completer()->currentCompletion(), path);
        fill(add, QStringLiteral("work"), QStringLiteral("192.0.2.1"), {}, {}, box->currentText());
        QVERIFY(saveAndWait(add));
        const QString written = QString::fromUtf8(readFile(home.ssh(QStringLiteral("quillmar_config"))));
        QVERIFY2(written.contains(QStringLiteral("IdentityFile ") + path) ||
                     written.contains(QStringLiteral("IdentityFile \"") + path + QLatin1Char('"')),
                 qPrintable(written));
        QVERIFY(!written.contains(QStringLiteral("<U+")));
    }
};

QTEST_MAIN(KeysTests)
#include "KeysTests.moc"
