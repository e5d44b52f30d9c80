// The window's model without a window: workspace, sessions, the key table,
// settings, schemes and appearance.
#include "platform/FakeScheduler.h"
#include "quillmar/app/UserSettings.h"
#include "quillmar/app/shell/KeyRouter.h"
#include "quillmar/app/shell/Shortcuts.h"
#include "quillmar/app/shell/StallProbe.h"
#include "quillmar/app/shell/TabWidgets.h"
#include "quillmar/app/shell/Workspace.h"
#include "quillmar/app/style/AppAppearance.h"
#include "quillmar/app/style/Appearance.h"
#include "quillmar/app/style/Metro.h"
#include "quillmar/app/style/SystemAppearance.h"
#include "quillmar/app/style/TerminalScheme.h"

#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <set>

using namespace quillmar;

namespace {

constexpr std::uint64_t ms = 1'000'000;

struct Fixture {
    QTemporaryDir dir;
    platform::FakeScheduler clock;
    UserSettings settings{dir.filePath(QStringLiteral("quillmar.conf"))};
    Workspace workspace{clock};
    KeyRouter router{settings, clock};

    Fixture() { router.setWorkspace(&workspace); }

    bool key(int k, Qt::KeyboardModifiers m) { return router.handle({KeyStroke::Kind::keyDown, k, m}); }
    void modifiers(Qt::KeyboardModifiers m, int k = Qt::Key_Alt)
    {
        router.handle({KeyStroke::Kind::modifiersChanged, k, m});
    }
    int activeIndex() const
    {
        const auto ids = workspace.tabIDs();
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (workspace.activeID() == ids[i])
                return int(i);
        }
        return -1;
    }
};

}  // namespace

// --- Workspace -----------------------------------------------------------------------------

TEST(Workspace, NewWorkspaceIsEmpty)
{
    platform::FakeScheduler clock;
    Workspace ws(clock);
    EXPECT_TRUE(ws.sessions().empty());
    EXPECT_FALSE(ws.activeID());
    EXPECT_TRUE(ws.openTools().empty());
    EXPECT_TRUE(ws.lastFocused().empty());
    EXPECT_FALSE(ws.settingsScrollTarget());
    EXPECT_TRUE(ws.tabIDs().empty());
}

TEST(Workspace, OrdinalsCountPerTargetFromTheHighestOpen)
{
    platform::FakeScheduler clock;
    Workspace ws(clock);
    auto l1 = ws.open(SessionTarget::local());
    auto l2 = ws.open(SessionTarget::local());
    auto a1 = ws.open(SessionTarget::ssh(QStringLiteral("alpha")));
    auto b1 = ws.open(SessionTarget::ssh(QStringLiteral("beta")));
    auto a2 = ws.open(SessionTarget::ssh(QStringLiteral("alpha")));
    auto t1 = ws.open(SessionTarget::tool(QStringLiteral("Generate key"), QStringLiteral("/usr/bin/ssh-keygen"),
                                          {QStringLiteral("-t"), QStringLiteral("ed25519")}));
    auto t2 = ws.open(SessionTarget::tool(QStringLiteral("Generate key"), QStringLiteral("/usr/bin/ssh-keygen"),
                                          {QStringLiteral("-t"), QStringLiteral("rsa")}));
    EXPECT_EQ(l1->title(), "Local");
    EXPECT_EQ(l2->title(), "Local 2");
    EXPECT_EQ(a1->title(), "alpha");
    EXPECT_EQ(b1->title(), "beta");
    EXPECT_EQ(a2->title(), "alpha 2");
    EXPECT_EQ(t1->title(), "Generate key");
    EXPECT_EQ(t2->title(), "Generate key") << "another argument list is another target";

    // One more than the highest open, not the count: closing Local keeps "Local 2"
    // and the next is "Local 3"; closing every local one starts over.
    ws.close(l1->id);
    EXPECT_EQ(ws.open(SessionTarget::local())->title(), "Local 3");
    for (const auto& s : std::vector(ws.sessions())) {
        if (s->target == SessionTarget::local())
            ws.close(s->id);
    }
    EXPECT_EQ(ws.open(SessionTarget::local())->title(), "Local");
}

TEST(Workspace, OpenMakesTheNewSessionActiveAndTabIDsListSessionsThenToolsInDeclarationOrder)
{
    platform::FakeScheduler clock;
    Workspace ws(clock);
    ws.openTool(ToolTab::settings);
    ws.openTool(ToolTab::addHost);
    auto s1 = ws.open(SessionTarget::local());
    EXPECT_EQ(ws.activeID(), s1->id);
    auto s2 = ws.open(SessionTarget::ssh(QStringLiteral("h")));
    EXPECT_EQ(ws.activeID(), s2->id);
    ws.openTool(ToolTab::keys);
    EXPECT_EQ(ws.tabIDs(), (std::vector<TabID>{s1->id, s2->id, TabID(ToolTab::addHost), TabID(ToolTab::keys),
                                               TabID(ToolTab::settings)}));
}

TEST(Workspace, ReopeningAToolOnlyActivatesIt)
{
    platform::FakeScheduler clock;
    Workspace ws(clock);
    int toolSignals = 0;
    QObject::connect(&ws, &Workspace::openToolsChanged, [&] { ++toolSignals; });
    ws.openTool(ToolTab::settings);
    auto s = ws.open(SessionTarget::local());
    EXPECT_EQ(ws.activeID(), s->id);
    ws.openTool(ToolTab::settings);
    EXPECT_EQ(ws.activeID(), TabID(ToolTab::settings));
    EXPECT_EQ(ws.openTools().size(), 1u);
    EXPECT_EQ(toolSignals, 1);
    EXPECT_EQ(ws.tabIDs().size(), 2u);
}

TEST(Workspace, ClosingTheActiveTabActivatesTheMostRecentlyFocused)
{
    platform::FakeScheduler clock;
    Workspace ws(clock);
    auto a = ws.open(SessionTarget::local());
    auto b = ws.open(SessionTarget::local());
    auto c = ws.open(SessionTarget::local());
    ws.openTool(ToolTab::keys);
    ws.activate(a->id);
    ws.activate(c->id);  // focus order now: b, keys, a, c
    ws.close(c->id);
    EXPECT_EQ(ws.activeID(), a->id);
    ws.close(a->id);
    EXPECT_EQ(ws.activeID(), TabID(ToolTab::keys)) << "tools count as tabs";
    ws.close(TabID(ToolTab::keys));
    EXPECT_EQ(ws.activeID(), b->id);
    ws.close(b->id);
    EXPECT_FALSE(ws.activeID());
    EXPECT_TRUE(ws.tabIDs().empty());
}

TEST(Workspace, ClosingAnInactiveTabKeepsTheActiveOneAndUnknownIdsDoNothing)
{
    platform::FakeScheduler clock;
    Workspace ws(clock);
    auto a = ws.open(SessionTarget::local());
    auto b = ws.open(SessionTarget::local());
    ws.close(a->id);
    EXPECT_EQ(ws.activeID(), b->id);
    ws.close(QUuid::createUuid());
    ws.close(TabID(ToolTab::snippets));  // not open
    ws.activate(QUuid::createUuid());
    ws.activate(TabID(ToolTab::snippets));
    EXPECT_EQ(ws.activeID(), b->id);
    EXPECT_EQ(ws.sessions().size(), 1u);
}

TEST(Workspace, MostRecentSessionOfATarget)
{
    platform::FakeScheduler clock;
    Workspace ws(clock);
    const auto alpha = SessionTarget::ssh(QStringLiteral("alpha"));
    EXPECT_EQ(ws.mostRecentSession(alpha), nullptr);
    auto a1 = ws.open(alpha);
    auto a2 = ws.open(alpha);
    ws.open(SessionTarget::local());
    EXPECT_EQ(ws.mostRecentSession(alpha), a2);
    ws.activate(a1->id);
    EXPECT_EQ(ws.mostRecentSession(alpha), a1);
    EXPECT_EQ(ws.mostRecentSession(SessionTarget::ssh(QStringLiteral("beta"))), nullptr);
}

TEST(Workspace, SettingsScrollTargetSignalsOnlyRealChanges)
{
    platform::FakeScheduler clock;
    Workspace ws(clock);
    int changes = 0;
    QObject::connect(&ws, &Workspace::settingsScrollTargetChanged, [&] { ++changes; });
    ws.setSettingsScrollTarget(QStringLiteral("about"));
    ws.setSettingsScrollTarget(QStringLiteral("about"));
    ws.setSettingsScrollTarget(std::nullopt);
    ws.setSettingsScrollTarget(std::nullopt);
    EXPECT_EQ(changes, 2);
}

TEST(ToolTab, IdsRoundTripAndMatchNoSession)
{
    std::set<TabID> ids;
    for (ToolTab t : allToolTabs) {
        ids.insert(TabID(t));
        EXPECT_EQ(TabID(t).tool(), t);
        EXPECT_FALSE(TabID(t).session());
    }
    EXPECT_EQ(ids.size(), 4u);
    const QUuid session = QUuid::createUuid();
    EXPECT_FALSE(TabID(session).tool());
    EXPECT_EQ(TabID(session).session(), session);
    EXPECT_FALSE(TabID(QUuid()).tool()) << "even the null id is a session's";
    EXPECT_FALSE(ids.count(TabID(QUuid())));
}

TEST(TabWidgets, OneWidgetPerOpenTabKeptUntilItCloses)
{
    platform::FakeScheduler clock;
    Workspace ws(clock);
    std::vector<TabID> made;
    std::vector<TabID> dropped;
    bool refuseSettings = true;
    TabWidgets<QObject> widgets(
        ws,
        [&](const TabID& id) -> QObject* {
            if (id == TabID(ToolTab::settings) && refuseSettings)
                return nullptr;
            made.push_back(id);
            auto* widget = new QObject;
            widget->setProperty("tab", int(made.size()));
            return widget;
        },
        [&](QObject* widget) {
            dropped.push_back(made[std::size_t(widget->property("tab").toInt() - 1)]);
            delete widget;
        });
    auto a = ws.open(SessionTarget::local());
    ws.openTool(ToolTab::settings);
    ws.openTool(ToolTab::keys);
    auto b = ws.open(SessionTarget::local());
    widgets.sync();
    EXPECT_EQ(made, (std::vector<TabID>{a->id, b->id, ToolTab::keys}));
    std::vector<TabID> order;
    for (const auto& [id, widget] : widgets.inOrder())
        order.push_back(id);
    EXPECT_EQ(order, (std::vector<TabID>{a->id, b->id, ToolTab::keys})) << "a tab without a widget is left out";
    EXPECT_FALSE(widgets.find(ToolTab::settings));

    // Again: nothing new for tabs that have one; the refused tab is asked again.
    QObject* kept = widgets.find(b->id);
    refuseSettings = false;
    widgets.sync();
    EXPECT_EQ(made.size(), 4u);
    EXPECT_EQ(made.back(), TabID(ToolTab::settings));
    EXPECT_EQ(widgets.find(b->id), kept);

    ws.close(a->id);
    ws.close(ToolTab::keys);
    widgets.sync();
    EXPECT_EQ(dropped, (std::vector<TabID>{a->id, ToolTab::keys}));
    EXPECT_FALSE(widgets.find(a->id));
    EXPECT_EQ(widgets.find(b->id), kept);
    EXPECT_EQ(ws.lastFocused().size(), ws.tabIDs().size()) << "closed tabs leave the focus order";

    // A widget that went by other means is made anew, not dropped.
    delete widgets.find(b->id);
    widgets.sync();
    EXPECT_EQ(made.size(), 5u);
    EXPECT_EQ(dropped.size(), 2u);
    ws.close(b->id);
    ws.close(ToolTab::settings);
    widgets.sync();
    EXPECT_TRUE(widgets.inOrder().empty());
    EXPECT_EQ(dropped.size(), 4u);
}

// --- TerminalSession -----------------------------------------------------------------------

TEST(TerminalSession, TitleAndSummary)
{
    TerminalSession local(SessionTarget::local(), 1, 0);
    EXPECT_EQ(local.title(), "Local");
    EXPECT_EQ(local.summary(), "Local shell (" + TerminalSession::localShellLine() + ") — running");
    TerminalSession ssh(SessionTarget::ssh(QStringLiteral("web-1")), 3, 0);
    EXPECT_EQ(ssh.title(), "web-1 3");
    EXPECT_EQ(ssh.summary(), "ssh web-1 — running");
    TerminalSession tool(SessionTarget::tool(QStringLiteral("Install key"), QStringLiteral("/usr/bin/ssh-copy-id"),
                                             {QStringLiteral("-i"), QStringLiteral("k.pub"), QStringLiteral("web-1")}),
                         1, 0);
    EXPECT_EQ(tool.title(), "Install key");
    EXPECT_EQ(tool.summary(), "/usr/bin/ssh-copy-id -i k.pub web-1 — running");

    ssh.setCustomName(QStringLiteral("prod"));
    EXPECT_EQ(ssh.title(), "prod");
    ssh.setCustomName(QString());
    EXPECT_EQ(ssh.title(), "web-1 3") << "an empty custom name is no name";
    ssh.setCustomName(std::nullopt);
    EXPECT_EQ(ssh.title(), "web-1 3");

    tool.recordExit(0, QStringLiteral("exited 0"));
    EXPECT_EQ(tool.summary(), "/usr/bin/ssh-copy-id -i k.pub web-1 — exited");
}

TEST(TerminalSession, AnEndIsRecordedOnce)
{
    TerminalSession s(SessionTarget::local(), 1, 0);
    int ends = 0;
    QObject::connect(&s, &TerminalSession::exited, [&] { ++ends; });
    EXPECT_TRUE(s.running());
    EXPECT_FALSE(s.exitCode());
    EXPECT_FALSE(s.exitNoticeDismissed());
    s.recordExit(std::nullopt, QStringLiteral("killed by signal 9"));
    s.recordExit(0, QStringLiteral("exited 0"));
    EXPECT_FALSE(s.running());
    EXPECT_FALSE(s.exitCode());
    EXPECT_EQ(s.exitDescription(), QStringLiteral("killed by signal 9"));
    EXPECT_EQ(ends, 1);
}

TEST(StallProbe, TimingRule)
{
    const std::uint64_t start = 1000 * ms;
    struct Case {
        std::optional<std::uint64_t> lastOutput;
        std::uint64_t now;
        bool due;
    } cases[] = {
        {std::nullopt, start + 1999 * ms, false},  // quiet, but not for 2 s yet
        {std::nullopt, start + 2000 * ms, true},
        {start + 500 * ms, start + 2499 * ms, false},
        {start + 500 * ms, start + 2500 * ms, true},
        {start + 14999 * ms, start + 20000 * ms, true},   // last output within 15 s of the start
        {start + 15000 * ms, start + 20000 * ms, false},  // a session that talked for 15 s is not stuck
        {start + 3000 * ms, start + 1000 * ms, false},    // a clock that reads earlier than the output
    };
    for (const auto& c : cases)
        EXPECT_EQ(StallProbe::quietTooLong(start, c.lastOutput, c.now), c.due)
            << (c.lastOutput ? *c.lastOutput - start : 0) / ms << " " << (c.now - start) / ms;
    StallProbe probe(start);
    EXPECT_FALSE(probe.shouldShowHint(start + 10000 * ms)) << "no view: no hint";
}

// --- KeyRouter -----------------------------------------------------------------------------

TEST(KeyRouter, NewRouter)
{
    Fixture f;
    KeyRouter fresh(f.settings, f.clock);
    EXPECT_FALSE(fresh.showBadges());
    EXPECT_FALSE(fresh.pendingShow());
    EXPECT_DOUBLE_EQ(fresh.badgeDelay, 0.3);
    EXPECT_FALSE(fresh.installed());
    EXPECT_EQ(fresh.workspace(), nullptr);
    EXPECT_FALSE(fresh.handle({KeyStroke::Kind::keyDown, Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier}))
        << "without a workspace every key goes through";
}

// Every shortcut with exactly its modifiers, and the same key with one modifier
// more or less, which must reach the terminal untouched.
TEST(KeyRouter, ShortcutTableWithExactModifiers)
{
    const Qt::KeyboardModifiers C = Qt::ControlModifier, S = Qt::ShiftModifier, A = Qt::AltModifier,
                                M = Qt::MetaModifier;
    struct Row {
        const char* name;
        int key;
        Qt::KeyboardModifiers mods;
    };
    const Row shortcuts[] = {
        {"close", Qt::Key_W, C | S},
        {"new", Qt::Key_T, C | S},
        {"bigger", Qt::Key_Equal, C},
        {"bigger+shift", Qt::Key_Plus, C | S},
        {"bigger plus", Qt::Key_Plus, C},
        {"bigger =+shift", Qt::Key_Equal, C | S},
        {"smaller", Qt::Key_Minus, C},
        {"reset", Qt::Key_0, C},
        {"settings", Qt::Key_Comma, C},
        {"first", Qt::Key_Home, C | S},
        {"last", Qt::Key_End, C | S},
        {"previous", Qt::Key_PageUp, C},
        {"next", Qt::Key_PageDown, C},
        {"tab 1", Qt::Key_1, A},
        {"tab 8", Qt::Key_8, A},
        {"tab last", Qt::Key_9, A},
        {"next ]", Qt::Key_BracketRight, C | S},
        {"next }", Qt::Key_BraceRight, C | S},
        {"previous [", Qt::Key_BracketLeft, C | S},
        {"previous {", Qt::Key_BraceLeft, C | S},
        {"next tab", Qt::Key_Tab, C},
        {"previous tab", Qt::Key_Backtab, C | S},
        {"previous tab 2", Qt::Key_Tab, C | S},
    };
    for (const Row& r : shortcuts) {
        Fixture f;
        f.workspace.open(SessionTarget::local());
        EXPECT_TRUE(f.key(r.key, r.mods)) << r.name;
        // The keypad flag is not a modifier that counts.
        Fixture g;
        g.workspace.open(SessionTarget::local());
        EXPECT_TRUE(g.key(r.key, r.mods | Qt::KeypadModifier)) << r.name << " on the keypad";
        for (Qt::KeyboardModifier extra : {Qt::ControlModifier, Qt::ShiftModifier, Qt::AltModifier, Qt::MetaModifier}) {
            Qt::KeyboardModifiers changed = r.mods ^ extra;
            bool alsoAShortcut = false;
            for (const Row& other : shortcuts)
                alsoAShortcut |= other.key == r.key && other.mods == changed;
            if (alsoAShortcut || changed == Qt::NoModifier)
                continue;
            Fixture h;
            h.workspace.open(SessionTarget::local());
            const auto before = h.workspace.tabIDs();
            EXPECT_FALSE(h.key(r.key, changed)) << r.name << " with modifiers " << int(changed);
            EXPECT_EQ(h.workspace.tabIDs(), before);
            EXPECT_EQ(h.settings.fontSize(), 13.0);
        }
    }
    // Plain keys, Ctrl+letters of the shell and Super chords all go through.
    Fixture f;
    f.workspace.open(SessionTarget::local());
    for (auto [k, m] : std::initializer_list<std::pair<int, Qt::KeyboardModifiers>>{{Qt::Key_T, {}},
                                                                                    {Qt::Key_W, C},
                                                                                    {Qt::Key_C, C},
                                                                                    {Qt::Key_1, {}},
                                                                                    {Qt::Key_1, C},
                                                                                    {Qt::Key_Tab, {}},
                                                                                    {Qt::Key_PageUp, {}},
                                                                                    {Qt::Key_PageUp, S},
                                                                                    {Qt::Key_Equal, {}},
                                                                                    {Qt::Key_T, C | S | M},
                                                                                    {Qt::Key_T, C | S | A},
                                                                                    {Qt::Key_Return, {}}})
        EXPECT_FALSE(f.key(k, m)) << k << " " << int(m);
    EXPECT_EQ(f.workspace.sessions().size(), 1u);
}

// The router carries out the table's window commands and leaves the terminal
// views' own chords to them; no chord means two things.
TEST(KeyRouter, DispatchesFromTheShortcutTable)
{
    std::set<std::pair<int, int>> seen;
    for (const Shortcut& s : shortcuts()) {
        EXPECT_TRUE(seen.insert({s.chord.key, int(s.chord.modifiers)}).second) << s.chord.key;
        Fixture f;
        f.workspace.open(SessionTarget::local());
        const bool window = std::holds_alternative<WindowCommand>(s.command);
        EXPECT_EQ(f.key(s.chord.key, s.chord.modifiers), window) << s.chord.key << " " << int(s.chord.modifiers);
        if (window)
            EXPECT_EQ(windowCommandFor(s.chord.key, s.chord.modifiers), std::get<WindowCommand>(s.command));
    }
    EXPECT_EQ(windowChords().size() + viewKeyBindings().size(), shortcuts().size());
}

TEST(KeyRouter, TabsByPlaceAndStepsWrapAround)
{
    const Qt::KeyboardModifiers C = Qt::ControlModifier, S = Qt::ShiftModifier, A = Qt::AltModifier;
    Fixture f;
    for (int i = 0; i < 3; ++i)
        f.workspace.open(SessionTarget::local());
    f.workspace.openTool(ToolTab::settings);  // place 4
    EXPECT_EQ(f.activeIndex(), 3);
    f.key(Qt::Key_1, A);
    EXPECT_EQ(f.activeIndex(), 0);
    f.key(Qt::Key_3, A);
    EXPECT_EQ(f.activeIndex(), 2);
    f.key(Qt::Key_7, A);  // no seventh tab: nothing
    EXPECT_EQ(f.activeIndex(), 2);
    f.key(Qt::Key_9, A);
    EXPECT_EQ(f.activeIndex(), 3);
    f.key(Qt::Key_PageDown, C);
    EXPECT_EQ(f.activeIndex(), 0) << "next wraps to the first";
    f.key(Qt::Key_PageUp, C);
    EXPECT_EQ(f.activeIndex(), 3) << "previous wraps to the last";
    f.key(Qt::Key_BraceLeft, C | S);
    EXPECT_EQ(f.activeIndex(), 2);
    f.key(Qt::Key_BracketRight, C | S);
    EXPECT_EQ(f.activeIndex(), 3);
    f.key(Qt::Key_Tab, C);
    EXPECT_EQ(f.activeIndex(), 0);
    f.key(Qt::Key_Backtab, C | S);
    EXPECT_EQ(f.activeIndex(), 3);
    f.key(Qt::Key_Home, C | S);
    EXPECT_EQ(f.activeIndex(), 0);
    f.key(Qt::Key_End, C | S);
    EXPECT_EQ(f.activeIndex(), 3);
}

TEST(KeyRouter, NewCloseAndSettings)
{
    const Qt::KeyboardModifiers C = Qt::ControlModifier, S = Qt::ShiftModifier;
    Fixture f;
    EXPECT_TRUE(f.key(Qt::Key_W, C | S)) << "close with nothing open is still the window's key";
    f.key(Qt::Key_T, C | S);
    f.key(Qt::Key_T, C | S);
    ASSERT_EQ(f.workspace.sessions().size(), 2u);
    EXPECT_EQ(f.workspace.sessions()[1]->title(), "Local 2");
    EXPECT_EQ(f.workspace.activeID(), f.workspace.sessions()[1]->id);
    f.key(Qt::Key_W, C | S);
    ASSERT_EQ(f.workspace.sessions().size(), 1u);
    EXPECT_EQ(f.workspace.sessions()[0]->title(), "Local");
    f.workspace.setSettingsScrollTarget(QStringLiteral("about"));
    f.key(Qt::Key_Comma, C);
    EXPECT_EQ(f.workspace.activeID(), TabID(ToolTab::settings));
    EXPECT_FALSE(f.workspace.settingsScrollTarget());
}

TEST(KeyRouter, FontSizeStepsClampAndSurviveBadStoredText)
{
    const Qt::KeyboardModifiers C = Qt::ControlModifier;
    Fixture f;
    f.workspace.open(SessionTarget::local());
    int changes = 0;
    QObject::connect(&f.settings, &UserSettings::fontSizeChanged, [&] { ++changes; });
    f.key(Qt::Key_Equal, C);
    EXPECT_EQ(f.settings.fontSize(), 14.0);
    EXPECT_EQ(changes, 1);
    for (int i = 0; i < 30; ++i)
        f.key(Qt::Key_Equal, C);
    EXPECT_EQ(f.settings.fontSize(), 28.0);
    for (int i = 0; i < 30; ++i)
        f.key(Qt::Key_Minus, C);
    EXPECT_EQ(f.settings.fontSize(), 9.0);
    f.key(Qt::Key_0, C);
    EXPECT_EQ(f.settings.fontSize(), 13.0);

    // What another program left in the file: not a number, out of range.
    struct Stored {
        const char* text;
        int key;
        double after;
    } stored[] = {{"big", Qt::Key_Equal, 14.0}, {"", Qt::Key_Minus, 12.0}, {"nan", Qt::Key_Equal, 14.0},
                  {"40", Qt::Key_Equal, 28.0},  {"3", Qt::Key_Minus, 9.0}, {"12.5", Qt::Key_Equal, 13.5}};
    for (const auto& s : stored) {
        {
            QSettings raw(f.settings.filePath(), QSettings::IniFormat);
            raw.setValue(QStringLiteral("terminal.fontSize"), QString::fromLatin1(s.text));
        }
        UserSettings reread(f.settings.filePath());
        KeyRouter router(reread, f.clock);
        router.setWorkspace(&f.workspace);
        router.handle({KeyStroke::Kind::keyDown, s.key, C});
        reread.sync();
        EXPECT_EQ(reread.fontSize(), s.after) << s.text;
        QSettings raw(f.settings.filePath(), QSettings::IniFormat);
        EXPECT_EQ(raw.value(QStringLiteral("terminal.fontSize")).toDouble(), s.after) << s.text << " is written back";
    }
}

TEST(KeyRouter, BadgesAfterAltHeldAloneOnTheClock)
{
    Fixture f;
    f.workspace.open(SessionTarget::local());
    int changes = 0;
    QObject::connect(&f.router, &KeyRouter::showBadgesChanged, [&] { ++changes; });

    f.modifiers(Qt::AltModifier);
    EXPECT_TRUE(f.router.pendingShow());
    f.clock.advance(299 * ms);
    EXPECT_FALSE(f.router.showBadges());
    f.modifiers(Qt::AltModifier);  // a repeat does not restart the wait
    f.clock.advance(1 * ms);
    EXPECT_TRUE(f.router.showBadges());
    EXPECT_EQ(changes, 1);

    // A key-down hides them; the key is still handled.
    EXPECT_TRUE(f.key(Qt::Key_1, Qt::AltModifier));
    EXPECT_FALSE(f.router.showBadges());

    // Releasing Alt before the delay cancels the show.
    f.modifiers(Qt::AltModifier);
    f.clock.advance(100 * ms);
    f.modifiers(Qt::NoModifier);
    EXPECT_FALSE(f.router.pendingShow());
    f.clock.advance(1000 * ms);
    EXPECT_FALSE(f.router.showBadges());

    // Alt with another modifier is not Alt alone.
    f.modifiers(Qt::AltModifier | Qt::ShiftModifier, Qt::Key_Shift);
    f.clock.advance(1000 * ms);
    EXPECT_FALSE(f.router.showBadges());

    // A key-down while waiting cancels the wait too, and modifier changes are never consumed.
    EXPECT_FALSE(f.router.handle({KeyStroke::Kind::modifiersChanged, Qt::Key_Alt, Qt::AltModifier}));
    f.key(Qt::Key_X, Qt::AltModifier);
    f.clock.advance(1000 * ms);
    EXPECT_FALSE(f.router.showBadges());
}

// --- Settings ------------------------------------------------------------------------------

TEST(UserSettings, DefaultsOfAFirstLaunch)
{
    QTemporaryDir dir;
    UserSettings s(dir.filePath(QStringLiteral("quillmar.conf")));
    EXPECT_EQ(s.appearance(), AppAppearance::dark);
    EXPECT_EQ(s.schemeID(), "match-appearance");
    EXPECT_EQ(s.fontName(), "JetBrainsMonoNFM-Regular");
    EXPECT_EQ(s.fontSize(), 13.0);
    EXPECT_EQ(s.exitPolicy(), SessionExitPolicy::closeIfClean);
    EXPECT_TRUE(s.localExpanded());
    EXPECT_FALSE(s.hostsExpanded());
    EXPECT_TRUE(s.keysExpanded());
    EXPECT_FALSE(s.snippetsExpanded());
}

TEST(UserSettings, EachKeyHasItsOwnSignalAndItsStoredName)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("quillmar.conf"));
    UserSettings s(path);
    struct Key {
        const char* name;
        void (UserSettings::*signal)();
        std::function<void()> change;
        QString stored;
    };
    const Key keys[] = {
        {"appearance", &UserSettings::appearanceChanged, [&] { s.setAppearance(AppAppearance::matrix); }, "matrix"},
        {"terminal.scheme", &UserSettings::schemeIDChanged, [&] { s.setSchemeID(QStringLiteral("nord")); }, "nord"},
        {"terminal.fontName", &UserSettings::fontNameChanged, [&] { s.setFontName(QStringLiteral("Inter-Bold")); },
         "Inter-Bold"},
        {"terminal.fontSize", &UserSettings::fontSizeChanged, [&] { s.setFontSize(15); }, "15"},
        {"session.exitPolicy", &UserSettings::exitPolicyChanged,
         [&] { s.setExitPolicy(SessionExitPolicy::alwaysKeep); }, "alwaysKeep"},
        {"sidebar.localExpanded", &UserSettings::localExpandedChanged, [&] { s.setLocalExpanded(false); }, "false"},
        {"sidebar.hostsExpanded", &UserSettings::hostsExpandedChanged, [&] { s.setHostsExpanded(true); }, "true"},
        {"sidebar.keysExpanded", &UserSettings::keysExpandedChanged, [&] { s.setKeysExpanded(false); }, "false"},
        {"sidebar.snippetsExpanded", &UserSettings::snippetsExpandedChanged, [&] { s.setSnippetsExpanded(true); },
         "true"},
    };
    std::map<std::string, int> counts;
    for (const Key& k : keys)
        QObject::connect(&s, k.signal, [&counts, name = k.name] { ++counts[name]; });
    for (const Key& k : keys) {
        k.change();
        k.change();  // the same value again is no change
        s.sync();
        QSettings raw(path, QSettings::IniFormat);
        EXPECT_EQ(raw.value(QLatin1String(k.name)).toString(), k.stored) << k.name;
        for (const Key& other : keys)
            EXPECT_EQ(counts[other.name], &other <= &k ? 1 : 0) << k.name << " touched " << other.name;
    }
}

TEST(UserSettings, UnreadableTextReadsAsTheDefault)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("quillmar.conf"));
    {
        QSettings raw(path, QSettings::IniFormat);
        raw.setValue(QStringLiteral("appearance"), QStringLiteral("purple"));
        raw.setValue(QStringLiteral("session.exitPolicy"), QStringLiteral("sometimes"));
        raw.setValue(QStringLiteral("sidebar.hostsExpanded"), QStringLiteral("maybe"));
        raw.setValue(QStringLiteral("terminal.fontSize"), QStringLiteral("inf"));
    }
    UserSettings s(path);
    EXPECT_EQ(s.appearance(), AppAppearance::dark);
    EXPECT_EQ(s.appearanceText(), "purple");
    EXPECT_EQ(s.exitPolicy(), SessionExitPolicy::closeIfClean);
    EXPECT_FALSE(s.hostsExpanded());
    EXPECT_EQ(s.fontSize(), 13.0);
}

// --- Schemes and appearance ----------------------------------------------------------------

TEST(TerminalScheme, HexComponents)
{
    struct Case {
        const char* text;
        std::array<std::uint8_t, 3> rgb;
    } cases[] = {
        {"#0E1117", {14, 17, 23}}, {"0E1117", {14, 17, 23}}, {"#ffb74d", {255, 183, 77}}, {"xyz", {0, 0, 0}},
        {"", {0, 0, 0}},           {"#", {0, 0, 0}},         {"#0E111", {0, 0, 0}},       {"#0E11170", {0, 0, 0}},
        {"#0G1117", {0, 0, 0}},    {"##0E1117", {0, 0, 0}},  {" #0E1117", {0, 0, 0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(hexRGBComponents(std::string_view(c.text)), c.rgb) << c.text;
    EXPECT_EQ(schemeColor(QStringLiteral("nonsense")), QColor(0, 0, 0));
}

TEST(TerminalScheme, CatalogueIsWellFormedAndNamedFallsBack)
{
    std::set<QString> ids;
    for (const auto& s : TerminalScheme::catalogue()) {
        EXPECT_TRUE(ids.insert(s.id).second) << "duplicate " << s.id.toStdString();
        EXPECT_FALSE(s.name.isEmpty());
        auto valid = [](const QString& hex) {
            return hex.size() == 7 && hex.startsWith('#') &&
                   (hexRGBComponents(hex) != std::array<std::uint8_t, 3>{0, 0, 0} || hex == "#000000");
        };
        for (const QString& c : {s.background, s.foreground, s.cursor, s.selection})
            EXPECT_TRUE(valid(c)) << s.id.toStdString() << " " << c.toStdString();
        for (const QString& c : s.ansi)
            EXPECT_TRUE(valid(c)) << s.id.toStdString() << " " << c.toStdString();
        // Dark schemes have a dark background, light ones a light one.
        EXPECT_EQ(schemeColor(s.background).lightness() < 128, s.isDark) << s.id.toStdString();
        EXPECT_EQ(TerminalScheme::named(s.id).id, s.id);
    }
    for (const char* id : {"metro-dark", "metro-light", "dot-matrix", "nord", "catppuccin-mocha"})
        EXPECT_TRUE(ids.count(QLatin1String(id))) << id;
    EXPECT_EQ(TerminalScheme::named(QStringLiteral("solarized-maybe")).id, "metro-dark");
    EXPECT_EQ(TerminalScheme::named(QString()).id, "metro-dark");
    EXPECT_EQ(TerminalScheme::named(QStringLiteral("match-appearance")).id, "metro-dark");
    // The metro schemes are the theme's own colours.
    EXPECT_EQ(schemeColor(TerminalScheme::named(QStringLiteral("metro-dark")).background),
              Metro::color(Metro::Role::background, Metro::Variant::dark));
    EXPECT_EQ(schemeColor(TerminalScheme::named(QStringLiteral("metro-light")).foreground),
              Metro::color(Metro::Role::text, Metro::Variant::light));
}

TEST(Appearance, EffectiveScheme)
{
    struct Case {
        const char* scheme;
        const char* appearance;
        bool systemDark;
        const char* expected;
    } cases[] = {
        {"match-appearance", "matrix", false, "dot-matrix"},
        {"match-appearance", "dark", false, "metro-dark"},
        {"match-appearance", "light", true, "metro-light"},
        {"match-appearance", "system", true, "metro-dark"},
        {"match-appearance", "system", false, "metro-light"},
        {"match-appearance", "nonsense", false, "metro-dark"},  // unknown themes are dark
        {"nord", "light", false, "nord"},
        {"nord", "matrix", false, "nord"},
        {"catppuccin-mocha", "system", false, "catppuccin-mocha"},
        {"no-such-scheme", "dark", true, "metro-dark"},
        {"Match-Appearance", "light", false, "metro-dark"},  // exact text only
    };
    for (const auto& c : cases) {
        const QString appearance = QLatin1String(c.appearance);
        const bool dark = colourSchemeIsDark(appearanceFromName(appearance), c.systemDark);
        EXPECT_EQ(effectiveScheme(QLatin1String(c.scheme), appearance, dark).id, QLatin1String(c.expected))
            << c.scheme << " " << c.appearance << " " << c.systemDark;
    }
}

TEST(Appearance, MatrixReadsTheStoredText)
{
    QTemporaryDir dir;
    UserSettings s(dir.filePath(QStringLiteral("quillmar.conf")));
    EXPECT_FALSE(isMatrixAppearance(s));
    s.setAppearance(AppAppearance::matrix);
    EXPECT_TRUE(isMatrixAppearance(s));
    s.setAppearance(AppAppearance::system);
    EXPECT_FALSE(isMatrixAppearance(s));
}

TEST(Appearance, PortalColorSchemeValues)
{
    EXPECT_EQ(SystemAppearance::darkFromPortalValue(1), std::optional<bool>(true));
    EXPECT_EQ(SystemAppearance::darkFromPortalValue(2), std::optional<bool>(false));
    EXPECT_EQ(SystemAppearance::darkFromPortalValue(0), std::nullopt);
    EXPECT_EQ(SystemAppearance::darkFromPortalValue(7), std::nullopt);
}

TEST(Metro, TwelveColoursInThreeVariants)
{
    using R = Metro::Role;
    using V = Metro::Variant;
    struct Row {
        R role;
        QRgb dark, light, matrix;
    } rows[] = {
        {R::background, 0x0E1117, 0xF6F7F9, 0x0D0208}, {R::surface, 0x161B24, 0xFFFFFF, 0x0C160E},
        {R::raised, 0x1E242F, 0xECEFF3, 0x142418},     {R::line, 0x2C3442, 0xE0E4EB, 0x224028},
        {R::text, 0xE1E6EE, 0x161B24, 0x00FF41},       {R::secondaryText, 0xAEB8C8, 0x465263, 0x00C834},
        {R::mutedText, 0x6E7B8B, 0x647080, 0x00A52D},  {R::accent, 0xFFB74D, 0x915500, 0x00FF41},
        {R::success, 0x6FCF97, 0x106E3E, 0x3FD9A0},    {R::warning, 0xF5BF69, 0x825400, 0xC9C94A},
        {R::danger, 0xF86A5C, 0xB02A20, 0xF06458},     {R::onAccent, 0x0E1117, 0xFFFFFF, 0x0D0208},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(Metro::color(r.role, V::dark), QColor::fromRgb(r.dark | 0xFF000000u)) << int(r.role);
        EXPECT_EQ(Metro::color(r.role, V::light), QColor::fromRgb(r.light | 0xFF000000u)) << int(r.role);
        EXPECT_EQ(Metro::color(r.role, V::matrix), QColor::fromRgb(r.matrix | 0xFF000000u)) << int(r.role);
        EXPECT_EQ(Metro::color(r.role, V::dark).alpha(), 255);
    }
}
