// Snippets in the window against a real Secret Service (see
// platform/tests/with-keyring.sh): insertion into a real pty child, the
// notice line, the sidebar section, the sheets and the Snippets pane.
#include "AppTestSupport.h"

#include "platform/FakeScheduler.h"
#include "platform/Keyring.h"
#include "quillmar/app/UserSettings.h"
#include "quillmar/app/panes/SnippetInsertion.h"
#include "quillmar/app/panes/SnippetsView.h"
#include "quillmar/app/sheets/SnippetDeleteSheet.h"
#include "quillmar/app/sheets/SnippetEditSheet.h"
#include "quillmar/app/shell/FocusingTerminalView.h"
#include "quillmar/app/shell/TerminalHost.h"
#include "quillmar/app/shell/Workspace.h"
#include "quillmar/app/sidebar/SidebarSnippetsSection.h"
#include "quillmar/app/sidebar/SnippetTreeModel.h"
#include "quillmar/snippets/KeyringKeySource.h"
#include "quillmar/snippets/SnippetFileFormat.h"
#include "quillmar/snippets/SnippetJson.h"
#include "quillmar/snippets/tests/support/HeldLock.h"
#include "ravelgrid/view/QtScheduler.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

#include <QDir>

#include <csignal>
#include <map>
#include <memory>

using namespace quillmar;

namespace {

constexpr std::uint64_t second = 1'000'000'000ULL;
const QByteArray start("\x1b[200~");
const QByteArray end("\x1b[201~");

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

Snippet snippet(const char* title, const char* command, const char* category = "Test",
                std::vector<std::string> tags = {})
{
    Snippet s;
    s.id = newSnippetId();
    s.title = title;
    s.command = command;
    s.category = category;
    s.tags = std::move(tags);
    return s;
}

// A workspace whose sessions run a raw-mode `cat` into a file, with their
// hosts, and the insertion that writes to them.
struct Window {
    platform::FakeScheduler clock;
    Workspace workspace{clock};
    std::map<QUuid, std::unique_ptr<TerminalHost>> hosts;
    SnippetInsertion insertion{workspace,
                               [this](const QUuid& id) {
                                   auto it = hosts.find(id);
                                   return it == hosts.end() ? nullptr : it->second.get();
                               },
                               clock};

    // A child that copies what it reads to `out`, byte for byte; with
    // bracketed paste asked for when `bracketed`.
    TerminalHost* openReader(const QString& out, bool bracketed)
    {
        const QString script = QStringLiteral("stty raw -echo; %1exec cat > \"$0\"")
                                   .arg(bracketed ? QStringLiteral("printf '\\033[?2004h'; ") : QString());
        return open(SessionTarget::tool(QStringLiteral("reader"), QStringLiteral("/bin/sh"),
                                        {QStringLiteral("-c"), script, out}));
    }

    TerminalHost* open(const SessionTarget& target)
    {
        auto session = workspace.open(target);
        auto host = std::make_unique<TerminalHost>(session, TerminalScheme::named(QStringLiteral("metro-dark")),
                                                   ravelgrid::FontSet::defaultSet(), ravelgrid::QtScheduler::system(),
                                                   [](std::optional<std::int32_t>) {});
        host->resize(640, 400);
        host->show();
        TerminalHost* raw = host.get();
        hosts[session->id] = std::move(host);
        return raw;
    }
};

// A view with no child that keeps each write it would make to one.
class RecordingView final : public FocusingTerminalView {
public:
    std::vector<QByteArray> writes;
    using FocusingTerminalView::send;
    void send(ravelgrid::TerminalView&, std::span<const uint8_t> data) override
    {
        writes.emplace_back(reinterpret_cast<const char*>(data.data()), qsizetype(data.size()));
    }
};

}  // namespace

class SnippetViewsTests : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    int folders_ = 0;

    std::unique_ptr<SnippetStore> loadedStore(const QString& folder = {})
    {
        const QString name = folder.isEmpty() ? QStringLiteral("store%1").arg(++folders_) : folder;
        auto store = std::make_unique<SnippetStore>(SnippetPaths(dir_.filePath(name).toStdString()),
                                                    std::make_unique<KeyringKeySource>());
        store->setLoaded(true);
        store->load();
        // The keyring answers on another thread.
        if (!QTest::qWaitFor([&] { return !store->waitingForKeyring(); }, 20000))
            qWarning("the keyring did not answer within 20 s");
        return store;
    }

private slots:
    void init()
    {
        if (!qEnvironmentVariableIsSet("QM_KEYRING_TEST"))
            QSKIP("needs the throwaway Secret Service of with-keyring.sh");
    }

    void preparingCommands_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("multiLine");
        QTest::newRow("plain") << QByteArray("ls -la") << QByteArray("ls -la") << false;
        QTest::newRow("trailing space kept") << QByteArray("ls ") << QByteArray("ls ") << false;
        QTest::newRow("two line feeds") << QByteArray("ls -la\n\n") << QByteArray("ls -la") << false;
        QTest::newRow("crlf") << QByteArray("ls\r\n") << QByteArray("ls") << false;
        QTest::newRow("cr") << QByteArray("ls\r") << QByteArray("ls") << false;
        QTest::newRow("mixed tail") << QByteArray("ls\r\n\r\n\r") << QByteArray("ls") << false;
        QTest::newRow("interior lf") << QByteArray("a\nb") << QByteArray("a\nb") << true;
        QTest::newRow("interior cr") << QByteArray("a\rb") << QByteArray("a\nb") << true;
        QTest::newRow("interior crlf") << QByteArray("a\r\nb\r\n") << QByteArray("a\nb") << true;
        QTest::newRow("only breaks") << QByteArray("\r\n\n") << QByteArray("") << false;
    }
    void preparingCommands()
    {
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, text);
        QFETCH(bool, multiLine);
        const PreparedSnippet p = prepareSnippetCommand(command.toStdString());
        QCOMPARE(QByteArray::fromStdString(p.text), text);
        QCOMPARE(p.multiLine, multiLine);
    }

    void bracketedPasteCannotBeEnded_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("safe");
        QTest::newRow("end marker") << QByteArray("a\x1b[201~b") << QByteArray("ab");
        QTest::newRow("marker twice") << QByteArray("\x1b[201~\x1b[201~x") << QByteArray("x");
        QTest::newRow("tab and lf kept") << QByteArray("a\tb\nc") << QByteArray("a\tb\nc");
        QTest::newRow("controls removed") << QByteArray("a\x03\x04\x1b\x7f"
                                                        "b")
                                          << QByteArray("a\x7f"
                                                        "b");
        QTest::newRow("split marker stays plain") << QByteArray("\x1b\x01[201~") << QByteArray("[201~");
        QTest::newRow("utf8 kept") << QByteArray("echo \xc3\xa9") << QByteArray("echo \xc3\xa9");
    }
    void bracketedPasteCannotBeEnded()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, safe);
        QCOMPARE(QByteArray::fromStdString(bracketedPasteSafe(text.toStdString())), safe);
    }

    // The bytes a real child reads, with bracketed paste on and off.
    void bytesReachingTheChild()
    {
        Window w;
        const QString onFile = dir_.filePath(QStringLiteral("on.bytes"));
        TerminalHost* on = w.openReader(onFile, true);
        QTRY_VERIFY_WITH_TIMEOUT(on->view()->terminal().bracketedPasteMode && QFile::exists(onFile), 10000);
        QByteArray expected;
        const std::vector<std::pair<const char*, QByteArray>> onCases = {
            {"ls -la\n\n", start + "ls -la" + end},
            {"a\nb", start + "a\nb" + end},
            {"a\r\nb\r\n", start + "a\nb" + end},
            {"ls\r", start + "ls" + end},
            {"echo x\x1b[201~; rm -rf y", start + "echo x; rm -rf y" + end},
        };
        for (const auto& [command, bytes] : onCases) {
            w.insertion.insert(snippet("t", command));
            expected += bytes;
            QTRY_COMPARE_WITH_TIMEOUT(readFile(onFile), expected, 10000);
        }
        QVERIFY(!w.insertion.notice());

        const QString offFile = dir_.filePath(QStringLiteral("off.bytes"));
        TerminalHost* off = w.openReader(offFile, false);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(offFile), 10000);
        QVERIFY(!off->view()->terminal().bracketedPasteMode);
        w.insertion.insert(snippet("t", "ls -la\n"));
        QTRY_COMPARE_WITH_TIMEOUT(readFile(offFile), QByteArray("ls -la"), 10000);
        w.insertion.insert(snippet("t", "pwd\r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(readFile(offFile), QByteArray("ls -lapwd"), 10000);

        // Several lines without the mode: copied instead, nothing sent.
        const std::vector<std::pair<const char*, QString>> copied = {
            {"a\nb\n", QStringLiteral("a\nb")}, {"a\rb", QStringLiteral("a\nb")}, {"x\r\ny", QStringLiteral("x\ny")}};
        for (const auto& [command, clip] : copied) {
            QApplication::clipboard()->setText(QStringLiteral("before"));
            w.insertion.insert(snippet("t", command));
            QCOMPARE(QApplication::clipboard()->text(), clip);
            QCOMPARE(w.insertion.notice(), std::optional<QString>(SnippetInsertion::copiedInsteadNotice));
        }
        w.insertion.insert(snippet("t", "!"));
        QTRY_COMPARE_WITH_TIMEOUT(readFile(offFile), QByteArray("ls -lapwd!"), 10000);
    }

    // Cleaned as any paste is, whatever the mode, and in one write.
    void aSnippetIsOnePasteWrite()
    {
        RecordingView view;
        view.feed(std::string_view("\x1b[?2004h"));
        QVERIFY(view.terminal().bracketedPasteMode);
        QVERIFY(view.pasteSnippet(QStringLiteral("a\nb\x0f\x1b\u0085\u009b\x7f"
                                                 "c\td")));
        QCOMPARE(view.writes, std::vector<QByteArray>{start + "a\nbc\td" + end});

        view.writes.clear();
        view.feed(std::string_view("\x1b[?2004l"));
        QVERIFY(view.pasteSnippet(QString::fromLatin1("ls\x0f -la\0\x1b", 9)));
        QCOMPARE(view.writes, std::vector<QByteArray>{"ls -la"});
        // Lines need the markers; without them nothing is written.
        QVERIFY(!view.pasteSnippet(QStringLiteral("a\rb")));
        QVERIFY(!view.pasteSnippet(QStringLiteral("a\nb")));
        QCOMPARE(view.writes.size(), std::size_t(1));
    }

    // Without bracketed paste zsh takes each control character as a key:
    // Ctrl+O runs the line, Ctrl+J ends it. A snippet never runs by itself.
    void controlsNeverRunACommandInAShellWithoutBracketedPaste()
    {
        const QString zsh = QStandardPaths::findExecutable(QStringLiteral("zsh"));
        if (zsh.isEmpty())
            QSKIP("needs zsh");
        Window w;
        QTemporaryDir work;
        const QString d = work.path();
        TerminalHost* host = w.open(SessionTarget::tool(QStringLiteral("zsh"), zsh, {QStringLiteral("-f")}));
        FocusingTerminalView* view = host->view();
        view->send(QStringLiteral("unset zle_bracketed_paste; PS1='> '; cd %1; touch ready\r").arg(d).toStdString());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(d + QStringLiteral("/ready")), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!view->terminal().bracketedPasteMode, 10000);

        const std::vector<std::pair<const char*, QStringList>> cases = {
            {"touch o1\x0f", {QStringLiteral("o1")}},
            {"touch o2\x0f; touch o3", {QStringLiteral("o2"), QStringLiteral("o3")}},
            {"touch j1\x0a", {QStringLiteral("j1")}},
        };
        for (const auto& [command, files] : cases) {
            w.insertion.insert(snippet("t", command));
            QVERIFY(!w.insertion.notice());
            // Once the line shows at the prompt, a control key in it would have run it.
            QTRY_VERIFY2_WITH_TIMEOUT(
                apptests::screenText(view->terminal()).contains(QStringLiteral("touch ") + files.back()),
                qPrintable(apptests::screenText(view->terminal())), 10000);
            QTest::qWait(400);
            for (const QString& f : files)
                QVERIFY2(!QFile::exists(d + QLatin1Char('/') + f),
                         qPrintable(f + QStringLiteral(" ran without Return")));
            // The user's Return runs what was inserted.
            view->send(std::string_view("\r"));
            for (const QString& f : files)
                QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(d + QLatin1Char('/') + f), 10000);
        }
        // Ctrl+J inside makes two lines: nothing goes to the shell at all.
        w.insertion.insert(snippet("t", "touch j2\x0a touch j3"));
        QCOMPARE(w.insertion.notice(), std::optional<QString>(SnippetInsertion::copiedInsteadNotice));
        view->send(std::string_view("\r"));
        QTest::qWait(400);
        QVERIFY(!QFile::exists(d + QStringLiteral("/j2")));
        QVERIFY(!QFile::exists(d + QStringLiteral("/j3")));
    }

    // No running terminal in front: nothing sent, the clipboard untouched.
    void insertionNeedsARunningTerminal()
    {
        Window w;
        const Snippet s = snippet("t", "echo hi");
        w.insertion.insert(s);  // no tab at all
        QCOMPARE(w.insertion.notice(), std::optional<QString>(SnippetInsertion::noTerminalNotice));

        const QString file = dir_.filePath(QStringLiteral("tool.bytes"));
        TerminalHost* host = w.openReader(file, false);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(file), 10000);
        QApplication::clipboard()->setText(QStringLiteral("kept"));
        w.workspace.openTool(ToolTab::settings);
        w.clock.advance(6 * second);
        QVERIFY(!w.insertion.notice());
        w.insertion.insert(s);
        QCOMPARE(w.insertion.notice(), std::optional<QString>(SnippetInsertion::noTerminalNotice));
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("kept"));

        // Back on the terminal it goes through; once the child ended it doesn't.
        w.workspace.activate(host->session()->id);
        w.insertion.insert(snippet("t", "ok"));
        QTRY_COMPARE_WITH_TIMEOUT(readFile(file), QByteArray("ok"), 10000);
        ::kill(host->view()->process().shellPid(), SIGKILL);
        QTRY_VERIFY_WITH_TIMEOUT(!host->session()->running(), 10000);
        w.clock.advance(6 * second);
        w.insertion.insert(s);
        QCOMPARE(w.insertion.notice(), std::optional<QString>(SnippetInsertion::noTerminalNotice));
    }

    void copyIsExact()
    {
        Window w;
        w.insertion.copy(snippet("t", "printf 'x\\n'\r\n\n"));
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("printf 'x\\n'\r\n\n"));
        QVERIFY(!w.insertion.notice());
    }

    // Each notice clears 5 s after it was shown unless another replaced it.
    void noticesClearOnTheClock()
    {
        Window w;
        w.insertion.showNotice(QStringLiteral("first"));
        w.clock.advance(3 * second);
        w.insertion.showNotice(QStringLiteral("second"));
        w.clock.advance(2 * second);
        QCOMPARE(w.insertion.notice(), std::optional<QString>(QStringLiteral("second")));
        w.clock.advance(3 * second - 1);
        QCOMPARE(w.insertion.notice(), std::optional<QString>(QStringLiteral("second")));
        w.clock.advance(1);
        QVERIFY(!w.insertion.notice());

        w.insertion.showNotice(QStringLiteral("same"));
        w.clock.advance(3 * second);
        w.insertion.showNotice(QStringLiteral("same"));
        w.clock.advance(2 * second);
        QVERIFY(!w.insertion.notice());
    }

    void sidebarSectionFilters()
    {
        auto store = loadedStore();
        QVERIFY(!store->add(snippet("Running containers", "docker ps -a", "Containers", {"linux", "macos"})));
        QVERIFY(!store->add(snippet("Brew update", "brew update", "Containers", {"macos"})));
        QVERIFY(!store->add(snippet("Capital tag", "echo cap", "Zeta", {"Linux"})));
        Window w;
        QTemporaryDir config;
        UserSettings settings(config.filePath(QStringLiteral("quillmar.conf")));
        QLineEdit filter;
        SidebarSnippetsSection section(*store, w.insertion, w.workspace, settings, &filter);

        const auto containers = [&] { return section.groupIndex(QStringLiteral("Containers")); };
        const auto isOpen = [&](const QModelIndex& group) { return section.isOpen(group.data().toString()); };
        QVERIFY(containers().isValid());
        QVERIFY(!isOpen(containers()));
        QVERIFY(section.groupIndex(QStringLiteral("Zeta")).isValid());
        QCOMPARE(store->categories().indexOf(QStringLiteral("Containers")), containers().row());

        // Marks: "linux" wins, "macos" alone, "Linux" is no tag of ours.
        // (A filter all three pass opens their groups.)
        filter.setText(QStringLiteral("e"));
        const auto textOf = [&](const char* title) {
            for (const Snippet& s : store->allSnippets())
                if (s.title == title)
                    return section.snippetIndex(QString::fromStdString(s.id)).data().toString();
            return QString();
        };
        QCOMPARE(textOf("Running containers"), QStringLiteral("Running containers  \u00B7 linux"));
        QCOMPARE(textOf("Brew update"), QStringLiteral("Brew update  \u00B7 macOS"));
        QCOMPARE(textOf("Capital tag"), QStringLiteral("Capital tag"));
        filter.clear();

        filter.setText(QStringLiteral("  DOCKER\t"));
        QVERIFY(isOpen(containers()));
        QVERIFY(!section.groupIndex(QStringLiteral("Zeta")).isValid());
        QCOMPARE(section.tree()->model()->rowCount(), 2);  // the group and its one row
        // Tags are searched too, lower-cased.
        filter.setText(QStringLiteral("LINUX"));
        QVERIFY(section.groupIndex(QStringLiteral("Zeta")).isValid());

        // Blank filter: groups follow what the user opened.
        filter.setText(QStringLiteral("   "));
        QVERIFY(!isOpen(containers()));
        section.setOpen(QStringLiteral("Containers"), true);
        QVERIFY(section.openCategories().contains(QStringLiteral("Containers")));
        filter.setText(QStringLiteral("zzz-nothing"));
        QVERIFY(!section.groupIndex(QStringLiteral("Containers")).isValid());
        filter.clear();
        QVERIFY(isOpen(containers()));

        // The notice shows under the header until it clears.
        w.insertion.insert(snippet("t", "x"));
        QVERIFY(!section.noticeText()->isHidden());
        QCOMPARE(section.noticeText()->text(), SnippetInsertion::noTerminalNotice);
        w.clock.advance(5 * second);
        QVERIFY(section.noticeText()->isHidden());

        // The menu, in order.
        const QString id = QString::fromStdString(store->allSnippets().front().id);
        std::unique_ptr<QMenu> menu(section.menuFor(id, nullptr));
        QStringList entries;
        for (QAction* a : menu->actions())
            entries << (a->isSeparator() ? QStringLiteral("-") : a->text());
        QCOMPARE(entries, (QStringList{QStringLiteral("Insert"), QStringLiteral("Copy"), QStringLiteral("-"),
                                       QStringLiteral("Edit\u2026"), QStringLiteral("Delete\u2026")}));
        menu->actions().at(1)->trigger();
        QCOMPARE(QApplication::clipboard()->text(), QString::fromStdString(store->allSnippets().front().command));

        // "Edit…" hands over the stored snippet, id kept, not new.
        section.requestEdit(id);
        QVERIFY(section.editSheet());
        QVERIFY(!section.editSheet()->request().isNew);
        QCOMPARE(QString::fromStdString(section.editSheet()->request().snippet.id), id);
        QCOMPARE(section.editSheet()->windowModality(), Qt::WindowModal);
        section.editSheet()->reject();
    }

    void doubleClickInserts()
    {
        auto store = loadedStore();
        QVERIFY(!store->add(snippet("Greeting", "echo hello\n", "Mine")));
        Window w;
        QTemporaryDir config;
        UserSettings settings(config.filePath(QStringLiteral("quillmar.conf")));
        settings.setSnippetsExpanded(true);
        QLineEdit filter;
        SidebarSnippetsSection section(*store, w.insertion, w.workspace, settings, &filter);
        section.resize(230, 400);
        section.show();
        const QString file = dir_.filePath(QStringLiteral("dbl.bytes"));
        w.openReader(file, false);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(file), 10000);
        filter.setText(QStringLiteral("greeting"));
        const QModelIndex group = section.groupIndex(QStringLiteral("Mine"));
        QVERIFY(group.isValid() && section.tree()->model()->rowCount() == 2);
        const QModelIndex row = section.tree()->model()->index(group.row() + 1, 0);
        // The whole title (the row may be cut short), then the command.
        QCOMPARE(row.data(Qt::ToolTipRole).toString(), QStringLiteral("Greeting\necho hello\n"));
        const QRect rect = section.tree()->visualRect(row);
        QVERIFY(rect.isValid());
        // As a pointer does it: a press and release, then the double-click.
        QTest::mouseClick(section.tree()->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseDClick(section.tree()->viewport(), Qt::LeftButton, {}, rect.center());
        QTRY_COMPARE_WITH_TIMEOUT(readFile(file), QByteArray("echo hello"), 10000);
    }

    // With the file unreadable only the message shows, and nothing is offered.
    void loadErrorShowsOnlyTheMessage()
    {
        const QString folder = dir_.filePath(QStringLiteral("broken"));
        QVERIFY(QDir().mkpath(folder));
        QFile bad(folder + QStringLiteral("/snippets"));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write("not a snippets file");
        bad.close();
        auto store = loadedStore(QStringLiteral("broken"));
        QVERIFY(store->hasLoadError());

        Window w;
        QTemporaryDir config;
        UserSettings settings(config.filePath(QStringLiteral("quillmar.conf")));
        settings.setSnippetsExpanded(true);
        QLineEdit filter;
        SidebarSnippetsSection section(*store, w.insertion, w.workspace, settings, &filter);
        section.show();
        w.insertion.showNotice(QStringLiteral("pending"));
        QVERIFY(section.errorText()->isVisible());
        QCOMPARE(section.errorText()->text(), store->loadError());
        QVERIFY(!section.noticeText()->isVisible());
        QVERIFY(!section.tree()->isVisible());

        SnippetsView view(*store, w.clock);
        view.show();
        QVERIFY(view.errorText()->isVisible());
        QVERIFY(!view.actions()->isVisible());
        QVERIFY(!view.list()->isVisible());
        view.addSnippet();
        QVERIFY(!view.editSheet());
        QCOMPARE(readFile(folder + QStringLiteral("/snippets")), QByteArray("not a snippets file"));
    }

    // Add, edit and delete through the sheets reach the encrypted file.
    void sheetsReachTheFile()
    {
        const QString folder = QStringLiteral("sheets");
        auto store = loadedStore(folder);
        Window w;
        QWidget window;
        SnippetsView view(*store, w.clock, &window);
        window.show();

        view.addSnippet();
        QVERIFY(view.editSheet());
        QVERIFY(view.editSheet()->request().isNew);
        QCOMPARE(view.editSheet()->windowModality(), Qt::WindowModal);
        view.editSheet()->titleField()->setText(QStringLiteral("Secret title"));
        view.editSheet()->commandField()->setPlainText(QStringLiteral("uname -a"));
        view.editSheet()->categoryField()->setEditText(QStringLiteral("System"));
        view.editSheet()->tagsField()->setText(QStringLiteral("linux, macos"));
        QVERIFY(view.editSheet()->save());
        QTRY_VERIFY(!view.editSheet());

        const auto reread = [&] {
            auto again = loadedStore(folder);
            std::optional<Snippet> found;
            for (const Snippet& s : again->allSnippets())
                if (s.category == "System")
                    found = s;
            return found;
        };
        auto added = reread();
        QVERIFY(added);
        QCOMPARE(added->title, std::string("Secret title"));
        QCOMPARE(added->tags, (std::vector<std::string>{"linux", "macos"}));
        QVERIFY(!readFile(dir_.filePath(folder + QStringLiteral("/snippets"))).contains("Secret title"));

        // A refused edit keeps the sheet open with the store's sentence.
        view.select(QString::fromStdString(added->id));
        view.editSelected();
        QVERIFY(view.editSheet());
        QCOMPARE(view.editSheet()->titleField()->text(), QStringLiteral("Secret title"));
        view.editSheet()->titleField()->clear();
        QVERIFY(!view.editSheet()->save());
        QVERIFY(!view.editSheet()->errorText()->text().isEmpty());
        view.editSheet()->titleField()->setText(QStringLiteral("Renamed"));
        QVERIFY(view.editSheet()->save());
        QTRY_VERIFY(!view.editSheet());
        QCOMPARE(reread()->title, std::string("Renamed"));
        QCOMPARE(reread()->id, added->id);

        view.select(QString::fromStdString(added->id));
        view.deleteSelected();
        QVERIFY(view.deleteSheet());
        QVERIFY(view.deleteSheet()->confirm());
        QTRY_VERIFY(!view.deleteSheet());
        QVERIFY(!reread());

        view.resetToFactory();
        QCOMPARE(loadedStore(folder)->allSnippets().size(), store->allSnippets().size());
        QVERIFY(view.notice());
        w.clock.advance(5 * second);
        QVERIFY(!view.notice());
    }

    // A sheet that can't save says why in full, as the sheet grows to hold
    // the sentence; under another window's lock it keeps what was typed and
    // saves once the lock is free.
    void sheetsShowTheirWholeError()
    {
        const QString folder = QStringLiteral("whole");
        auto store = loadedStore(folder);
        Window w;
        QWidget window;
        SnippetsView view(*store, w.clock, &window);
        window.resize(900, 600);
        window.show();
        const auto whole = [](QLabel* label) {
            return label->isVisible() && label->height() >= label->heightForWidth(label->width()) &&
                   label->window()->rect().contains(label->geometry());
        };

        // Another window deleted it meanwhile.
        const Snippet gone = store->allSnippets().front();
        view.select(QString::fromStdString(gone.id));
        view.deleteSelected();
        QVERIFY(QTest::qWaitForWindowExposed(view.deleteSheet()));
        QVERIFY(!store->remove(QString::fromStdString(gone.id)));
        QVERIFY(!view.deleteSheet()->confirm());
        QCOMPARE(view.deleteSheet()->errorText()->text(),
                 QStringLiteral("That snippet no longer exists. Nothing was changed."));
        QVERIFY(whole(view.deleteSheet()->errorText()));
        view.deleteSheet()->reject();
        QTRY_VERIFY(!view.deleteSheet());

        const QString busy = QStringLiteral("Another quillmar window is saving the snippets; try again.");
        const QByteArray before = readFile(store->snippetsFilePath());
        testing::HeldLock other(dir_.filePath(folder));
        QVERIFY(other.held());
        view.addSnippet();
        QVERIFY(QTest::qWaitForWindowExposed(view.editSheet()));
        view.editSheet()->titleField()->setText(QStringLiteral("Typed while locked"));
        view.editSheet()->commandField()->setPlainText(QStringLiteral("echo locked"));
        QVERIFY(!view.editSheet()->save());
        QCOMPARE(view.editSheet()->errorText()->text(), busy);
        QVERIFY(whole(view.editSheet()->errorText()));
        const Snippet kept = store->allSnippets().front();
        view.select(QString::fromStdString(kept.id));
        view.resetToFactory();
        QCOMPARE(view.notice(), std::optional(busy));
        QVERIFY(whole(view.noticeText()));
        QCOMPARE(readFile(store->snippetsFilePath()), before);

        other.release();
        QCOMPARE(view.editSheet()->titleField()->text(), QStringLiteral("Typed while locked"));
        QVERIFY(view.editSheet()->save());
        QTRY_VERIFY(!view.editSheet());
        const auto again = loadedStore(folder);
        QVERIFY(std::any_of(again->allSnippets().begin(), again->allSnippets().end(),
                            [](const Snippet& s) { return s.title == "Typed while locked"; }));
    }

    // After a delete the keyboard is on the list, at the snippet that took the
    // deleted one's place, never on "Reset to Factory Set…"; Return alone at
    // the delete and the reset questions keeps the user's snippets.
    void destructiveQuestionsKeepSnippetsOnReturn()
    {
        auto store = loadedStore();
        Snippet first = snippet("Mine first", "echo 1", "Mine");
        Snippet second = snippet("Mine second", "echo 2", "Mine");
        QVERIFY(!store->add(first));
        QVERIFY(!store->add(second));
        Window w;
        QWidget window;
        auto* layout = new QVBoxLayout(&window);
        auto* view = new SnippetsView(*store, w.clock, &window);
        layout->addWidget(view);
        window.resize(900, 600);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        const auto button = [&](const QString& text) {
            for (QPushButton* b : view->actions()->findChildren<QPushButton*>())
                if (b->text() == text)
                    return b;
            return static_cast<QPushButton*>(nullptr);
        };
        QPushButton* deleteButton = button(QStringLiteral("Delete\u2026"));
        QPushButton* resetButton = button(QStringLiteral("Reset to Factory Set\u2026"));
        QVERIFY(deleteButton && resetButton);
        const auto stored = [&](const Snippet& s) { return store->snippet(QString::fromStdString(s.id)).has_value(); };

        view->select(QString::fromStdString(first.id));
        QTest::mouseClick(deleteButton, Qt::LeftButton);
        QPointer<SnippetDeleteSheet> sheet = view->deleteSheet();
        QVERIFY(sheet);
        QVERIFY(QTest::qWaitForWindowActive(sheet));
        QTest::keyClick(sheet->windowHandle(), Qt::Key_Return);
        QTRY_VERIFY(!sheet);
        QVERIFY(stored(first));

        QTest::mouseClick(deleteButton, Qt::LeftButton);
        sheet = view->deleteSheet();
        QVERIFY(sheet);
        QTest::mouseClick(sheet->deleteButton(), Qt::LeftButton);
        QTRY_VERIFY(!sheet);
        QVERIFY(!stored(first));
        // Where the keyboard is once the window is active again.
        QCOMPARE(window.focusWidget(), static_cast<QWidget*>(view->list()));
        QCOMPARE(view->selectedId(), std::optional(QString::fromStdString(second.id)));

        // The reset question, reached from its button, answered with Return.
        bool cancelByDefault = false;
        apptests::onEachModal(view, [&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            cancelByDefault = box && box->defaultButton() == box->button(QMessageBox::Cancel);
            QTest::keyClick(modal, Qt::Key_Return);
            return true;
        });
        QTest::mouseClick(resetButton, Qt::LeftButton);
        QVERIFY(cancelByDefault);
        QVERIFY(stored(second));
    }

    // An export file is untrusted: it brings only what the editor would save.
    void importTakesOnlyWhatTheEditorWould()
    {
        auto store = loadedStore();
        Window w;
        SnippetsView view(*store, w.clock);
        const Snippet tidy = snippet("  Tidy me\t", "line one\r\nline two\r", "  ");
        std::vector<Snippet> list = {tidy,
                                     snippet("   ", "ls", "X"),
                                     snippet("", "ls", "X"),
                                     snippet("ok", "", "X"),
                                     snippet("Esc", "printf '\x1b[2J'", "X"),
                                     snippet("Bell", "echo \a", "X"),
                                     snippet("cr\rtitle", "ls", "X")};
        list.push_back(snippet("nul", "ls", "X"));
        list.back().title = std::string("nul\0title", 9);
        const QString file = dir_.filePath(QStringLiteral("hostile.qmsnippets"));
        auto sealed = SnippetFileFormat::sealExport("pw", SnippetJson::encode(list), 1000);
        QVERIFY(sealed.ok());
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(sealed.value().data(), qint64(sealed.value().size()));
        out.close();

        QVERIFY(view.prepareImport(file, QStringLiteral("pw")));
        const QString summary = view.importSummary();
        for (const char* sentence :
             {"The file adds 1 snippet and replaces 0 snippets.",
              "1 snippet was tidied as the editor saves snippets: spaces trimmed, line breaks made plain, a blank "
              "category filed under \"Uncategorized\".",
              "2 snippets were left out. A snippet needs a title.",
              "1 snippet was left out. A snippet needs a command.",
              "2 snippets were left out. A snippet's command can't hold control characters other than tabs and line "
              "breaks.",
              "2 snippets were left out. A snippet's title can't hold control characters."})
            QVERIFY2(summary.contains(QString::fromUtf8(sentence)), qPrintable(summary));
        QVERIFY(view.applyImport(SnippetImportChoice::keepExisting));
        const auto taken = store->snippet(QString::fromStdString(tidy.id));
        QVERIFY(taken);
        QCOMPARE(taken->title, std::string("Tidy me"));
        QCOMPARE(taken->command, std::string("line one\nline two\n"));
        QCOMPARE(taken->category, std::string("Uncategorized"));
        for (std::size_t i = 1; i < list.size(); ++i)
            QVERIFY(!store->snippet(QString::fromStdString(list[i].id)));
    }

    void exportThenImportOnAFreshStore()
    {
        auto store = loadedStore();
        const Snippet mine = snippet("Exported one", "echo exported", "Mine");
        QVERIFY(!store->add(mine));
        Window w;
        SnippetsView view(*store, w.clock);
        const QString file = dir_.filePath(QStringLiteral("export.qmsnippets"));
        QVERIFY(!view.exportTo(file, QStringLiteral("pass one"), QStringLiteral("pass two"), 1000));
        QCOMPARE(view.notice(),
                 std::optional<QString>(QStringLiteral("The passphrases don't match. Nothing was exported.")));
        QVERIFY(!QFile::exists(file));
        QVERIFY(view.exportTo(file, QStringLiteral("pass one"), QStringLiteral("pass one"), 1000));
        QVERIFY(QFile::exists(file));

        // A fresh store holding an older copy of one of them.
        auto fresh = loadedStore();
        Snippet older = mine;
        older.command = "echo older";
        QVERIFY(!fresh->add(older));
        SnippetsView freshView(*fresh, w.clock);
        QVERIFY(!freshView.prepareImport(file, QStringLiteral("wrong")));
        QVERIFY(!freshView.hasPendingImport());
        QVERIFY(freshView.prepareImport(file, QStringLiteral("pass one")));
        const QString summary = freshView.importSummary();
        // The factory set is on both sides unchanged; only ours differs.
        QVERIFY2(summary.startsWith(QStringLiteral("The file adds 0 snippets and replaces 1 snippet.")),
                 qPrintable(summary));
        QVERIFY2(summary.contains(QStringLiteral("Exported one")), qPrintable(summary));
        QVERIFY(freshView.applyImport(SnippetImportChoice::replaceExisting));
        QCOMPARE(fresh->snippet(QString::fromStdString(mine.id))->command, std::string("echo exported"));
        QCOMPARE(fresh->allSnippets().size(), store->allSnippets().size());
    }

    // A title or a command with hidden or direction characters reads spelt
    // out in the pane, the sidebar's row and tooltip, the delete question and
    // the import question; what is stored and copied stays as it was.
    void titlesAndCommandsAreSpeltOut_data() { apptests::hiddenCharacterRows(); }
    void titlesAndCommandsAreSpeltOut()
    {
        QFETCH(QString, hidden);
        QFETCH(QString, spelt);
        auto store = loadedStore();
        const auto with = [](const QString& between) {
            return std::pair(QStringLiteral("Keep") + between + QStringLiteral("safe"),
                             QStringLiteral("echo SAFE ") + between + QStringLiteral("\"DEWNP\" > ~/x"));
        };
        const auto [title, command] = with(hidden);
        const auto [shownTitle, shownCommand] = with(spelt);
        Snippet s = snippet("", "", "Mine", {"linux"});
        s.title = title.toStdString();
        s.command = command.toStdString();
        QVERIFY(!store->add(s));
        const QString id = QString::fromStdString(s.id);
        Window w;

        SnippetsView view(*store, w.clock);
        view.select(id);
        const QModelIndex row = view.list()->currentIndex();
        QCOMPARE(row.siblingAtColumn(SnippetTreeModel::titleColumn).data().toString(), shownTitle);
        QCOMPARE(row.siblingAtColumn(SnippetTreeModel::commandColumn).data().toString(), shownCommand);
        QCOMPARE(row.data(Qt::ToolTipRole).toString(), shownCommand);

        QTemporaryDir config;
        UserSettings settings(config.filePath(QStringLiteral("quillmar.conf")));
        QLineEdit filter;
        SidebarSnippetsSection section(*store, w.insertion, w.workspace, settings, &filter);
        section.setOpen(QStringLiteral("Mine"), true);
        const QModelIndex sidebarRow = section.snippetIndex(id);
        QCOMPARE(sidebarRow.data().toString(), shownTitle + QStringLiteral("  \u00B7 linux"));
        QCOMPARE(sidebarRow.data(Qt::ToolTipRole).toString(), shownTitle + QLatin1Char('\n') + shownCommand);
        std::unique_ptr<QMenu> menu(section.menuFor(id, nullptr));
        menu->actions().at(1)->trigger();
        QCOMPARE(QApplication::clipboard()->text(), command);

        view.deleteSelected();
        QPointer<SnippetDeleteSheet> sheet = view.deleteSheet();
        QVERIFY(sheet);
        QStringList labels;
        for (const QLabel* label : sheet->findChildren<QLabel*>())
            labels << label->text();
        QVERIFY2(labels.contains(QStringLiteral("Delete \u201C%1\u201D?").arg(shownTitle)),
                 qPrintable(labels.join(QLatin1Char('|'))));
        sheet->reject();

        // A file that replaces it names it in the question.
        Snippet changed = s;
        changed.command = "echo changed";
        auto sealed = SnippetFileFormat::sealExport("pw", SnippetJson::encode(std::vector<Snippet>{changed}), 1000);
        QVERIFY(sealed.ok());
        const QString file = dir_.filePath(QStringLiteral("hidden.qmsnippets"));
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(sealed.value().data(), qint64(sealed.value().size()));
        out.close();
        QVERIFY(view.prepareImport(file, QStringLiteral("pw")));
        const QString summary = view.importSummary();
        QVERIFY2(summary.contains(QStringLiteral("\n\u2022 ") + shownTitle) && !summary.contains(hidden),
                 qPrintable(summary));
        QCOMPARE(QString::fromStdString(store->snippet(id)->command), command);
    }

    // A category from the file or an import reads spelt out on its row in
    // the sidebar and the pane and in the sheet's list. Its rows still open
    // and close, a filter still finds it, and choosing it in the sheet files
    // a snippet under the category as stored.
    // The keyring service's own words reach the sentence the user reads.
    void keyringErrorsAreSpeltOut_data() { apptests::hiddenCharacterRows(); }
    void keyringErrorsAreSpeltOut()
    {
        QFETCH(QString, hidden);
        QFETCH(QString, spelt);
        class Refusing final : public SnippetKeySource {
        public:
            explicit Refusing(std::string why) : why_(std::move(why)) {}
            Lookup find() override { return {std::nullopt, SnippetError{why_}}; }
            SnippetResult<platform::SymmetricKey> create() override { return SnippetError{why_}; }

        private:
            std::string why_;
        };
        const auto sentence = [](const QString& detail) {
            return QStringLiteral("The keyring refused the request: no") + detail + QStringLiteral("way.");
        };
        auto store =
            std::make_unique<SnippetStore>(SnippetPaths(dir_.filePath(QStringLiteral("refused")).toStdString()),
                                           std::make_unique<Refusing>(sentence(hidden).toStdString()));
        store->setLoaded(true);
        store->load();
        QTRY_VERIFY(store->hasLoadError());
        Window w;
        QTemporaryDir config;
        UserSettings settings(config.filePath(QStringLiteral("quillmar.conf")));
        QLineEdit filter;
        SidebarSnippetsSection section(*store, w.insertion, w.workspace, settings, &filter);
        SnippetsView view(*store, w.clock);
        for (QWidget* shown : {static_cast<QWidget*>(&section), static_cast<QWidget*>(&view)}) {
            QString texts;
            for (const QLabel* label : shown->findChildren<QLabel*>())
                texts += label->text() + QLatin1Char('|');
            QVERIFY2(texts.contains(sentence(spelt)) && !texts.contains(hidden), qPrintable(texts));
        }
    }

    void categoriesAreSpeltOut_data() { apptests::hiddenCharacterRows(); }
    void categoriesAreSpeltOut()
    {
        QFETCH(QString, hidden);
        QFETCH(QString, spelt);
        const QString category = QStringLiteral("Ops") + hidden + QStringLiteral("ved");
        const QString shown = QStringLiteral("Ops") + spelt + QStringLiteral("ved");
        auto store = loadedStore();
        Snippet s = snippet("Uptime", "uptime");
        s.category = category.toStdString();
        QVERIFY(!store->add(s));
        QVERIFY(!store->add(snippet("Other", "true", "Zeta")));
        const QString id = QString::fromStdString(s.id);
        Window w;
        QTemporaryDir config;
        UserSettings settings(config.filePath(QStringLiteral("quillmar.conf")));
        QLineEdit filter;
        SidebarSnippetsSection section(*store, w.insertion, w.workspace, settings, &filter);
        const QModelIndex group = section.groupIndex(category);
        QCOMPARE(group.data().toString(), shown);
        section.tree()->setCurrentIndex(group);
        QTest::keyClick(section.tree(), Qt::Key_Right);
        QVERIFY(section.isOpen(category));
        QVERIFY(section.snippetIndex(id).isValid());
        QTest::keyClick(section.tree(), Qt::Key_Left);
        QVERIFY(!section.isOpen(category));
        QVERIFY(!section.snippetIndex(id).isValid());
        filter.setText(category.toLower());
        QVERIFY(section.snippetIndex(id).isValid());
        QVERIFY(!section.groupIndex(QStringLiteral("Zeta")).isValid());
        filter.clear();

        // The pane's rows open at first; a double-click anywhere on the
        // category's row closes them.
        QWidget window;
        SnippetsView view(*store, w.clock, &window);
        window.resize(700, 400);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        SnippetRowsModel* rows = view.list()->rows();
        const QModelIndex header = rows->rowOf(rows->tree()->groupIndex(category));
        QCOMPARE(header.data().toString(), shown);
        QVERIFY(rows->rowOf(rows->tree()->snippetIndex(id)).isValid());
        const QRect cell = view.list()->visualRect(header.siblingAtColumn(SnippetTreeModel::commandColumn));
        QVERIFY(cell.isValid());
        QTest::mouseDClick(view.list()->viewport(), Qt::LeftButton, {}, cell.center());
        QVERIFY(!rows->isOpen(category));
        QVERIFY(!rows->rowOf(rows->tree()->snippetIndex(id)).isValid());

        view.addSnippet();
        QPointer<SnippetEditSheet> sheet = view.editSheet();
        QVERIFY(sheet);
        QComboBox* box = sheet->categoryField();
        const int at = box->findData(category);
        QVERIFY(at >= 0);
        QCOMPARE(box->model()->index(at, 0).data().toString(), shown);
        box->setCurrentIndex(at);
        QCOMPARE(box->currentText(), category);
        sheet->titleField()->setText(QStringLiteral("Load"));
        sheet->commandField()->setPlainText(QStringLiteral("cat /proc/loadavg"));
        QVERIFY(sheet->save());
        QCOMPARE(store->snippets(category).size(), std::size_t(2));
    }
};

QTEST_MAIN(SnippetViewsTests)
#include "SnippetViewsTests.moc"
