#include "quillmar/app/UserSettings.h"
#include "quillmar/app/sheets/RemoveHostSheet.h"
#include "quillmar/app/shell/MainWindow.h"
#include "quillmar/app/shell/Workspace.h"
#include "quillmar/app/sidebar/Sidebar.h"
#include "quillmar/app/sidebar/SidebarSection.h"
#include "quillmar/app/style/BrandMark.h"
#include "quillmar/app/style/LucideIcon.h"
#include "quillmar/app/style/Metro.h"
#include "quillmar/app/tests/AppTestSupport.h"

#include "platform/WriterLock.h"
#include "ravelgrid/view/QtDeliveryQueue.h"
#include "ravelgrid/view/QtScheduler.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtTest>

#include <sys/stat.h>

#include <memory>

using namespace quillmar;
using namespace quillmar::apptests;

namespace {

// One temporary home with its SSH files, settings and the sidebar's models.
struct Home {
    QTemporaryDir dir;
    std::unique_ptr<UserSettings> settings;
    std::unique_ptr<SSHHostStore> hosts;
    std::unique_ptr<SSHKeyStore> keys;
    std::unique_ptr<Workspace> workspace;
    std::unique_ptr<Sidebar> sidebar;

    QString path(const QString& rel) const { return dir.filePath(rel); }
    QString ssh(const QString& rel) const { return dir.filePath(QStringLiteral(".ssh/") + rel); }

    void start(std::optional<std::string> agentSocket = std::nullopt)
    {
        settings = std::make_unique<UserSettings>(path(QStringLiteral("quillmar.conf")));
        settings->setHostsExpanded(true);
        hosts = std::make_unique<SSHHostStore>(SSHPaths(dir.path().toStdString()));
        KeyStoreSettings ks;
        ks.home = dir.path().toStdString();
        ks.userName = "tester";
        ks.authSocket = agentSocket.value_or(path(QStringLiteral("no-agent.sock")).toStdString());
        keys = std::make_unique<SSHKeyStore>(ks);
        workspace = std::make_unique<Workspace>(ravelgrid::QtScheduler::system());
        sidebar = std::make_unique<Sidebar>(*hosts, *keys, *workspace, *settings);
        sidebar->resize(230, 700);
        sidebar->show();
        QVERIFY(QTest::qWaitForWindowExposed(sidebar.get()));
    }

    QPoint rowCentre(QListView* view, int row) const { return view->visualRect(view->model()->index(row, 0)).center(); }
};

// Removes as the button does and waits for the worker's answer.
bool removeAndWait(RemoveHostSheet* sheet)
{
    QSignalSpy finished(sheet, &RemoveHostSheet::removalFinished);
    sheet->remove();
    if (!sheet->removing() || !finished.wait(15000))
        return false;
    return finished.front().front().toBool();
}

}  // namespace

class SidebarTests : public QObject {
    Q_OBJECT

    apptests::WindowTestEnvironment environment_;
    QTemporaryDir& home_ = environment_.home;

private slots:
    void initTestCase()
    {
        QVERIFY(environment_.start());
        writeFile(home_.filePath(QStringLiteral(".ssh/config")), "Host web1\n  HostName 127.0.0.1\n");
    }

    // In the window: the column is there, its rows follow the real shell and
    // its buttons reach the detail area.
    void theWindowCarriesTheSidebar()
    {
        QTemporaryDir config;
        UserSettings settings(config.filePath(QStringLiteral("quillmar.conf")));
        MainWindow window(settings);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        Sidebar* sidebar = window.sidebar();
        QVERIFY(sidebar && sidebar->isVisible());
        QCOMPARE(window.sidebarColumn()->width(), MainWindow::sidebarWidth);
        QCOMPARE(sidebar->listedHosts(), QStringList{QStringLiteral("web1")});
        auto* local = sidebar->localList()->model();
        QTRY_VERIFY(local->index(0, 0).data(SessionRowModel::runningRole).toBool());

        QTest::mouseClick(sidebar->addHostButton(), Qt::LeftButton);
        QVERIFY(window.toolPane(ToolTab::addHost));
        QCOMPARE(window.detailStack()->currentWidget(), window.toolPane(ToolTab::addHost));

        // A click on the Local row brings the shell back; nothing new opens.
        QListView* list = sidebar->localList();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(local->index(0, 0)).center());
        QCOMPARE(window.workspace().sessions().size(), std::size_t(1));
        QCOMPARE(window.detailStack()->currentWidget(), window.activeHost());
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(local->index(0, 0)).center());
        QCOMPARE(window.workspace().sessions().size(), std::size_t(2));
        QTRY_VERIFY(window.activeHost() && window.activeHost()->view()->process().running());
    }

    void filterTrimsSpacesAndTabsAndIgnoresCase_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QStringList>("listed");
        const QStringList all = {QStringLiteral("db"), QStringLiteral("MyWeb"), QStringLiteral("web1"),
                                 QStringLiteral("webby-prod")};
        QTest::newRow("spaces around WEB") << " WEB " << QStringList{"MyWeb", "web1", "webby-prod"};
        QTest::newRow("tabs") << "\tweb1\t" << QStringList{"web1"};
        QTest::newRow("spaces only") << "   " << all;
        QTest::newRow("empty") << "" << all;
        QTest::newRow("inner space is kept") << "my web" << QStringList{};
        QTest::newRow("line break is not trimmed") << "db\n" << QStringList{};
        QTest::newRow("no match") << "zzz" << QStringList{};
        QTest::newRow("substring anywhere") << "BY-P" << QStringList{"webby-prod"};
    }
    void filterTrimsSpacesAndTabsAndIgnoresCase()
    {
        QFETCH(QString, filter);
        QFETCH(QStringList, listed);
        Home h;
        writeFile(h.ssh("config"), "Host web1\n  HostName a\nHost db webby-prod\nHost MyWeb\n");
        h.start();
        h.sidebar->filterField()->setText(filter);
        QCOMPARE(h.sidebar->listedHosts(), listed);
        // Nothing else reacts to the filter, and a miss shows no message.
        QVERIFY(h.sidebar->hostsEmptyText()->isHidden());
        QCOMPARE(h.sidebar->localList()->model()->rowCount(), 1);
        QCOMPARE(filteredHosts({"a", "B"}, filter).isEmpty(), filteredHosts({"a", "B"}, filter.trimmed()).isEmpty());
    }

    void emptyTextsAndFollowingTheConfig()
    {
        Home h;
        h.start();
        QCOMPARE(h.sidebar->hostsEmptyText()->text(), QStringLiteral("No ~/.ssh/config found."));
        QVERIFY(h.sidebar->hostsEmptyText()->isVisible());
        QVERIFY(h.sidebar->hostList()->isHidden());
        QCOMPARE(h.sidebar->keysEmptyText()->text(), QStringLiteral("No keys found in ~/.ssh."));
        QVERIFY(h.sidebar->keysEmptyText()->isVisible());

        writeFile(h.ssh("config"), "# nothing yet\nMatch all\n  User x\n");
        h.hosts->tick();
        QCOMPARE(h.sidebar->hostsEmptyText()->text(), QStringLiteral("No SSH hosts found in ~/.ssh/config."));
        QVERIFY(h.sidebar->hostsEmptyText()->isVisible());

        // A host in an included file appears with the next poll; an alias
        // ssh would read as an option is never offered.
        writeFile(h.ssh("config"), "Include extra.conf\nHost -oProxyCommand=evil\n");
        writeFile(h.ssh("extra.conf"), "Host inc1\n");
        h.hosts->tick();
        QCOMPARE(h.sidebar->listedHosts(), QStringList{QStringLiteral("inc1")});
        QVERIFY(h.sidebar->hostsEmptyText()->isHidden());
        QVERIFY(h.sidebar->hostList()->isVisible());
        QVERIFY(!isListableAlias(QStringLiteral("-oProxyCommand=evil")));

        // Neither empty text can be selected.
        writeFile(h.ssh("config"), "");
        h.hosts->tick();
        QTest::mouseClick(h.sidebar->hostsEmptyText(), Qt::LeftButton);
        QCOMPARE(h.sidebar->selectedItem(), std::nullopt);
    }

    void keyDots_data()
    {
        QTest::addColumn<bool>("hasPrivate");
        QTest::addColumn<bool>("hasPublic");
        QTest::addColumn<int>("perms");  // -1: not read
        QTest::addColumn<bool>("loaded");
        QTest::addColumn<int>("dot");
        QTest::newRow("0600 idle") << true << true << 0600 << false << int(KeyDot::idle);
        QTest::newRow("0600 loaded") << true << true << 0600 << true << int(KeyDot::loaded);
        QTest::newRow("0644 loaded") << true << true << 0644 << true << int(KeyDot::danger);
        QTest::newRow("0640") << true << false << 0640 << false << int(KeyDot::danger);
        QTest::newRow("0604") << true << true << 0604 << false << int(KeyDot::danger);
        QTest::newRow("0700 owner only") << true << true << 0700 << false << int(KeyDot::idle);
        QTest::newRow("perms unread") << true << true << -1 << true << int(KeyDot::loaded);
        QTest::newRow("public only, loaded") << false << true << -1 << true << int(KeyDot::loaded);
        QTest::newRow("no files") << false << false << -1 << true << int(KeyDot::danger);
    }
    void keyDots()
    {
        QFETCH(bool, hasPrivate);
        QFETCH(bool, hasPublic);
        QFETCH(int, perms);
        QFETCH(bool, loaded);
        QFETCH(int, dot);
        SSHKeyInfo key;
        key.hasPrivate = hasPrivate;
        key.hasPublic = hasPublic;
        if (perms >= 0)
            key.privatePerms = perms;
        key.loaded = loaded;
        QCOMPARE(int(keyDot(key)), dot);
    }

    // A real agent holds the key; opening the private file to others still shows danger.
    void looseKeyIsDangerEvenWhenLoaded()
    {
        Home h;
        QVERIFY(h.dir.isValid());
        QDir().mkpath(h.ssh(""));
        QProcess gen;
        gen.start(QStringLiteral("/usr/bin/ssh-keygen"),
                  {"-q", "-t", "ed25519", "-N", "", "-C", "t", "-f", h.ssh("id_ed25519")});
        QVERIFY(gen.waitForFinished(20000) && gen.exitCode() == 0);
        gen.start(QStringLiteral("/usr/bin/ssh-keygen"),
                  {"-q", "-t", "ed25519", "-N", "", "-C", "t", "-f", h.ssh("id_tidy")});
        QVERIFY(gen.waitForFinished(20000) && gen.exitCode() == 0);
        const QString sock = h.path(QStringLiteral("agent.sock"));
        QProcess agent;
        agent.start(QStringLiteral("/usr/bin/ssh-agent"), {"-D", "-a", sock});
        QVERIFY(agent.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(sock), 5000);
        QProcess add;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("SSH_AUTH_SOCK"), sock);
        add.setProcessEnvironment(env);
        add.start(QStringLiteral("/usr/bin/ssh-add"), {h.ssh("id_ed25519"), h.ssh("id_tidy")});
        QVERIFY(add.waitForFinished(10000) && add.exitCode() == 0);
        ::chmod(h.ssh("id_ed25519").toLocal8Bit().constData(), 0644);

        h.start(sock.toStdString());
        h.keys->reload();
        auto* model = h.sidebar->keyList()->model();
        QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), 2, 5000);
        auto dotOf = [&](const QString& name) {
            for (int r = 0; r < model->rowCount(); ++r) {
                if (model->index(r, 0).data().toString() == name)
                    return model->index(r, 0).data(Qt::DecorationRole).value<QColor>();
            }
            return QColor();
        };
        QTRY_COMPARE_WITH_TIMEOUT(dotOf(QStringLiteral("id_tidy")), Metro::success(), 8000);
        QCOMPARE(dotOf(QStringLiteral("id_ed25519")), Metro::danger());
        QVERIFY(h.sidebar->keysEmptyText()->isHidden());
        agent.terminate();
        agent.waitForFinished(5000);
    }

    void clickBringsToFrontDoubleClickAndReturnOpen()
    {
        Home h;
        writeFile(h.ssh("config"), "Host web1\nHost db\n");
        h.start();
        Workspace& ws = *h.workspace;
        auto older = ws.open(SessionTarget::ssh(QStringLiteral("web1")));
        auto newer = ws.open(SessionTarget::ssh(QStringLiteral("web1")));
        auto local = ws.open(SessionTarget::local());
        ws.activate(older->id);
        ws.activate(local->id);  // web1's latest is now `older`
        QListView* list = h.sidebar->hostList();

        // A single click on a host with sessions: its latest comes to the front, nothing opens.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, h.rowCentre(list, 1));
        QCOMPARE(h.sidebar->selectedItem(), std::optional(SidebarItem::host(QStringLiteral("web1"))));
        QCOMPARE(ws.activeID(), std::optional(older->id));
        QCOMPARE(ws.sessions().size(), std::size_t(3));

        // Clicking the selected row again activates nothing.
        ws.activate(newer->id);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, h.rowCentre(list, 1));
        QCOMPARE(ws.activeID(), std::optional(newer->id));

        // A host without sessions: only the highlight moves.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, h.rowCentre(list, 0));
        QCOMPARE(h.sidebar->selectedItem(), std::optional(SidebarItem::host(QStringLiteral("db"))));
        QCOMPARE(ws.activeID(), std::optional(newer->id));
        QCOMPARE(ws.sessions().size(), std::size_t(3));

        // Double-clicking opens a new tab every time, running ssh with the alias.
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, h.rowCentre(list, 0));
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, h.rowCentre(list, 0));
        QCOMPARE(ws.sessions().size(), std::size_t(5));
        QCOMPARE(ws.sessions()[3]->target, SessionTarget::ssh(QStringLiteral("db")));
        QCOMPARE(ws.sessions()[4]->ordinal, 2);
        QCOMPARE(ws.activeID(), std::optional(ws.sessions()[4]->id));

        // Return in the list opens the selected row too.
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Return);
        QCOMPARE(ws.sessions().size(), std::size_t(6));
        QCOMPARE(ws.sessions()[5]->target, SessionTarget::ssh(QStringLiteral("db")));

        // One selection across the lists: the Local row takes it over.
        QListView* localList = h.sidebar->localList();
        QTest::mouseClick(localList->viewport(), Qt::LeftButton, {}, h.rowCentre(localList, 0));
        QCOMPARE(h.sidebar->selectedItem(), std::optional(SidebarItem::local()));
        QVERIFY(list->selectionModel()->selectedRows().isEmpty());
        QCOMPARE(ws.activeID(), std::optional(local->id));
        QTest::mouseDClick(localList->viewport(), Qt::LeftButton, {}, h.rowCentre(localList, 0));
        QCOMPARE(ws.sessions().back()->target, SessionTarget::local());
        QCOMPARE(ws.sessions().size(), std::size_t(7));

        // From the filter with the keyboard: Return there does nothing, Down chooses the
        // first match and Return in the list opens it.
        h.sidebar->filterField()->setFocus();
        QTest::keyClicks(h.sidebar->filterField(), QStringLiteral(" WEB"));
        for (auto modifier : {Qt::NoModifier, Qt::KeypadModifier}) {
            QTest::keyClick(h.sidebar->filterField(), Qt::Key_Return, modifier);
            QTest::keyClick(h.sidebar->filterField(), Qt::Key_Enter, modifier);
        }
        QCOMPARE(h.sidebar->selectedItem(), std::optional(SidebarItem::local()));
        QCOMPARE(QApplication::focusWidget(), h.sidebar->filterField());
        QCOMPARE(h.sidebar->filterField()->text(), QStringLiteral(" WEB"));
        QCOMPARE(ws.sessions().size(), std::size_t(7));
        QTest::keyClick(h.sidebar->filterField(), Qt::Key_Down);
        QCOMPARE(h.sidebar->selectedItem(), std::optional(SidebarItem::host(QStringLiteral("web1"))));
        QCOMPARE(ws.sessions().size(), std::size_t(7));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QCOMPARE(ws.sessions().size(), std::size_t(8));
        QCOMPARE(ws.sessions().back()->target, SessionTarget::ssh(QStringLiteral("web1")));
        QCOMPARE(ws.sessions().back()->ordinal, 3);
    }

    void runningDotsFollowTheSessions()
    {
        Home h;
        writeFile(h.ssh("config"), "Host web1\n");
        h.start();
        auto* hosts = h.sidebar->hostList()->model();
        auto* local = h.sidebar->localList()->model();
        auto running = [](QAbstractItemModel* m) { return m->index(0, 0).data(SessionRowModel::runningRole).toBool(); };
        QVERIFY(!running(hosts));
        auto a = h.workspace->open(SessionTarget::ssh(QStringLiteral("web1")));
        auto b = h.workspace->open(SessionTarget::ssh(QStringLiteral("web1")));
        h.workspace->open(SessionTarget::tool(QStringLiteral("web1"), QStringLiteral("/usr/bin/true"), {}));
        QVERIFY(running(hosts));
        QVERIFY(!running(local));  // tools colour nothing
        a->recordExit(0, QStringLiteral("exited 0"));
        QVERIFY(running(hosts));
        b->recordExit(1, QStringLiteral("exited 1"));
        QVERIFY(!running(hosts));
        QCOMPARE(hosts->index(0, 0).data(Qt::DecorationRole).value<QColor>().alphaF(), 0.4f);
        h.workspace->open(SessionTarget::local());
        QVERIFY(running(local));
        QCOMPARE(local->index(0, 0).data(Qt::DecorationRole).value<QColor>(), Metro::success());
    }

    void contextMenuOnlyOnHosts()
    {
        Home h;
        writeFile(h.ssh("config"), "Host web1\n");
        h.start();
        QCOMPARE(h.sidebar->contextMenuEntries(SidebarItem::host(QStringLiteral("web1"))),
                 QStringList{QStringLiteral("Remove host\u2026")});
        QVERIFY(h.sidebar->contextMenuEntries(SidebarItem::local()).isEmpty());
        QVERIFY(h.sidebar->contextMenuEntries(std::nullopt).isEmpty());

        // A real right-click: the host's menu holds the one entry and opens the sheet.
        auto rightClick = [&](QListView* view) {
            QStringList seen;
            bool popped = false;
            QTimer::singleShot(50, [&] {
                if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                    popped = true;
                    for (QAction* a : menu->actions())
                        seen.push_back(a->text());
                    if (!menu->actions().isEmpty())
                        menu->actions().first()->trigger();
                    menu->close();
                }
            });
            const QPoint at = h.rowCentre(view, 0);
            QContextMenuEvent event(QContextMenuEvent::Mouse, at, view->viewport()->mapToGlobal(at));
            QApplication::sendEvent(view->viewport(), &event);
            QTest::qWait(120);
            return std::make_pair(popped, seen);
        };
        const auto [localPopped, localEntries] = rightClick(h.sidebar->localList());
        QVERIFY(!localPopped);
        QVERIFY(!h.sidebar->removeSheet());
        const auto [hostPopped, hostEntries] = rightClick(h.sidebar->hostList());
        QVERIFY(hostPopped);
        QCOMPARE(hostEntries, QStringList{QStringLiteral("Remove host\u2026")});
        QVERIFY(h.sidebar->removeSheet());
        QCOMPARE(h.sidebar->removeSheet()->alias(), QStringLiteral("web1"));
        // The menu acts on the row clicked, without selecting it.
        QCOMPARE(h.sidebar->selectedItem(), std::nullopt);
        h.sidebar->removeSheet()->reject();
    }

    // The Menu key and Shift+F10 open the highlighted host's menu at its
    // row: never the row under the pointer, which the X server reports.
    void menuKeysActOnTheHighlightedHost()
    {
        Home h;
        writeFile(h.ssh("config"), "Host bastion\nHost db-primary\nHost web\n");
        h.start();
        QListView* list = h.sidebar->hostList();
        // Down from the filter, then Down: db-primary is highlighted.
        h.sidebar->filterField()->setFocus();
        QTest::keyClick(h.sidebar->filterField(), Qt::Key_Down);
        QTest::keyClick(list, Qt::Key_Down);
        QCOMPARE(h.sidebar->selectedItem(), std::optional(SidebarItem::host(QStringLiteral("db-primary"))));
        for (int way = 0; way < 2; ++way) {
            QPoint at;
            QTimer::singleShot(50, [&] {
                if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                    at = menu->pos();
                    menu->actions().first()->trigger();
                    menu->close();
                }
            });
            if (way == 0) {
                const QPoint pointer = h.rowCentre(list, 0);  // over bastion
                QContextMenuEvent event(QContextMenuEvent::Keyboard, pointer, list->viewport()->mapToGlobal(pointer));
                QApplication::sendEvent(list, &event);
            } else {
                QTest::keyClick(list, Qt::Key_F10, Qt::ShiftModifier);
            }
            QTRY_VERIFY(h.sidebar->removeSheet());
            QCOMPARE(h.sidebar->removeSheet()->alias(), QStringLiteral("db-primary"));
            const QRect row = list->visualRect(list->model()->index(1, 0));
            QVERIFY(QRect(list->viewport()->mapToGlobal(row.topLeft()), row.size()).contains(at));
            h.sidebar->removeSheet()->reject();
            QTRY_VERIFY(!h.sidebar->removeSheet());
        }
    }

    // Escape in the filter empties it, and then hands the keyboard back.
    void escapeClearsTheFilterThenLeaves()
    {
        Home h;
        writeFile(h.ssh("config"), "Host web1\nHost db\n");
        h.start();
        QSignalSpy leaving(h.sidebar.get(), &Sidebar::leaveToTerminal);
        QLineEdit* filter = h.sidebar->filterField();
        filter->setFocus();
        QTest::keyClicks(filter, QStringLiteral("web"));
        QCOMPARE(h.sidebar->listedHosts(), QStringList{QStringLiteral("web1")});
        QTest::keyClick(filter, Qt::Key_Escape);
        QCOMPARE(filter->text(), QString());
        QCOMPARE(h.sidebar->listedHosts().size(), 2);
        QCOMPARE(leaving.count(), 0);
        QTest::keyClick(filter, Qt::Key_Escape);
        QCOMPARE(leaving.count(), 1);
    }

    void buttonsOpenTheirPanesWithoutSelecting()
    {
        Home h;
        writeFile(h.ssh("id_x"), "x", 0600);
        writeFile(h.ssh("id_x.pub"),
                  "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIBvWhcZ1aBGUvNvtbb0wZyd4I9dcFN9mWkXYf3AvdFak t\n");
        h.start();
        Workspace& ws = *h.workspace;
        QTest::mouseClick(h.sidebar->addHostButton(), Qt::LeftButton);
        QCOMPARE(ws.activeID(), std::optional(TabID(ToolTab::addHost)));
        QCOMPARE(h.sidebar->addHostButton()->toolTip(), QStringLiteral("Add host"));
        QTest::mouseClick(h.sidebar->keysHeaderButton(), Qt::LeftButton);
        QCOMPARE(ws.activeID(), std::optional(TabID(ToolTab::keys)));
        ws.activate(TabID(ToolTab::addHost));
        QListView* keys = h.sidebar->keyList();
        QCOMPARE(keys->model()->rowCount(), 1);
        QTest::mouseClick(keys->viewport(), Qt::LeftButton, {}, h.rowCentre(keys, 0));
        QCOMPARE(ws.activeID(), std::optional(TabID(ToolTab::keys)));
        QCOMPARE(h.sidebar->selectedItem(), std::nullopt);
        QCOMPARE(ws.openTools().size(), std::size_t(2));

        ws.setSettingsScrollTarget(QStringLiteral("about"));
        QCOMPARE(h.sidebar->settingsButton()->toolTip(), QStringLiteral("Open Settings (Ctrl+,)"));
        QTest::mouseClick(h.sidebar->settingsButton(), Qt::LeftButton);
        QCOMPARE(ws.settingsScrollTarget(), std::nullopt);
        QCOMPARE(ws.activeID(), std::optional(TabID(ToolTab::settings)));
        QCOMPARE(h.sidebar->filterField()->placeholderText(), QStringLiteral("Filter hosts and snippets"));
        QVERIFY(h.sidebar->snippetsSectionSlot() != nullptr);
    }

    void hostsLeftOutAreExplained()
    {
        Home h;
        // One included file over the per-file limit: its host is missing, the rest listed.
        writeFile(h.ssh("config"), "Include big.conf\nHost web1\n");
        writeFile(h.ssh("big.conf"), "Host hidden\n" + QByteArray(1024 * 1024, '#') + "\n");
        h.start();
        QLabel* problems = h.sidebar->hostProblemsText();
        QCOMPARE(h.sidebar->listedHosts(), QStringList({QStringLiteral("web1")}));
        QVERIFY(problems->isVisible());
        QCOMPARE(problems->textFormat(), Qt::PlainText);
        QVERIFY2(problems->text().contains(QStringLiteral("~/.ssh/big.conf is too large to read")),
                 qPrintable(problems->text()));
        QCOMPARE(problems->text(), h.hosts->problems().join(QLatin1Char('\n')));
        // A filter narrows the hosts, never the explanation.
        h.sidebar->filterField()->setText(QStringLiteral("nothing"));
        QVERIFY(problems->isVisible());

        writeFile(h.ssh("big.conf"), "Host hidden\n");
        h.hosts->reload();
        h.sidebar->filterField()->clear();
        QCOMPARE(h.sidebar->listedHosts(), QStringList({QStringLiteral("hidden"), QStringLiteral("web1")}));
        QVERIFY(problems->isHidden());
    }

    void iconsAndHairlineAreDrawn()
    {
        Home h;
        writeFile(h.ssh("config"), "Host web1\n");
        h.start();
        auto inked = [](const QImage& image) {
            int n = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    n += qAlpha(image.pixel(x, y)) > 96 ? 1 : 0;
            return n;
        };
        // Every header icon, at both scales, in the header's colour.
        QStringList seen;
        for (QToolButton* header : h.sidebar->findChildren<QToolButton*>()) {
            // The filter's clear button is the line edit's own.
            if (header->icon().isNull() || h.sidebar->filterField()->isAncestorOf(header))
                continue;
            const int side = header == h.sidebar->addHostButton() ? 13 : 15;
            const QSize box = header->iconSize();
            QCOMPARE(box.height(), side);
            for (qreal scale : {1.0, 2.0}) {
                // Only the square: the rest is the space before the title.
                const QImage image =
                    header->icon().pixmap(box, scale).toImage().copy(QRect(0, 0, side * scale, side * scale));
                QVERIFY2(inked(image) > 8 * scale * scale, qPrintable(header->text()));
            }
            seen.push_back(header->text());
        }
        seen.sort();
        // The nameless one is Add host.
        QCOMPARE(seen, QStringList(
                           {QString(), QStringLiteral("KEYS"), QStringLiteral("LOCAL"), QStringLiteral("SSH HOSTS")}));
        QVERIFY(h.sidebar->addHostButton()->text().isEmpty());
        for (const char* name : {"qm-scroll-text", "qm-settings", "qm-square-terminal", "qm-server", "qm-key-round"})
            QVERIFY2(LucideIcon::known(QLatin1String(name)), name);
        QVERIFY(!LucideIcon::known(QStringLiteral("qm-nothing")));

        // The settings row: the gear, then the shortcut; above it the hairline.
        const QImage shot = h.sidebar->grab().toImage();
        auto* gear = h.sidebar->findChild<LucideIcon*>(QStringLiteral("settingsIcon"));
        QVERIFY(gear && gear->isVisible());
        const QRect gearBox(gear->mapTo(h.sidebar.get(), QPoint(0, 0)), gear->size());
        const QColor background = shot.pixelColor(gearBox.topLeft() - QPoint(4, 0));
        int differing = 0;
        for (int y = gearBox.top(); y <= gearBox.bottom(); ++y)
            for (int x = gearBox.left(); x <= gearBox.right(); ++x)
                differing += shot.pixelColor(x, y) != background ? 1 : 0;
        QVERIFY(differing > 10);
        auto* line = h.sidebar->findChild<QWidget*>(QStringLiteral("hairline"));
        const int lineY = line->mapTo(h.sidebar.get(), QPoint(0, 0)).y();
        QCOMPARE(line->height(), 1);
        QCOMPARE(line->width(), h.sidebar->width());
        for (int x : {0, 100, 229})
            QCOMPARE(shot.pixelColor(x, lineY).rgb(), Metro::line().rgb());
        QCOMPARE(h.sidebar->findChild<QLabel*>(QStringLiteral("settingsShortcut"))->text(), QStringLiteral("Ctrl+,"));
        QVERIFY(h.sidebar->findChild<BrandMark*>(QStringLiteral("brandMark")));
        // The header's mark is the only one: none drawn a second way.
        QCOMPARE(h.sidebar->findChildren<BrandMark*>().size(), qsizetype(1));
    }

    void collapseStateIsPersisted()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("q.conf"));
        SSHHostStore hosts(SSHPaths(dir.path().toStdString()));
        KeyStoreSettings ks;
        ks.home = dir.path().toStdString();
        ks.authSocket = dir.filePath(QStringLiteral("none")).toStdString();
        SSHKeyStore keys(ks);
        Workspace ws(ravelgrid::QtScheduler::system());
        const QStringList names = {"localSection", "hostsSection", "keysSection"};
        auto bodyShown = [](Sidebar& s, const QString& name) {
            return !s.section(name)->findChild<QWidget*>(QStringLiteral("body"))->isHidden();
        };
        {
            UserSettings settings(file);
            Sidebar sidebar(hosts, keys, ws, settings);
            // First launch: Local and Keys open, SSH Hosts folded.
            QVERIFY(bodyShown(sidebar, names[0]));
            QVERIFY(!bodyShown(sidebar, names[1]));
            QVERIFY(bodyShown(sidebar, names[2]));
            for (const QString& name : names)
                QTest::mouseClick(sidebar.section(name)->findChild<QToolButton*>(QStringLiteral("disclosure")),
                                  Qt::LeftButton);
            QVERIFY(!settings.localExpanded());
            QVERIFY(settings.hostsExpanded());
            QVERIFY(!settings.keysExpanded());
            settings.sync();
        }
        const QByteArray stored = readFile(file);
        QVERIFY2(stored.contains("sidebar.hostsExpanded=true") || stored.contains("hostsExpanded=true"), stored);
        UserSettings again(file);
        Sidebar sidebar(hosts, keys, ws, again);
        QVERIFY(!bodyShown(sidebar, names[0]));
        QVERIFY(bodyShown(sidebar, names[1]));
        QVERIFY(!bodyShown(sidebar, names[2]));
        // A change made elsewhere (another window) reaches the section.
        again.setKeysExpanded(true);
        QVERIFY(bodyShown(sidebar, names[2]));
    }

    // A section folds its body with the disclosure and keeps the setting in
    // step both ways, without echoes; its title does nothing of itself and a
    // header button sits at the far end.
    void aSectionFoldsWithItsSetting()
    {
        QTemporaryDir dir;
        UserSettings settings(dir.filePath(QStringLiteral("q.conf")));
        QWidget column;
        auto* layout = new QVBoxLayout(&column);
        layout->setContentsMargins(0, 0, 0, 0);
        auto* section = new SidebarSection(QStringLiteral("Snippets"), QStringLiteral("qm-scroll-text"), &column);
        layout->addWidget(section);
        auto* button = new QToolButton(section);
        section->addHeaderButton(button);
        QCOMPARE(section->titleButton()->text(), QStringLiteral("SNIPPETS"));
        QVERIFY(section->body()->isHidden());
        QCOMPARE(section->disclosure()->toolTip(), QStringLiteral("Expand"));

        section->followSetting(settings, &UserSettings::snippetsExpanded, &UserSettings::setSnippetsExpanded,
                               &UserSettings::snippetsExpandedChanged);
        const bool first = settings.snippetsExpanded();
        QCOMPARE(section->body()->isHidden(), !first);
        QSignalSpy changes(&settings, &UserSettings::snippetsExpandedChanged);
        section->titleButton()->click();
        QCOMPARE(settings.snippetsExpanded(), first);
        section->disclosure()->click();
        QCOMPARE(settings.snippetsExpanded(), !first);
        QCOMPARE(section->body()->isHidden(), first);
        QCOMPARE(section->disclosure()->toolTip(), first ? QStringLiteral("Expand") : QStringLiteral("Collapse"));
        settings.setSnippetsExpanded(first);
        QCOMPARE(section->body()->isHidden(), !first);
        QCOMPARE(changes.count(), 2);

        column.resize(230, 200);
        column.show();
        QVERIFY(QTest::qWaitForWindowExposed(&column));
        QVERIFY(button->x() > section->titleButton()->geometry().right());
        QCOMPARE(button->mapTo(section, QPoint(button->width(), 0)).x(), section->width() - 8);
    }

    void sheetRemovesWithBackupAndLeavesTheRestAlone()
    {
        Home h;
        const QByteArray config = "# mine\nHost web1\n  HostName 10.0.0.1\n  User deploy\n\n"
                                  "Host db db-alias\n  HostName 10.0.0.2\n  Port 2222\n\n"
                                  "Host *\n  ServerAliveInterval 30\n";
        writeFile(h.ssh("config"), config);
        h.start();
        const QString cfg = h.ssh("config");
        const QByteArray dbBefore = sshG(cfg, QStringLiteral("db"));
        const QByteArray aliasBefore = sshG(cfg, QStringLiteral("db-alias"));
        QVERIFY(dbBefore.contains("port 2222"));

        h.sidebar->requestRemoval(QStringLiteral("web1"));
        RemoveHostSheet* sheet = h.sidebar->removeSheet();
        QVERIFY(sheet);
        QCOMPARE(sheet->windowModality(), Qt::WindowModal);
        QCOMPARE(h.sidebar->removeTarget()->alias, QStringLiteral("web1"));
        QCOMPARE(sheet->locations().size(), std::size_t(1));
        QCOMPARE(sheet->locationList()->item(0)->text(), QStringLiteral("~/.ssh/config"));
        const QString diff = sheet->diffView()->toPlainText();
        QVERIFY2(diff.contains(QStringLiteral("- Host web1")) && diff.contains(QStringLiteral("-   User deploy")),
                 qPrintable(diff));
        QVERIFY(!diff.contains(QStringLiteral("db")));
        QVERIFY(sheet->removeButton()->isEnabled());

        // Another window holds the file: the sheet waits on a worker, the
        // window answers meanwhile, and Remove can't be pressed twice.
        auto held = platform::WriterLock::acquire(cfg.toStdString());
        QVERIFY(held);
        QSignalSpy finished(sheet, &RemoveHostSheet::removalFinished);
        QTest::mouseClick(sheet->removeButton(), Qt::LeftButton);
        QVERIFY(sheet->removing());
        QVERIFY(!sheet->removeButton()->isEnabled());
        QVERIFY(!sheet->locationList()->isEnabled());
        bool answered = false;
        QTimer::singleShot(0, sheet, [&] { answered = true; });
        QTRY_VERIFY_WITH_TIMEOUT(answered, 1000);
        QVERIFY(finished.isEmpty());
        QCOMPARE(readFile(cfg), config);
        held.reset();
        QVERIFY(finished.wait(15000));
        QVERIFY2(sheet->resultText() &&
                     sheet->resultText()->startsWith(QStringLiteral("Removed web1 from ~/.ssh/config.")),
                 qPrintable(sheet->noteText()));
        QVERIFY2(sheet->noteText().contains(QStringLiteral("Backup: config")), qPrintable(sheet->noteText()));
        QCOMPARE(sheet->closeButton()->text(), QStringLiteral("Done"));
        // The list is read again at once, not at the next poll.
        QCOMPARE(h.sidebar->listedHosts(), (QStringList{"db", "db-alias"}));
        const QStringList backups = QDir(h.ssh("quillmar-backups")).entryList(QDir::Files);
        QCOMPARE(backups.size(), 1);
        QCOMPARE(readFile(h.ssh("quillmar-backups/") + backups.first()), config);
        QVERIFY(!readFile(cfg).contains("web1"));
        QCOMPARE(sshG(cfg, QStringLiteral("db")), dbBefore);
        QCOMPARE(sshG(cfg, QStringLiteral("db-alias")), aliasBefore);

        QTest::mouseClick(sheet->closeButton(), Qt::LeftButton);
        QTRY_VERIFY(!h.sidebar->removeSheet());
        QCOMPARE(h.sidebar->removeTarget(), std::nullopt);

        // Only a name off a shared Host line.
        h.sidebar->requestRemoval(QStringLiteral("db-alias"));
        sheet = h.sidebar->removeSheet();
        QVERIFY(sheet->diffView()->toPlainText().contains(QStringLiteral("+ Host db\n")));
        QVERIFY(removeAndWait(sheet));
        QVERIFY(sheet->resultText()->contains(QStringLiteral("keeps its other names")));
        QCOMPARE(sshG(cfg, QStringLiteral("db")), dbBefore);
        sheet->reject();
    }

    // A host added elsewhere in the file after the preview stays, and the
    // removal goes ahead; lines of the removed host edited meanwhile stop it.
    void sheetKeepsHostsAddedAfterReadingAndRefusesAnEditedHost()
    {
        Home h;
        writeFile(h.ssh("config"), "Host web1\n  User a\nHost db\n");
        h.start();
        h.sidebar->requestRemoval(QStringLiteral("web1"));
        RemoveHostSheet* sheet = h.sidebar->removeSheet();
        QVERIFY(sheet->removeButton()->isEnabled());
        writeFile(h.ssh("config"), "Host web1\n  User a\nHost db\nHost added-meanwhile\n");
        QVERIFY2(removeAndWait(sheet), qPrintable(sheet->noteText()));
        QCOMPARE(readFile(h.ssh("config")), QByteArray("Host db\nHost added-meanwhile\n"));
        QCOMPARE(QDir(h.ssh("quillmar-backups")).entryList(QDir::Files).size(), 1);
        sheet->reject();
        QTRY_VERIFY(!h.sidebar->removeSheet());

        h.sidebar->requestRemoval(QStringLiteral("db"));
        sheet = h.sidebar->removeSheet();
        QVERIFY(sheet->removeButton()->isEnabled());
        const QByteArray edited = "Host db\n  Port 2200\nHost added-meanwhile\n";
        writeFile(h.ssh("config"), edited);
        QVERIFY(!removeAndWait(sheet));
        QVERIFY(!sheet->resultText());
        QVERIFY2(sheet->errorText() &&
                     sheet->errorText()->contains(QStringLiteral("changed since this preview. Nothing was changed")),
                 qPrintable(sheet->noteText()));
        QCOMPARE(readFile(h.ssh("config")), edited);
        QCOMPARE(QDir(h.ssh("quillmar-backups")).entryList(QDir::Files).size(), 1);
        QVERIFY(!sheet->removeButton()->isEnabled());  // the plan is spent
        sheet->reject();
    }

    void sheetShowsOtherFilesReadOnly()
    {
        Home h;
        const QByteArray other = "Host shared\n  User team\n";
        writeFile(h.ssh("config"), "Include team.conf\nHost shared\n  Port 2200\n");
        writeFile(h.ssh("team.conf"), other);
        writeFile(h.ssh("only.conf"), "Host onlyinc\n");
        h.start();
        h.sidebar->requestRemoval(QStringLiteral("shared"));
        RemoveHostSheet* sheet = h.sidebar->removeSheet();
        QCOMPARE(sheet->locations().size(), std::size_t(2));
        QCOMPARE(sheet->locationList()->item(0)->text(), QStringLiteral("~/.ssh/team.conf  (read-only)"));
        // The editable file is chosen first.
        QCOMPARE(sheet->chosen(), std::optional(1));
        QVERIFY(sheet->removeButton()->isEnabled());
        sheet->choose(0);
        QVERIFY(!sheet->removeButton()->isEnabled());
        QVERIFY(sheet->noteText().contains(QStringLiteral("doesn't edit")));
        QVERIFY(sheet->diffView()->toPlainText().isEmpty());
        sheet->remove();
        QVERIFY(!sheet->removing());
        QCOMPARE(readFile(h.ssh("team.conf")), other);
        sheet->reject();
        QTRY_VERIFY(!h.sidebar->removeSheet());

        writeFile(h.ssh("config"), "Include only.conf\n");
        h.sidebar->requestRemoval(QStringLiteral("onlyinc"));
        sheet = h.sidebar->removeSheet();
        QCOMPARE(sheet->locations().size(), std::size_t(1));
        QVERIFY(!sheet->removeButton()->isEnabled());
        sheet->reject();
    }

    void sheetDeletesAnEmptiedOwnFile()
    {
        Home h;
        writeFile(h.ssh("config"), "# Added by quillmar: hosts you add in quillmar live in ~/.ssh/quillmar_config\n"
                                   "Include quillmar_config\n\nHost keep\n  Port 2201\n");
        writeFile(h.ssh("quillmar_config"), "# quillmar's hosts\nHost mine\n  HostName 10.1.1.1\n");
        h.start();
        const QByteArray keepBefore = sshG(h.ssh("config"), QStringLiteral("keep"));
        h.sidebar->requestRemoval(QStringLiteral("mine"));
        RemoveHostSheet* sheet = h.sidebar->removeSheet();
        QVERIFY(sheet->diffView()->toPlainText().contains(QStringLiteral("- Include quillmar_config")));
        QVERIFY(removeAndWait(sheet));
        QVERIFY2(sheet->resultText() && sheet->resultText()->contains(QStringLiteral("Backups: ")),
                 qPrintable(sheet->noteText()));
        QVERIFY(!QFileInfo::exists(h.ssh("quillmar_config")));
        QCOMPARE(QDir(h.ssh("quillmar-backups")).entryList(QDir::Files).size(), 2);
        QCOMPARE(readFile(h.ssh("config")), QByteArray("Host keep\n  Port 2201\n"));
        QCOMPARE(sshG(h.ssh("config"), QStringLiteral("keep")), keepBefore);
        QCOMPARE(h.sidebar->listedHosts(), QStringList{QStringLiteral("keep")});
        sheet->reject();
    }

    // A name that hides characters reads in the sheet as in the sidebar, and
    // Return alone in the sheet removes nothing.
    void removeSheetSpellsOutTheNameAndReturnKeepsTheHost()
    {
        Home h;
        const QByteArray config = "Host zz\xE2\x80\xAEgnp.exe\n  HostName 10.0.0.9\n\nHost web1\n  HostName 10.0.0.1\n";
        writeFile(h.ssh("config"), config);
        h.start();
        const QString alias = QString::fromUtf8("zz\u202Egnp.exe");
        const QString spelt = QStringLiteral("zz<U+202E>gnp.exe");
        QVERIFY(h.sidebar->listedHosts().contains(alias));
        h.sidebar->requestRemoval(alias);
        RemoveHostSheet* sheet = h.sidebar->removeSheet();
        QVERIFY(sheet);
        QVERIFY(QTest::qWaitForWindowActive(sheet));
        QStringList shown{sheet->windowTitle(), sheet->diffView()->toPlainText()};
        for (const QLabel* label : sheet->findChildren<QLabel*>())
            shown << label->text();
        QVERIFY2(shown.contains(QStringLiteral("Remove ") + spelt), qPrintable(shown.join(QLatin1Char('|'))));
        QVERIFY(sheet->diffView()->toPlainText().contains(QStringLiteral("- Host ") + spelt));
        for (const QString& text : shown)
            QVERIFY2(!text.contains(QChar(0x202E)), qPrintable(text));

        QVERIFY(sheet->removeButton()->isEnabled());
        QVERIFY(sheet->closeButton()->isDefault());
        const QPointer<RemoveHostSheet> alive(sheet);
        QTest::keyClick(sheet->windowHandle(), Qt::Key_Return);
        QTRY_VERIFY(!alive || !alive->isVisible());
        QCOMPARE(readFile(h.ssh("config")), config);
        QVERIFY(h.sidebar->listedHosts().contains(alias));

        // Its note says what was removed in the same letters.
        QTRY_VERIFY(!h.sidebar->removeSheet());
        h.sidebar->requestRemoval(alias);
        sheet = h.sidebar->removeSheet();
        QVERIFY(removeAndWait(sheet));
        QVERIFY2(sheet->noteText().startsWith(QStringLiteral("Removed ") + spelt + QStringLiteral(" from")),
                 qPrintable(sheet->noteText()));
        sheet->reject();
    }

    // The files that define a host are named with their hidden characters
    // spelt out, in the list and in the note.
    void removeSheetSpellsOutFileNames_data() { hiddenCharacterRows(); }
    void removeSheetSpellsOutFileNames()
    {
        QFETCH(QString, hidden);
        QFETCH(QString, spelt);
        Home h;
        writeFile(h.ssh("config"), "Include conf.d/*\nHost inc\n  Port 2200\n");
        writeFile(h.ssh(QStringLiteral("conf.d/ab") + hidden + QStringLiteral("fnoc.txt")), "Host inc\n");
        h.start();
        h.sidebar->requestRemoval(QStringLiteral("inc"));
        RemoveHostSheet* sheet = h.sidebar->removeSheet();
        QVERIFY(sheet);
        QCOMPARE(sheet->locations().size(), std::size_t(2));
        const QString file = QStringLiteral("~/.ssh/conf.d/ab") + spelt + QStringLiteral("fnoc.txt");
        QCOMPARE(sheet->locationList()->item(0)->text(), file + QStringLiteral("  (read-only)"));
        sheet->choose(0);
        QCOMPARE(
            sheet->noteText(),
            QStringLiteral("inc is defined in %1, which quillmar doesn't edit. Remove it there by hand.").arg(file));
        sheet->reject();
    }
};

QTEST_MAIN(SidebarTests)
#include "SidebarTests.moc"
