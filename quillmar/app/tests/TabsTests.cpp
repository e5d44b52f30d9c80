// The tab strip, the chips, the detail area's session end, the stall banner
// and the version lines, offscreen.
#include "quillmar/app/UserSettings.h"
#include "quillmar/app/Version.h"
#include "quillmar/app/panes/AddHostView.h"
#include "quillmar/app/panes/KeysView.h"
#include "quillmar/app/panes/SnippetsView.h"
#include "quillmar/app/shell/MainWindow.h"
#include "quillmar/app/shell/SessionEndedCard.h"
#include "quillmar/app/shell/StallHint.h"
#include "quillmar/app/shell/TabChip.h"
#include "quillmar/app/shell/TabNumberBadges.h"
#include "quillmar/app/shell/TabStrip.h"
#include "quillmar/app/shell/TerminalHost.h"
#include "quillmar/app/shell/ToolChip.h"
#include "quillmar/app/shell/Workspace.h"
#include "quillmar/app/sidebar/Sidebar.h"
#include "quillmar/app/sidebar/SidebarSnippetsSection.h"
#include "quillmar/app/style/BrandMark.h"
#include "quillmar/app/style/LucideIcon.h"
#include "quillmar/app/style/Metro.h"
#include "quillmar/app/style/Pill.h"

#include "quillmar/app/tests/AppTestSupport.h"

#include "platform/FakeScheduler.h"
#include "ravelgrid/view/QtDeliveryQueue.h"
#include "ravelgrid/view/QtScheduler.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace quillmar;

namespace {

constexpr std::uint64_t second = 1'000'000'000;

void sendText(TerminalHost* host, const std::string& text)
{
    host->view()->process().send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// Gone from the process table: neither running nor a zombie left unreaped.
bool gone(pid_t pid)
{
    return !QFile::exists(QStringLiteral("/proc/%1").arg(pid));
}

bool ended(pid_t pid)
{
    return apptests::hasEnded(pid);
}

// Answers the next question box with `key` and gives its text.
void answerNextQuestion(QObject* owner, Qt::Key key, QString* text)
{
    auto* poll = new QTimer(owner);
    QObject::connect(poll, &QTimer::timeout, owner, [poll, key, text] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        poll->stop();
        poll->deleteLater();
        *text = box->text();
        QTest::keyClick(box, key);
    });
    poll->start(20);
}

const KeyStroke closeTabKey{KeyStroke::Kind::keyDown, Qt::Key_W, Qt::ControlModifier | Qt::ShiftModifier};

// A TCP socket listening on 127.0.0.1 that never answers: an ssh that
// connects to it waits for the server's greeting.
struct SilentServer {
    int fd = -1;
    quint16 port = 0;
    explicit SilentServer(bool listening = true)
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return;
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        if (listening)
            ::listen(fd, 4);
    }
    ~SilentServer() { ::close(fd); }
    bool hasPendingConnection() const
    {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }
};

}  // namespace

class TabsTests : public QObject {
    Q_OBJECT

    std::unique_ptr<ravelgrid::QtDeliveryQueue> queue_;
    QTemporaryDir home_;
    QTemporaryDir config_;

    std::unique_ptr<UserSettings> freshSettings(SessionExitPolicy policy)
    {
        static int n = 0;
        auto settings = std::make_unique<UserSettings>(config_.filePath(QStringLiteral("s%1.conf").arg(++n)));
        settings->setExitPolicy(policy);
        return settings;
    }

    std::unique_ptr<SnippetStore> snippetStore()
    {
        static int n = 0;
        return apptests::memorySnippetStore(config_, QStringLiteral("data%1").arg(++n));
    }

private slots:
    void initTestCase()
    {
        queue_ = ravelgrid::QtDeliveryQueue::installAsMain();
        QVERIFY(config_.isValid());
        QVERIFY(apptests::useQuietHome(home_));
        QDir(home_.path()).mkpath(QStringLiteral(".ssh"));
    }

    // --- version lines -----------------------------------------------------------

    void versionLines_data()
    {
        QTest::addColumn<VersionInfo>("info");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("pill");
        const auto s = [](const char* t) { return std::optional<QString>(QString::fromUtf8(t)); };
        QTest::newRow("release") << VersionInfo{s("1.2"), s("34"), std::nullopt, s("x"), {}} << "v1.2 (build 34)"
                                 << "34";
        QTest::newRow("dev") << VersionInfo{s("1.2"), s("34"), s("YES"), s("stamp"), {}}
                             << QString::fromUtf8("v1.2 (DEV \u00B7 stamp)") << QString::fromUtf8("DEV \u00B7 stamp");
        QTest::newRow("lower-case yes is no dev build")
            << VersionInfo{s("1.2"), s("34"), s("yes"), s("stamp"), {}} << "v1.2 (build 34)"
            << "34";
        QTest::newRow("dev without stamp")
            << VersionInfo{s("1.2"), s("34"), s("YES"), std::nullopt, {}} << QString::fromUtf8("v1.2 (DEV \u00B7 ?)")
            << QString::fromUtf8("DEV \u00B7 ?");
        QTest::newRow("missing version") << VersionInfo{std::nullopt, s("34"), {}, {}, {}} << "v? (build 34)"
                                         << "34";
        QTest::newRow("missing build") << VersionInfo{s("1.2"), std::nullopt, {}, {}, {}} << "v1.2 (build ?)"
                                       << "?";
        QTest::newRow("nothing at all") << VersionInfo{} << "v? (build ?)"
                                        << "?";
    }

    void versionLines()
    {
        QFETCH(VersionInfo, info);
        QFETCH(QString, line);
        QFETCH(QString, pill);
        QCOMPARE(versionLine(info), line);
        QCOMPARE(buildText(info), pill);
    }

    void thisBuildAndCopyright()
    {
        const VersionInfo& info = VersionInfo::current();
        QCOMPARE(appVersion(), QStringLiteral("0.1.0"));
        QVERIFY(info.buildNumber || isDevBuild());
        QVERIFY(versionLine().startsWith(QStringLiteral("v0.1.0 (")));
        QCOMPARE(TabStrip::pillText(), QStringLiteral("Version: ") + buildText());
        QCOMPARE(TabStrip::pillHelp(), QStringLiteral("Build: ") + buildText() + QStringLiteral(". Click for About."));
        VersionInfo old;
        old.year = QStringLiteral("2025");
        QCOMPARE(copyrightLine(old),
                 QString::fromUtf8("Copyright \u00A9 2025 The quillmar developers. All rights reserved."));
        QVERIFY(copyrightLine().contains(QString::number(QDate::currentDate().year())));
    }

    void brandMarkThresholds()
    {
        struct Case {
            double size;
            bool glows;
            double border;
        };
        for (Case c : {Case{24, false, 0.85}, Case{27.9, false, 0.85}, Case{28, true, 0.85}, Case{39.9, true, 0.85},
                       Case{40, true, 1.5}, Case{72, true, 1.5}}) {
            BrandMark mark(c.size);
            QCOMPARE(mark.glows(), c.glows);
            QCOMPARE(mark.borderWidth(), c.border);
            QCOMPARE(mark.borderOpacity(), 0.28);
            mark.show();
            QVERIFY(!mark.glowPulse());  // never inside the show itself
            QCoreApplication::processEvents();
            QCOMPARE(mark.glowPulse(), c.glows);
            QCOMPARE(mark.animation() != nullptr, c.glows);
            if (c.glows) {
                QCOMPARE(mark.animation()->duration(), 2200);
                QTRY_VERIFY(mark.phase() > 0.0);
            }
        }
    }

    // --- tab strip and chips -----------------------------------------------------------

    void chipOrderFollowsTabIDs()
    {
        platform::FakeScheduler clock;
        Workspace w(clock);
        TabStrip strip(w);
        auto a = w.open(SessionTarget::local());
        w.openTool(ToolTab::settings);
        w.openTool(ToolTab::addHost);
        auto b = w.open(SessionTarget::ssh(QStringLiteral("web")));
        w.openTool(ToolTab::keys);
        std::vector<TabID> order;
        for (const auto& [id, chip] : strip.chips())
            order.push_back(id);
        const std::vector<TabID> expected{a->id, b->id, TabID(ToolTab::addHost), TabID(ToolTab::keys),
                                          TabID(ToolTab::settings)};
        QCOMPARE(order, expected);
        QCOMPARE(order, w.tabIDs());
        // The layout shows them in that order too, left to right.
        strip.resize(1200, 40);
        strip.show();
        QCoreApplication::processEvents();
        int lastX = -1;
        for (const auto& [id, chip] : strip.chips()) {
            QVERIFY(chip->x() > lastX);
            lastX = chip->x();
        }
        QCOMPARE(strip.chipFor(ToolTab::settings)->titleText(), QStringLiteral("Settings"));
        QCOMPARE(strip.chipFor(ToolTab::settings)->toolTip(), QStringLiteral("Settings (Ctrl+,)"));
        QCOMPARE(strip.chipFor(ToolTab::addHost)->toolTip(), QStringLiteral("Add host"));
        QCOMPARE(strip.chipFor(ToolTab::keys)->closeButton()->toolTip(), QStringLiteral("Close Keys"));
        QCOMPARE(strip.chipFor(a->id)->closeButton()->toolTip(), QStringLiteral("Close tab"));
        // Only the active chip is marked; a closed tab's chip goes at once.
        QVERIFY(strip.chipFor(ToolTab::keys)->isActive());
        QVERIFY(!strip.chipFor(a->id)->isActive());
        w.close(b->id);
        QVERIFY(!strip.chipFor(b->id));
        QCOMPARE(strip.chips().size(), std::size_t(4));
    }

    void badgeNumbers()
    {
        const std::vector<std::optional<int>> twelve{1, 2, 3, 4, 5, 6, 7, 8, std::nullopt, std::nullopt, std::nullopt,
                                                     9};
        for (std::size_t i = 0; i < twelve.size(); ++i)
            QCOMPARE(TabStrip::badgeNumber(i, 12), twelve[i]);
        QCOMPARE(TabStrip::badgeNumber(7, 8), std::optional<int>(8));  // the last of eight keeps its place
        QCOMPARE(TabStrip::badgeNumber(8, 9), std::optional<int>(9));
        QCOMPARE(TabStrip::badgeNumber(0, 1), std::optional<int>(1));

        // Drawn under the chips of a window-sized strip, with 12 tabs.
        platform::FakeScheduler clock;
        Workspace w(clock);
        QWidget column;
        auto* strip = new TabStrip(w, &column);
        auto* badges = new TabNumberBadges(w, *strip, &column);
        strip->setGeometry(0, 0, 4000, 40);
        badges->setGeometry(0, 41, 4000, TabNumberBadges::bandHeight);
        QVERIFY(badges->badges().empty());
        for (int i = 0; i < 10; ++i)
            w.open(SessionTarget::local());
        w.openTool(ToolTab::keys);
        w.openTool(ToolTab::settings);
        column.resize(4000, 100);
        column.show();
        QCoreApplication::processEvents();
        QStringList texts;
        const auto drawn = badges->badges();
        for (const auto& b : drawn)
            texts << b.text;
        QCOMPARE(texts, (QStringList{"Alt+1", "Alt+2", "Alt+3", "Alt+4", "Alt+5", "Alt+6", "Alt+7", "Alt+8", "Alt+9"}));
        // Each badge sits under the middle of its chip.
        const auto ids = w.tabIDs();
        QCOMPARE(drawn[1].centre.x(), strip->chipFrame(ids[1], badges)->center().x());
        QCOMPARE(drawn[8].centre.x(), strip->chipFrame(ids[11], badges)->center().x());
        QCOMPARE(drawn[8].centre.y(), 18);
        QVERIFY(badges->testAttribute(Qt::WA_TransparentForMouseEvents));
    }

    void localButtonAndBuildPill()
    {
        platform::FakeScheduler clock;
        Workspace w(clock);
        TabStrip strip(w);
        QVERIFY(strip.chips().empty());
        QCOMPARE(strip.localButton()->text(), QStringLiteral("Local"));
        QCOMPARE(strip.buildPill()->text(), TabStrip::pillText());
        QCOMPARE(strip.buildPill()->tone(), Metro::accent());
        QCOMPARE(strip.buildButton()->toolTip(), TabStrip::pillHelp());
        // The plus is drawn for a 1x screen, not a 2x drawing scaled down.
        QImage drawn(13, 13, QImage::Format_ARGB32_Premultiplied);
        drawn.fill(Qt::transparent);
        {
            QPainter p(&drawn);
            LucideIcon::paint(p, QStringLiteral("qm-plus"), QRectF(0, 0, 13, 13), Metro::secondaryText(&strip));
        }
        QCOMPARE(strip.localButton()->icon().pixmap(QSize(13, 13), 1.0).toImage().convertToFormat(drawn.format()),
                 drawn);
        strip.localButton()->click();
        QCOMPARE(w.sessions().size(), std::size_t(1));
        QCOMPARE(w.activeID(), std::optional<QUuid>(w.sessions()[0]->id));
        QCOMPARE(w.sessions()[0]->target, SessionTarget::local());
        strip.buildButton()->click();
        QCOMPARE(w.settingsScrollTarget(), std::optional<QString>(QStringLiteral("about")));
        QCOMPARE(w.activeID(), std::optional<TabID>(ToolTab::settings));
        // Already open: only activated again, never a second settings tab.
        w.activate(w.sessions()[0]->id);
        w.setSettingsScrollTarget(std::nullopt);
        strip.buildButton()->click();
        QCOMPARE(w.openTools().size(), std::size_t(1));
        QCOMPARE(w.activeID(), std::optional<TabID>(ToolTab::settings));
        QCOMPARE(w.settingsScrollTarget(), std::optional<QString>(QStringLiteral("about")));
    }

    void renameCommitClearAndCancel()
    {
        platform::FakeScheduler clock;
        Workspace w(clock);
        TabStrip strip(w);
        strip.resize(900, 40);
        strip.show();
        strip.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&strip));
        w.open(SessionTarget::local());
        auto second = w.open(SessionTarget::local());
        TabChip* chip = strip.chipFor(second->id);
        QCOMPARE(chip->titleText(), QStringLiteral("Local 2"));

        // Return keeps the name without the spaces and tabs around it.
        QTest::mouseDClick(chip, Qt::LeftButton);
        QVERIFY(chip->editing());
        QCOMPARE(chip->renameField()->text(), QStringLiteral("Local 2"));
        QCOMPARE(chip->renameField()->placeholderText(), QStringLiteral("Tab name"));
        QCOMPARE(QApplication::focusWidget(), chip->renameField());
        chip->renameField()->clear();
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("  build "));
        chip->renameField()->insert(QStringLiteral("\t"));  // Tab would move the focus
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QVERIFY(!chip->editing());
        QCOMPARE(second->customName(), std::optional<QString>(QStringLiteral("build")));
        QCOMPARE(chip->titleText(), QStringLiteral("build"));

        // The field starts from the custom name; Escape leaves it as it was.
        QTest::mouseDClick(chip, Qt::LeftButton);
        QCOMPARE(chip->renameField()->text(), QStringLiteral("build"));
        QTest::keyClicks(chip->renameField(), QStringLiteral("xyz"));
        QTest::keyClick(chip->renameField(), Qt::Key_Escape);
        QVERIFY(!chip->editing());
        QCOMPARE(second->customName(), std::optional<QString>(QStringLiteral("build")));
        QCOMPARE(chip->titleText(), QStringLiteral("build"));

        // Spaces only: back to the default title.
        QTest::mouseDClick(chip, Qt::LeftButton);
        chip->renameField()->setText(QStringLiteral("   "));
        QTest::keyClick(chip->renameField(), Qt::Key_Enter);
        QCOMPARE(second->customName(), std::nullopt);
        QCOMPARE(chip->titleText(), QStringLiteral("Local 2"));
    }

    void closingAnInactiveChipDoesNotActivateIt()
    {
        platform::FakeScheduler clock;
        Workspace w(clock);
        TabStrip strip(w);
        strip.resize(900, 40);
        strip.show();
        auto a = w.open(SessionTarget::local());
        auto b = w.open(SessionTarget::local());
        w.openTool(ToolTab::keys);
        w.activate(b->id);
        QSignalSpy activations(&w, &Workspace::activeIDChanged);
        QTest::mouseClick(strip.chipFor(a->id)->closeButton(), Qt::LeftButton);
        QVERIFY(!w.session(a->id));
        QCOMPARE(w.activeID(), std::optional<QUuid>(b->id));
        QCOMPARE(activations.count(), 0);
        QTest::mouseClick(strip.chipFor(ToolTab::keys)->closeButton(), Qt::LeftButton);
        QVERIFY(!w.openTools().count(ToolTab::keys));
        QCOMPARE(w.activeID(), std::optional<QUuid>(b->id));
        // A click on the chip itself selects it.
        auto c = w.open(SessionTarget::local());
        QTest::mouseClick(strip.chipFor(b->id), Qt::LeftButton, {}, QPoint(4, 4));
        QCOMPARE(w.activeID(), std::optional<QUuid>(b->id));
        QVERIFY(w.session(c->id));
    }

    void statusTones_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("running");
        QTest::addColumn<std::optional<std::int32_t>>("code");
        QTest::addColumn<QColor>("dot");
        QTest::addColumn<QColor>("card");
        const int local = int(SessionTarget::Kind::local), ssh = int(SessionTarget::Kind::ssh),
                  tool = int(SessionTarget::Kind::tool);
        QColor faded = Metro::success();
        faded.setAlphaF(0.45f);
        using C = std::optional<std::int32_t>;
        QTest::newRow("running") << local << true << C() << Metro::success() << QColor();
        QTest::newRow("exit 0") << local << false << C(0) << faded << Metro::success();
        QTest::newRow("signal") << local << false << C() << Metro::danger() << Metro::danger();
        QTest::newRow("ssh signal") << ssh << false << C() << Metro::danger() << Metro::danger();
        QTest::newRow("exit 1") << local << false << C(1) << Metro::warning() << Metro::warning();
        QTest::newRow("ssh 255") << ssh << false << C(255) << Metro::danger() << Metro::danger();
        QTest::newRow("local 255") << local << false << C(255) << Metro::warning() << Metro::warning();
        QTest::newRow("tool 255") << tool << false << C(255) << Metro::warning() << Metro::warning();
        QTest::newRow("ssh 3") << ssh << false << C(3) << Metro::warning() << Metro::warning();
    }

    void statusTones()
    {
        QFETCH(int, kind);
        QFETCH(bool, running);
        QFETCH(std::optional<std::int32_t>, code);
        QFETCH(QColor, dot);
        QFETCH(QColor, card);
        SessionTarget target;
        target.kind = SessionTarget::Kind(kind);
        target.alias = QStringLiteral("web");
        TerminalSession session(target, 1, 0);
        if (!running)
            session.recordExit(code, QStringLiteral("ended"));
        QCOMPARE(TabChip::statusColor(session), dot);
        if (!running)
            QCOMPARE(exitTone(code, target.kind), card);
    }

    // --- the detail area: exit policy with real children -------------------------------------

    void exitPolicy_data()
    {
        QTest::addColumn<SessionExitPolicy>("policy");
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("closes");
        QTest::addColumn<QString>("pill");
        const auto add = [](const char* name, SessionExitPolicy p, const char* how, bool closes, const char* pill) {
            QTest::newRow(name) << p << QString::fromLatin1(how) << closes << QString::fromLatin1(pill);
        };
        using P = SessionExitPolicy;
        add("closeIfClean local exit 0", P::closeIfClean, "local:exit 0", true, "");
        add("closeIfClean local exit 3", P::closeIfClean, "local:exit 3", false, "exited 3");
        add("closeIfClean local kill", P::closeIfClean, "local:kill", false, "killed by signal 9");
        add("closeIfClean ssh 255", P::closeIfClean, "ssh:refused", false, "exited 255");
        add("closeIfClean ssh kill", P::closeIfClean, "ssh:kill", false, "killed by signal 9");
        add("alwaysKeep local exit 0", P::alwaysKeep, "local:exit 0", false, "exited 0");
        add("alwaysKeep local exit 3", P::alwaysKeep, "local:exit 3", false, "exited 3");
        add("alwaysKeep local kill", P::alwaysKeep, "local:kill", false, "killed by signal 9");
        add("alwaysKeep ssh 255", P::alwaysKeep, "ssh:refused", false, "exited 255");
        add("alwaysKeep ssh kill", P::alwaysKeep, "ssh:kill", false, "killed by signal 9");
        add("alwaysClose local exit 0", P::alwaysClose, "local:exit 0", true, "");
        add("alwaysClose local exit 3", P::alwaysClose, "local:exit 3", true, "");
        add("alwaysClose local kill", P::alwaysClose, "local:kill", true, "");
        add("alwaysClose ssh 255", P::alwaysClose, "ssh:refused", true, "");
        add("alwaysClose ssh kill", P::alwaysClose, "ssh:kill", true, "");
    }

    void exitPolicy()
    {
        QFETCH(SessionExitPolicy, policy);
        QFETCH(QString, how);
        QFETCH(bool, closes);
        QFETCH(QString, pill);
        auto settings = freshSettings(policy);
        MainWindow window(*settings, snippetStore());
        // An ssh that gets no banner waits (to be killed); one refused exits 255.
        SilentServer silent;
        QVERIFY(silent.port != 0);
        // Bound but not listening: a connection is refused.
        SilentServer closed(false);
        const quint16 refusedPort = closed.port;
        const bool ssh = how.startsWith(QLatin1String("ssh:"));
        const QString alias =
            QStringLiteral("ssh://127.0.0.1:%1").arg(how == QLatin1String("ssh:kill") ? silent.port : refusedPort);
        // A refused ssh may end (and, under alwaysClose, lose its host)
        // while the test still waits for the child to start.
        QSignalSpy ends(&window, &MainWindow::sessionEnded);
        // The session under test, then a second one that stays in front:
        // the policy holds for a hidden tab all the same.
        auto session = window.workspace().open(ssh ? SessionTarget::ssh(alias) : SessionTarget::local());
        auto front = window.workspace().open(
            SessionTarget::tool(QStringLiteral("sleep"), QStringLiteral("/bin/sleep"), {QStringLiteral("30")}));
        QPointer<TerminalHost> host = window.hostFor(session->id);
        QVERIFY(host);
        QTRY_VERIFY_WITH_TIMEOUT(!host || !session->running() || host->view()->process().shellPid() > 0, 10000);
        if (how.endsWith(QLatin1String(":kill"))) {
            if (ssh)
                QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnection(), 10000);
            QVERIFY(host);
            ::kill(host->view()->process().shellPid(), SIGKILL);
        } else if (!ssh) {
            QVERIFY(host);
            sendText(host, how.mid(6).toStdString() + "\n");
        }
        QTRY_VERIFY_WITH_TIMEOUT(!session->running(), 15000);
        QTRY_COMPARE(ends.count(), 1);
        QCOMPARE(bool(window.workspace().session(session->id)), !closes);
        QCOMPARE(window.workspace().activeID(), std::optional<QUuid>(front->id));
        if (closes) {
            QTRY_VERIFY(!window.hostFor(session->id));
            return;
        }
        QCOMPARE(session->exitDescription(), std::optional<QString>(pill));
        // The kept tab shows its card once it is in front.
        window.workspace().activate(session->id);
        SessionEndedCard* card = window.hostFor(session->id)->endedCard();
        QVERIFY(card);
        QCOMPARE(card->pill()->text(), pill);
        QCOMPARE(card->pill()->tone(), exitTone(session->exitCode(), session->target.kind));
        QCOMPARE(card->title(), QStringLiteral("Session ended."));
        QCOMPARE(card->hint(), ssh ? QStringLiteral("Close the tab, or double-click the host to reconnect.")
                                   : QStringLiteral("Close the tab, or press Ctrl+Shift+T for a new local shell."));
        QCOMPARE(card->dismissButton()->text(), QStringLiteral("Dismiss"));
    }

    void activeTabClosedByThePolicyMovesTheFocus()
    {
        auto settings = freshSettings(SessionExitPolicy::closeIfClean);
        MainWindow window(*settings, snippetStore());
        auto a = window.workspace().open(SessionTarget::local());
        auto b = window.workspace().open(SessionTarget::local());
        auto c = window.workspace().open(SessionTarget::local());
        window.workspace().activate(b->id);
        window.workspace().activate(c->id);
        for (const auto& s : {a, b, c})
            QTRY_VERIFY_WITH_TIMEOUT(window.hostFor(s->id)->view()->process().shellPid() > 0, 10000);
        sendText(window.hostFor(c->id), "exit 0\n");
        QTRY_VERIFY_WITH_TIMEOUT(!window.workspace().session(c->id), 15000);
        // The tab focused last before it, shown in the detail area.
        QCOMPARE(window.workspace().activeID(), std::optional<QUuid>(b->id));
        QCOMPARE(window.detailStack()->currentWidget(), window.hostFor(b->id));
        QVERIFY(!window.tabStrip()->chipFor(c->id));
        // The last tab gone: no active tab, the hint in the detail area.
        window.workspace().close(a->id);
        sendText(window.hostFor(b->id), "exit 0\n");
        QTRY_VERIFY_WITH_TIMEOUT(window.workspace().sessions().empty(), 15000);
        QCOMPARE(window.workspace().activeID(), std::nullopt);
        QCOMPARE(window.detailStack()->currentWidget(), window.emptyHint());
    }

    void toolTabStaysAndReloadsKeys()
    {
        auto settings = freshSettings(SessionExitPolicy::alwaysClose);
        MainWindow window(*settings, snippetStore());
        const QString keyPath = home_.filePath(QStringLiteral(".ssh/qm_tool_key"));
        QFile::remove(keyPath);
        QFile::remove(keyPath + QStringLiteral(".pub"));
        auto tool = window.workspace().open(
            SessionTarget::tool(QStringLiteral("Generate key"), QStringLiteral("/usr/bin/ssh-keygen"),
                                {QStringLiteral("-q"), QStringLiteral("-t"), QStringLiteral("ed25519"),
                                 QStringLiteral("-N"), QString(), QStringLiteral("-f"), keyPath}));
        bool listedAtEnd = false;
        connect(&window, &MainWindow::sessionEnded, this, [&] {
            // Right after the exit is handled, before any poll of the store.
            QTimer::singleShot(0, this, [&] {
                for (const auto& key : window.keyStore().keys())
                    listedAtEnd = listedAtEnd || key.name == "qm_tool_key";
            });
        });
        QTRY_VERIFY_WITH_TIMEOUT(!tool->running(), 15000);
        QTRY_VERIFY(listedAtEnd);
        QCOMPARE(tool->exitCode(), std::optional<std::int32_t>(0));
        QVERIFY(window.workspace().session(tool->id));
        SessionEndedCard* card = window.hostFor(tool->id)->endedCard();
        QVERIFY(card && !card->isHidden());
        QCOMPARE(card->title(), QStringLiteral("Finished."));
        QCOMPARE(card->hint(), QStringLiteral("Read the output above, then close the tab."));
        QCOMPARE(card->pill()->text(), QStringLiteral("exited 0"));
        QCOMPARE(card->pill()->tone(), Metro::success());
    }

    void escapeDismissesForGood()
    {
        auto settings = freshSettings(SessionExitPolicy::alwaysKeep);
        MainWindow window(*settings, snippetStore());
        window.show();  // opens the first local shell
        QTRY_VERIFY(window.workspace().sessions().size() == 1);
        auto first = window.workspace().sessions()[0];
        auto other = window.workspace().open(SessionTarget::local());
        QTRY_VERIFY_WITH_TIMEOUT(window.hostFor(first->id)->view()->process().shellPid() > 0, 10000);
        sendText(window.hostFor(first->id), "exit 3\n");
        QTRY_VERIFY_WITH_TIMEOUT(!first->running(), 15000);
        // Hidden while it ended: no card in sight until it is in front.
        QTRY_VERIFY(window.hostFor(first->id)->endedCard());
        QVERIFY(!window.hostFor(first->id)->isVisible());
        window.workspace().activate(first->id);
        TerminalHost* host = window.hostFor(first->id);
        QTRY_VERIFY(host->endedCard()->isVisible());
        QTest::keyClick(host->view(), Qt::Key_Escape);
        QVERIFY(first->exitNoticeDismissed());
        QVERIFY(!host->endedCard()->isVisible());
        window.workspace().activate(other->id);
        window.workspace().activate(first->id);
        QCoreApplication::processEvents();
        QVERIFY(!host->endedCard()->isVisible());
        QVERIFY(host->isVisible());  // the ended terminal still shows
    }

    void emptyHintAndPanes()
    {
        auto settings = freshSettings(SessionExitPolicy::closeIfClean);
        MainWindow window(*settings, snippetStore());
        QCOMPARE(window.emptyHint()->text(),
                 QStringLiteral("No open sessions. Ctrl+Shift+T for a local shell, or double-click a host. Ctrl+, for "
                                "Settings."));
        QCOMPARE(window.detailStack()->currentWidget(), window.emptyHint());
        window.workspace().openTool(ToolTab::settings);
        QCOMPARE(window.detailStack()->currentWidget(), window.toolPane(ToolTab::settings));
        auto s = window.workspace().open(
            SessionTarget::tool(QStringLiteral("sleep"), QStringLiteral("/bin/sleep"), {QStringLiteral("30")}));
        QCOMPARE(window.detailStack()->currentWidget(), window.hostFor(s->id));
        // The strip is in the window, 40 high, with a chip per tab.
        QCOMPARE(window.tabStrip()->chips().size(), std::size_t(2));
        QCOMPARE(window.tabStripRow()->height() == MainWindow::tabStripHeight || !window.isVisible(), true);
    }

    void stripFollowsTheAppearance()
    {
        auto settings = freshSettings(SessionExitPolicy::closeIfClean);
        settings->setAppearance(AppAppearance::dark);
        MainWindow window(*settings, snippetStore());
        window.show();
        QTRY_VERIFY(window.workspace().sessions().size() == 1);
        auto second = window.workspace().open(SessionTarget::local());
        QLabel* inactiveTitle = window.tabStrip()->chipFor(window.workspace().sessions()[0]->id)->findChild<QLabel*>();
        const auto variantColour = [](Metro::Role role) { return Metro::color(role, Metro::currentVariant()); };
        QCOMPARE(inactiveTitle->palette().color(QPalette::WindowText), variantColour(Metro::Role::secondaryText));
        settings->setAppearance(AppAppearance::light);
        QCOMPARE(Metro::currentVariant(), Metro::Variant::light);
        QCOMPARE(inactiveTitle->palette().color(QPalette::WindowText),
                 Metro::color(Metro::Role::secondaryText, Metro::Variant::light));
        QVERIFY(window.tabStrip()->localButton()->styleSheet().contains(
            Metro::color(Metro::Role::line, Metro::Variant::light).name()));
        QCOMPARE(window.tabStrip()->buildPill()->tone(), Metro::color(Metro::Role::accent, Metro::Variant::light));
        settings->setAppearance(AppAppearance::dark);
        QCOMPARE(inactiveTitle->palette().color(QPalette::WindowText),
                 Metro::color(Metro::Role::secondaryText, Metro::Variant::dark));
        Q_UNUSED(second);
    }

    // At the default size the fourth chip and later ones no longer fit; the
    // active one is scrolled fully into the chips' viewport, which ends before
    // the buttons.
    void activeChipStaysInView()
    {
        auto settings = freshSettings(SessionExitPolicy::closeIfClean);
        MainWindow window(*settings, snippetStore());
        window.resize(1100, 700);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_VERIFY(window.workspace().sessions().size() == 1);
        TabStrip* strip = window.tabStrip();
        QWidget* viewport = strip->scrollArea()->viewport();
        const auto activeInView = [&] {
            const auto active = window.workspace().activeID();
            if (!active)
                return false;
            const auto frame = strip->chipFrame(*active, viewport);
            return frame && viewport->rect().contains(*frame);
        };
        const auto clearOfButtons = [&] {
            const QRect view(viewport->mapTo(strip, QPoint(0, 0)), viewport->size());
            return view.right() < strip->localButton()->geometry().left() &&
                   view.right() < strip->buildButton()->geometry().left();
        };
        for (int i = 0; i < 5; ++i) {
            QTest::keyClick(window.windowHandle(), Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier);
            QTRY_COMPARE(window.workspace().sessions().size(), std::size_t(i + 2));
            QTRY_VERIFY(activeInView());
        }
        QVERIFY(strip->scrollArea()->horizontalScrollBar()->value() > 0);
        QVERIFY(clearOfButtons());
        window.workspace().openTool(ToolTab::keys);
        QTRY_VERIFY(activeInView());
        // Back to the first by key, then to the last by click after scrolling it into view.
        QTest::keyClick(window.windowHandle(), Qt::Key_1, Qt::AltModifier);
        QTRY_COMPARE(window.workspace().activeID(), std::optional<QUuid>(window.workspace().sessions()[0]->id));
        QTRY_VERIFY(activeInView());
        QCOMPARE(strip->scrollArea()->horizontalScrollBar()->value(), 0);
        const QUuid last = window.workspace().sessions().back()->id;
        strip->scrollArea()->horizontalScrollBar()->setValue(strip->scrollArea()->horizontalScrollBar()->maximum());
        QTest::mouseClick(strip->chipFor(last), Qt::LeftButton, {}, QPoint(4, 4));
        QCOMPARE(window.workspace().activeID(), std::optional<QUuid>(last));
        QTRY_VERIFY(activeInView());
        // Narrower, the active chip is still in view and the buttons still clear.
        window.resize(800, 700);
        QTRY_VERIFY(activeInView());
        QVERIFY(clearOfButtons());
        window.resize(1600, 700);
        QTRY_VERIFY(activeInView());
    }

    // A rename shows in the window title at once.
    void titleFollowsARename()
    {
        auto settings = freshSettings(SessionExitPolicy::closeIfClean);
        MainWindow window(*settings, snippetStore());
        auto cat = window.workspace().open(SessionTarget::tool(QStringLiteral("cat"), QStringLiteral("/bin/cat"), {}));
        QCOMPARE(window.windowTitle(), QStringLiteral("quillmar — cat"));
        cat->setCustomName(QStringLiteral("logs"));
        QCOMPARE(window.windowTitle(), QStringLiteral("quillmar — logs"));
        // Another tab's rename leaves the title alone.
        auto other = window.workspace().open(
            SessionTarget::tool(QStringLiteral("sleep"), QStringLiteral("/bin/sleep"), {QStringLiteral("30")}));
        window.workspace().activate(cat->id);
        other->setCustomName(QStringLiteral("nap"));
        QCOMPARE(window.windowTitle(), QStringLiteral("quillmar — logs"));
        cat->setCustomName(std::nullopt);
        QCOMPARE(window.windowTitle(), QStringLiteral("quillmar — cat"));
    }

    // A name drawn on one line spells out what would reorder or hide its
    // letters: the sidebar row, the chip, its tooltip and the window title.
    void namesHidingCharactersAreSpeltOut()
    {
        auto settings = freshSettings(SessionExitPolicy::closeIfClean);
        MainWindow window(*settings, snippetStore());
        const QString alias = QString::fromUtf8("zz\u202Egnp.exe");
        const QString spelt = QStringLiteral("zz<U+202E>gnp.exe");
        auto session = window.workspace().open(SessionTarget::ssh(alias));
        QCOMPARE(window.windowTitle(), QStringLiteral("quillmar — ") + spelt);
        TabChip* chip = window.tabStrip()->chipFor(session->id);
        QCOMPARE(chip->titleText(), spelt);
        QCOMPARE(chip->toolTip(), QStringLiteral("ssh ") + spelt + QStringLiteral(" — running"));
        SessionRowModel rows;
        rows.setAliases({alias, QString::fromUtf8("\u05E9\u05E8\u05EA")});
        QCOMPARE(rows.data(rows.index(0), Qt::DisplayRole).toString(), spelt);
        QCOMPARE(rows.data(rows.index(0), Qt::UserRole).toString(), alias);
        QCOMPARE(rows.data(rows.index(1), Qt::DisplayRole).toString(), QString::fromUtf8("\u05E9\u05E8\u05EA"));
        rows.setLocal(alias);
        QCOMPARE(rows.data(rows.index(0), Qt::DisplayRole).toString(), spelt);

        // A program that cannot start is named by its path, also in how the tab ended.
        auto broken = window.workspace().open(
            SessionTarget::tool(QStringLiteral("x"), QStringLiteral("/nonexistent/") + alias, {}));
        const QString ended =
            QStringLiteral("cannot start /nonexistent/") + spelt + QStringLiteral(": No such file or directory");
        QTRY_COMPARE(window.windowTitle(), QStringLiteral("quillmar — x: ") + ended);
        QTRY_VERIFY(window.hostFor(broken->id)->endedCard());
        QCOMPARE(window.hostFor(broken->id)->endedCard()->pill()->text(), ended);
    }

    void hiddenSessionsKeepRunning()
    {
        auto settings = freshSettings(SessionExitPolicy::closeIfClean);
        MainWindow window(*settings, snippetStore());
        window.resize(900, 600);
        auto counter = window.workspace().open(SessionTarget::tool(
            QStringLiteral("count"), QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"), QStringLiteral("i=0; while :; do i=$((i+1)); echo $i; sleep 0.05; done")}));
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(window.hostFor(counter->id)->view()->process().shellPid() > 0, 10000);
        const pid_t pid = window.hostFor(counter->id)->view()->process().shellPid();
        window.workspace().open(SessionTarget::local());
        const auto lastOutput = counter->probe.lastOutputAt;
        QTRY_VERIFY_WITH_TIMEOUT(counter->probe.lastOutputAt > lastOutput, 10000);  // still read while hidden
        QVERIFY(counter->running());
        QCOMPARE(window.hostFor(counter->id)->view()->process().shellPid(), pid);
        QVERIFY(!window.hostFor(counter->id)->isVisible());
    }

    // No click on the strip takes the keyboard from the terminal in front,
    // and a rename gives it back when it ends.

    void stripClicksLeaveTheKeyboardInTheTerminal()
    {
        auto settings = freshSettings(SessionExitPolicy::alwaysKeep);
        MainWindow window(*settings, snippetStore());
        window.resize(900, 600);
        auto cat = window.workspace().open(SessionTarget::tool(QStringLiteral("cat"), QStringLiteral("/bin/cat"), {}));
        auto other =
            window.workspace().open(SessionTarget::tool(QStringLiteral("cat2"), QStringLiteral("/bin/cat"), {}));
        window.workspace().activate(cat->id);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        TerminalHost* host = window.hostFor(cat->id);
        QTRY_VERIFY_WITH_TIMEOUT(host->view()->process().shellPid() > 0, 10000);
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(host->view()));
        QWidget* view = host->view();
        int typed = 0;
        const auto typeAndSee = [&] {
            const QString word = QStringLiteral("typed%1").arg(++typed);
            QTest::keyClicks(QApplication::focusWidget(), word);
            QTRY_VERIFY_WITH_TIMEOUT(apptests::screenText(host->view()->terminal()).contains(word), 10000);
        };
        TabChip* mine = window.tabStrip()->chipFor(cat->id);
        TabChip* theirs = window.tabStrip()->chipFor(other->id);
        for (Qt::MouseButton button : {Qt::MiddleButton, Qt::RightButton, Qt::LeftButton}) {
            QTest::mouseClick(mine, button, {}, QPoint(4, 4));
            QCOMPARE(QApplication::focusWidget(), view);
            typeAndSee();
        }
        QTest::mouseClick(theirs, Qt::MiddleButton, {}, QPoint(4, 4));
        QCOMPARE(window.workspace().activeID(), std::optional<QUuid>(cat->id));
        QCOMPARE(QApplication::focusWidget(), view);
        QWidget* emptyStrip = window.tabStrip()->findChild<QScrollArea*>()->viewport();
        QTest::mouseClick(emptyStrip, Qt::MiddleButton, {}, QPoint(emptyStrip->width() - 4, 4));
        QCOMPARE(QApplication::focusWidget(), view);
        typeAndSee();

        QTest::mouseDClick(mine, Qt::LeftButton, {}, QPoint(4, 4));
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(mine->renameField()));
        QTest::keyClick(mine->renameField(), Qt::Key_Escape);
        QCOMPARE(QApplication::focusWidget(), view);

        // Escape in the sidebar's filter: once to empty it, once to leave.
        QLineEdit* filter = window.sidebar()->filterField();
        filter->setFocus();
        QTest::keyClicks(filter, QStringLiteral("x"));
        QTest::keyClick(filter, Qt::Key_Escape);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(filter));
        QTest::keyClick(filter, Qt::Key_Escape);
        QCOMPARE(QApplication::focusWidget(), view);
        typeAndSee();
    }

    void renameFieldKeepsItsKeys()
    {
        auto settings = freshSettings(SessionExitPolicy::alwaysClose);
        MainWindow window(*settings, snippetStore());
        window.resize(900, 600);
        auto cat = window.workspace().open(SessionTarget::tool(QStringLiteral("cat"), QStringLiteral("/bin/cat"), {}));
        auto shortLived = window.workspace().open(SessionTarget::tool(
            QStringLiteral("short"), QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("sleep 0.5")}));
        auto doomed = window.workspace().open(SessionTarget::local());
        window.workspace().activate(cat->id);
        window.show();
        TerminalHost* host = window.hostFor(cat->id);
        QTRY_VERIFY_WITH_TIMEOUT(host->view()->process().shellPid() > 0, 10000);
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(host->view()));
        TabChip* chip = window.tabStrip()->chipFor(cat->id);
        QTest::mouseDClick(chip, Qt::LeftButton, {}, QPoint(4, 4));
        QVERIFY(chip->editing());
        const std::size_t sentBefore = host->view()->process().sendCount();
        // Tabs around it change while the name is typed: one ends, one is closed by the policy.
        QTRY_VERIFY_WITH_TIMEOUT(window.hostFor(doomed->id)->view()->process().shellPid() > 0, 10000);
        sendText(window.hostFor(doomed->id), "exit 0\n");
        QTRY_VERIFY_WITH_TIMEOUT(!window.workspace().session(doomed->id), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(!shortLived->running(), 10000);
        QCoreApplication::processEvents();
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(chip->renameField()));
        chip->renameField()->clear();
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("logs"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QCOMPARE(cat->customName(), std::optional<QString>(QStringLiteral("logs")));
        QCOMPARE(host->view()->process().sendCount(), sentBefore);
        QCOMPARE(window.workspace().activeID(), std::optional<QUuid>(cat->id));
    }

    void closingTheWindowReapsEveryChild()
    {
        auto settings = freshSettings(SessionExitPolicy::closeIfClean);
        std::vector<pid_t> pids;
        {
            MainWindow window(*settings, snippetStore());
            window.show();
            window.workspace().open(
                SessionTarget::tool(QStringLiteral("sleep"), QStringLiteral("/bin/sleep"), {QStringLiteral("60")}));
            // One that ignores the polite signals: it gets SIGKILL after the grace.
            window.workspace().open(SessionTarget::tool(
                QStringLiteral("stubborn"), QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"), QStringLiteral("trap '' TERM HUP; while :; do sleep 0.2; done")}));
            QTRY_VERIFY(window.workspace().sessions().size() == 3);
            for (const auto& s : window.workspace().sessions()) {
                TerminalHost* host = window.hostFor(s->id);
                QTRY_VERIFY_WITH_TIMEOUT(host->view()->process().shellPid() > 0, 10000);
                pids.push_back(host->view()->process().shellPid());
            }
            QTest::qWait(300);  // the trap is set
        }
        for (pid_t pid : pids)
            QTRY_VERIFY_WITH_TIMEOUT(gone(pid), 6000);
    }

    // --- asking before ending what runs ------------------------------------------------

    void closingATabAsksWhileAProgramRuns()
    {
        auto settings = freshSettings(SessionExitPolicy::alwaysKeep);
        MainWindow window(*settings, snippetStore());
        window.show();
        QTRY_VERIFY(window.workspace().sessions().size() == 1);
        auto idle = window.workspace().sessions()[0];
        auto busy = window.workspace().open(SessionTarget::local());
        TerminalHost* idleHost = window.hostFor(idle->id);
        TerminalHost* busyHost = window.hostFor(busy->id);
        QTRY_VERIFY_WITH_TIMEOUT(busyHost->view()->process().shellPid() > 0, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(idleHost->view()->process().shellPid() > 0, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(apptests::screenText(idleHost->view()->terminal()).contains(QStringLiteral("$ ")),
                                 10000);
        QCOMPARE(idleHost->runningProgram(), std::nullopt);

        sendText(busyHost, "sleep 1000\n");
        QTRY_COMPARE_WITH_TIMEOUT(busyHost->runningProgram(), std::optional<QString>(QStringLiteral("sleep")), 10000);
        const pid_t sleepPid = ::tcgetpgrp(busyHost->view()->process().childfd());
        QVERIFY(sleepPid > 0);

        QString asked;
        answerNextQuestion(this, Qt::Key_Escape, &asked);
        QVERIFY(window.keys().handle(closeTabKey));
        QTRY_COMPARE(asked, QStringLiteral("Close this tab? sleep is still running."));
        QTest::qWait(50);
        QVERIFY(window.workspace().session(busy->id));
        QVERIFY(!ended(sleepPid));

        asked.clear();
        answerNextQuestion(this, Qt::Key_Return, &asked);
        QVERIFY(window.keys().handle(closeTabKey));
        QTRY_VERIFY(!window.workspace().session(busy->id));
        QCOMPARE(asked, QStringLiteral("Close this tab? sleep is still running."));
        QTRY_VERIFY_WITH_TIMEOUT(ended(sleepPid), 6000);

        // An idle shell closes at once: nothing is asked, nothing waits.
        window.workspace().requestClose(idle->id);
        QVERIFY(!window.workspace().session(idle->id));
        QVERIFY(!QApplication::activeModalWidget());
    }

    void closingTheWindowAsksWhileTabsRunPrograms()
    {
        auto settings = freshSettings(SessionExitPolicy::alwaysKeep);
        MainWindow window(*settings, snippetStore());
        window.show();
        for (int i = 0; i < 2; ++i)
            window.workspace().open(
                SessionTarget::tool(QStringLiteral("wait"), QStringLiteral("/bin/sleep"), {QStringLiteral("60")}));
        QTRY_VERIFY(window.workspace().sessions().size() == 3);
        for (const auto& s : window.workspace().sessions())
            QTRY_VERIFY_WITH_TIMEOUT(window.hostFor(s->id)->view()->process().shellPid() > 0, 10000);
        QCOMPARE(window.hostFor(window.workspace().sessions()[1]->id)->runningProgram(),
                 std::optional<QString>(QStringLiteral("sleep")));

        QString asked;
        answerNextQuestion(this, Qt::Key_Escape, &asked);
        QVERIFY(!window.close());
        QCOMPARE(asked, QStringLiteral("Close the window? 2 tabs still run programs."));
        QVERIFY(window.isVisible());

        answerNextQuestion(this, Qt::Key_Return, &asked);
        QVERIFY(window.close());
        QVERIFY(!window.isVisible());
    }

    // --- the stall banner on a fake clock ------------------------------------------------------

    void stallBannerOnAFakeClock()
    {
        platform::FakeScheduler clock;
        // A silent child in canonical mode, like a shell blocked before its prompt.
        auto session = std::make_shared<TerminalSession>(
            SessionTarget::tool(QStringLiteral("wait"), QStringLiteral("/bin/sh"),
                                {QStringLiteral("-c"), QStringLiteral("read x; echo got-it; read y")}),
            1, clock.nowNs());
        TerminalHost host(session, TerminalScheme{}, ravelgrid::FontSet(QFont()), clock, {});
        QVERIFY(!host.stallHint());  // only local shells get one
        host.start();
        QTRY_VERIFY_WITH_TIMEOUT(host.view()->process().shellPid() > 0, 10000);
        QWidget parent;
        StallHint hint(session, clock, &parent);
        QCOMPARE(QString::fromUtf8(StallHint::text),
                 QStringLiteral("Shell waiting? The desktop may be asking for a password in a separate dialog, "
                                "possibly behind this window."));
        parent.show();
        clock.advance(second);
        QVERIFY(!hint.showing());
        clock.advance(second - 1);
        QVERIFY(!hint.showing());  // no tick yet
        clock.advance(1);
        QVERIFY(hint.showing());  // the first tick 2 s after the silent start
        QVERIFY(hint.isVisible());

        // Output hides it at the next tick.
        sendText(&host, "go\n");
        QTRY_VERIFY_WITH_TIMEOUT(session->probe.lastOutputAt.has_value(), 10000);
        clock.advance(second);
        QVERIFY(!hint.showing());
        clock.advance(2 * second);
        QVERIFY(hint.showing());  // quiet again, still early in its life

        // Dismissed: never again, however long it stays quiet.
        QTest::mouseClick(hint.dismissButton(), Qt::LeftButton);
        QVERIFY(!hint.showing());
        QVERIFY(!hint.isVisible());
        QVERIFY(session->probe.dismissed);
        clock.advance(10 * second);
        QVERIFY(!hint.showing());
        hint.evaluate();
        QVERIFY(!hint.showing());
        host.view()->terminate();
    }

    void stallBannerNeverAfterLateFirstOutput()
    {
        platform::FakeScheduler clock;
        auto session = std::make_shared<TerminalSession>(
            SessionTarget::tool(QStringLiteral("wait"), QStringLiteral("/bin/sh"),
                                {QStringLiteral("-c"), QStringLiteral("read x; echo late; read y")}),
            1, clock.nowNs());
        TerminalHost host(session, TerminalScheme{}, ravelgrid::FontSet(QFont()), clock, {});
        host.start();
        QTRY_VERIFY_WITH_TIMEOUT(host.view()->process().shellPid() > 0, 10000);
        StallHint hint(session, clock);
        clock.advance(15 * second);
        QVERIFY(hint.showing());
        sendText(&host, "go\n");
        QTRY_VERIFY_WITH_TIMEOUT(session->probe.lastOutputAt.has_value(), 10000);
        QCOMPARE(*session->probe.lastOutputAt - session->probe.startedAt, 15 * second);
        for (int i = 0; i < 30; ++i) {
            clock.advance(second);
            QVERIFY(!hint.showing());
        }
        host.view()->terminate();
    }

    void stallBannerOnlyOverLocalShells()
    {
        platform::FakeScheduler clock;
        for (auto target : {SessionTarget::local(), SessionTarget::ssh(QStringLiteral("web")),
                            SessionTarget::tool(QStringLiteral("t"), QStringLiteral("/bin/true"), {})}) {
            auto session = std::make_shared<TerminalSession>(target, 1, clock.nowNs());
            TerminalHost host(session, TerminalScheme{}, ravelgrid::FontSet(QFont()), clock, {});
            QCOMPARE(host.stallHint() != nullptr, target.kind == SessionTarget::Kind::local);
        }
        // A child that ended shows no banner, quiet or not.
        auto session = std::make_shared<TerminalSession>(
            SessionTarget::tool(QStringLiteral("t"), QStringLiteral("/bin/true"), {}), 1, clock.nowNs());
        TerminalHost host(session, TerminalScheme{}, ravelgrid::FontSet(QFont()), clock, {});
        host.start();
        QTRY_VERIFY_WITH_TIMEOUT(!session->running(), 10000);
        StallHint hint(session, clock);
        clock.advance(3 * second);
        QVERIFY(!hint.showing());
    }

    // Only the card takes the pointer; the clear margin around it is the
    // terminal's (a middle click there pastes into the shell).
    void stallBannerMarginReachesTheTerminal()
    {
        platform::FakeScheduler clock;
        auto session = std::make_shared<TerminalSession>(SessionTarget::local(), 1, clock.nowNs());
        TerminalHost host(session, TerminalScheme{}, ravelgrid::FontSet(QFont()), clock, {});
        host.resize(640, 300);
        host.show();
        StallHint* hint = host.stallHint();
        QVERIFY(hint);
        hint->show();
        hint->raise();
        QVERIFY(QTest::qWaitForWindowExposed(&host));
        QVERIFY(hint->height() > 30);
        const auto owner = [&](QPoint p) {
            QWidget* w = host.childAt(p);
            while (w && w != hint && w != host.view())
                w = w->parentWidget();
            return w;
        };
        const int mid = hint->height() / 2;
        for (QPoint margin : {QPoint(3, 3), QPoint(320, 4), QPoint(5, mid), QPoint(636, mid),
                              QPoint(320, hint->height() - 4), QPoint(11, 11)})  // beside the card's rounded corner
            QVERIFY2(owner(margin) == host.view(), qPrintable(QStringLiteral("%1,%2").arg(margin.x()).arg(margin.y())));
        for (QPoint card : {QPoint(320, mid), QPoint(20, mid), QPoint(620, mid)})
            QVERIFY2(owner(card) == hint, qPrintable(QStringLiteral("%1,%2").arg(card.x()).arg(card.y())));
        // A real middle click in the margin arrives at the view.
        bool viewGotIt = false;
        struct Spy : QObject {
            bool* got;
            explicit Spy(bool* g) : got(g) {}
            bool eventFilter(QObject*, QEvent* e) override
            {
                if (e->type() == QEvent::MouseButtonPress)
                    *got = true;
                return false;
            }
        } spy(&viewGotIt);
        host.view()->installEventFilter(&spy);
        QTest::mouseClick(host.window()->windowHandle(), Qt::MiddleButton, {},
                          host.mapTo(host.window(), QPoint(320, 4)));
        host.view()->removeEventFilter(&spy);
        QVERIFY(viewGotIt);
    }

    // Whichever way a pane comes to the front, the keyboard goes with it (to
    // its first field) and the terminal behind it gets nothing: not even
    // after a save greyed out the button the pane's keyboard was last on.
    void panesBroughtForwardTakeTheKeyboard()
    {
        auto settings = freshSettings(SessionExitPolicy::alwaysKeep);
        MainWindow window(*settings, snippetStore());
        window.resize(1000, 700);
        auto cat = window.workspace().open(SessionTarget::tool(QStringLiteral("cat"), QStringLiteral("/bin/cat"), {}));
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        TerminalHost* host = window.hostFor(cat->id);
        QTRY_VERIFY_WITH_TIMEOUT(host->view()->process().shellPid() > 0, 10000);
        QWidget* terminal = host->view();
        QTRY_COMPARE(QApplication::focusWidget(), terminal);
        const std::size_t sent = host->view()->process().sendCount();
        // Keys as the desktop delivers them: to whatever holds the window's keyboard.
        QWindow* handle = window.windowHandle();
        const auto type = [&](const char* text) {
            for (const char* c = text; *c; ++c)
                QTest::keyClick(handle, *c);
        };
        const auto backToTheTerminal = [&] {
            QTest::keyClick(handle, Qt::Key_1, Qt::AltModifier);
            QCOMPARE(QApplication::focusWidget(), terminal);
        };

        // Add host, saved from its button, which then goes grey.
        QTest::mouseClick(window.sidebar()->addHostButton(), Qt::LeftButton);
        auto* addHost = qobject_cast<AddHostView*>(window.toolPane(ToolTab::addHost));
        QVERIFY(addHost);
        QLineEdit* alias = addHost->field(AddHostView::Field::alias);
        QCOMPARE(QApplication::focusWidget(), alias);
        addHost->setConfirm([](const QString&) { return true; });
        type("focusprobe");
        QTest::keyClick(handle, Qt::Key_Tab);
        type("192.0.2.9");
        QSignalSpy saved(addHost, &AddHostView::saveFinished);
        QTest::mouseClick(addHost->saveButton(), Qt::LeftButton);
        QVERIFY(saved.wait(15000));
        QVERIFY(saved.front().front().toBool());

        struct Way {
            const char* name;
            std::function<void()> bring;
            std::function<QWidget*()> expected;
        };
        const auto firstField = [&] { return static_cast<QWidget*>(alias); };
        const std::vector<Way> ways{
            {"sidebar +", [&] { QTest::mouseClick(window.sidebar()->addHostButton(), Qt::LeftButton); }, firstField},
            {"tool chip",
             [&] { QTest::mouseClick(window.tabStrip()->chipFor(ToolTab::addHost), Qt::LeftButton, {}, QPoint(6, 6)); },
             firstField},
            {"Alt+2", [&] { QTest::keyClick(handle, Qt::Key_2, Qt::AltModifier); }, firstField},
            {"Keys header", [&] { QTest::mouseClick(window.sidebar()->keysHeaderButton(), Qt::LeftButton); },
             [&] { return static_cast<QWidget*>(qobject_cast<KeysView*>(window.toolPane(ToolTab::keys))->list()); }},
            {"Snippets header", [&] { QTest::mouseClick(window.snippetsSection()->headerButton(), Qt::LeftButton); },
             [&] {
                 return static_cast<QWidget*>(qobject_cast<SnippetsView*>(window.toolPane(ToolTab::snippets))->list());
             }},
            {"Settings button", [&] { QTest::mouseClick(window.sidebar()->settingsButton(), Qt::LeftButton); },
             [&] { return window.toolPane(ToolTab::settings); }},
            {"Ctrl+,", [&] { QTest::keyClick(handle, Qt::Key_Comma, Qt::ControlModifier); },
             [&] { return window.toolPane(ToolTab::settings); }},
        };
        for (const Way& way : ways) {
            backToTheTerminal();
            way.bring();
            QWidget* focus = QApplication::focusWidget();
            QWidget* expected = way.expected();
            QVERIFY2(focus && (focus == expected || (expected && expected->isAncestorOf(focus) && focus->isVisible())),
                     way.name);
            if (focus == alias) {
                alias->clear();
                type("echo x");
                QTest::keyClick(handle, Qt::Key_Return);
                QCOMPARE(alias->text(), QStringLiteral("echo x"));
            } else {
                type("echo");
            }
            QVERIFY2(host->view()->process().sendCount() == sent, way.name);
        }
        // Even keys sent straight to it: a terminal not shown types nothing.
        QTest::keyClicks(terminal, QStringLiteral("echo y"));
        QTest::keyClick(terminal, Qt::Key_Return);
        QCOMPARE(host->view()->process().sendCount(), sent);
        QVERIFY(!apptests::screenText(host->view()->terminal()).contains(QStringLiteral("echo")));
    }
};

QTEST_MAIN(TabsTests)
#include "TabsTests.moc"
