#include "platform/WriterLock.h"
#include "quillmar/app/UserSettings.h"
#include "quillmar/app/Version.h"
#include "quillmar/app/panes/SSHMergeSection.h"
#include "quillmar/app/panes/SettingsView.h"
#include "quillmar/app/shell/KeyRouter.h"
#include "quillmar/app/shell/MainWindow.h"
#include "quillmar/app/shell/TabStrip.h"
#include "quillmar/app/shell/TerminalHost.h"
#include "quillmar/app/shell/Workspace.h"
#include "quillmar/app/style/BrandMark.h"
#include "quillmar/app/style/MonospaceFonts.h"
#include "quillmar/app/style/TerminalFont.h"
#include "quillmar/app/tests/AppTestSupport.h"
#include "quillmar/sshconfig/SSHHostStore.h"
#include "quillmar/sshconfig/tests/support/TestHome.h"
#include "ravelgrid/view/QtDeliveryQueue.h"
#include "ravelgrid/view/QtScheduler.h"
#include "ravelgrid/view/TerminalView.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <fstream>
#include <sstream>

using namespace quillmar;

namespace {

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string golden(const QString& name)
{
    return readFile((QStringLiteral(QM_SETTINGS_GOLDEN "/") + name).toStdString());
}

bool exists(const std::string& path)
{
    return QFile::exists(QString::fromStdString(path));
}

// Whether the top of the section lies inside the scroll area's viewport.
bool inView(SettingsView& view, const QString& id)
{
    QWidget* section = view.section(id);
    if (!section)
        return false;
    const int top = section->mapTo(view.viewport(), QPoint(0, 0)).y();
    return top >= 0 && top < view.viewport()->height();
}

// Merges as the button does and waits for the worker's answer.
bool mergeAndWait(SSHMergeSection& merge)
{
    QSignalSpy finished(&merge, &SSHMergeSection::mergeFinished);
    if (!merge.applyMerge())
        return false;
    if (!finished.wait(15000))
        return false;
    return finished.front().front().toBool();
}

void choose(QComboBox* box, const QString& id)
{
    const int index = box->findData(id);
    QVERIFY2(index >= 0, qPrintable(id));
    box->setCurrentIndex(index);
    emit box->activated(index);
}

}  // namespace

class SettingsTests : public QObject {
    Q_OBJECT

    apptests::WindowTestEnvironment environment_;
    QTemporaryDir& home_ = environment_.home;

    struct Window {
        QTemporaryDir config;
        std::unique_ptr<UserSettings> settings;
        std::unique_ptr<MainWindow> window;
        SettingsView* view = nullptr;
    };

    // A window with one local terminal and the Settings pane open and shown.
    std::unique_ptr<Window> openWindow()
    {
        auto w = std::make_unique<Window>();
        w->settings = std::make_unique<UserSettings>(w->config.filePath(QStringLiteral("quillmar.conf")));
        w->window = std::make_unique<MainWindow>(*w->settings, apptests::memorySnippetStore(w->config));
        w->window->resize(1000, 640);
        w->window->show();
        if (!QTest::qWaitForWindowExposed(w->window.get()))
            return nullptr;
        if (w->window->workspace().sessions().empty())
            w->window->workspace().open(SessionTarget::local());
        w->window->workspace().openTool(ToolTab::settings);
        w->view = qobject_cast<SettingsView*>(w->window->toolPane(ToolTab::settings));
        return w;
    }

    std::vector<TerminalHost*> hosts(Window& w)
    {
        std::vector<TerminalHost*> out;
        for (const auto& s : w.window->workspace().sessions())
            out.push_back(w.window->hostFor(s->id));
        return out;
    }

private slots:
    void initTestCase() { QVERIFY(environment_.start()); }

    // Each control writes its key, and the open terminal follows at once.
    void controlsWriteTheirKeys()
    {
        auto w = openWindow();
        QVERIFY(w && w->view);
        SettingsView& view = *w->view;
        UserSettings& settings = *w->settings;
        const auto terminals = hosts(*w);
        QCOMPARE(terminals.size(), std::size_t(1));
        TerminalHost* host = terminals[0];

        struct Theme {
            AppAppearance appearance;
            const char* stored;
        };
        for (const Theme& t : {Theme{AppAppearance::light, "light"}, Theme{AppAppearance::matrix, "matrix"},
                               Theme{AppAppearance::system, "system"}, Theme{AppAppearance::dark, "dark"}}) {
            view.themeButton(t.appearance)->click();
            QCOMPARE(settings.appearanceText(), QString::fromLatin1(t.stored));
        }

        view.sizeBox()->setValue(21);
        QCOMPARE(settings.fontSize(), 21.0);
        QCOMPARE(host->view()->fontSet().pointSize(), 21.0);
        QCOMPARE(host->view()->fontSet().pixelSize(), 21.0 * 96 / 72);
        QCOMPARE(view.sizeBox()->minimum(), 9);
        QCOMPARE(view.sizeBox()->maximum(), 28);
        // A size set elsewhere (the shortcuts) shows in the pane.
        settings.stepFontSize(+1);
        QCOMPARE(view.sizeBox()->value(), 22);

        choose(view.schemeBox(), QStringLiteral("nord"));
        QCOMPARE(settings.schemeID(), QStringLiteral("nord"));
        QCOMPARE(host->scheme().id, QStringLiteral("nord"));
        QCOMPARE(host->view()->nativeBackgroundColor(), QColor(0x2E, 0x34, 0x40));
        // The picker lists the whole catalogue plus match-appearance, each with a preview.
        QCOMPARE(view.schemeBox()->count(), int(TerminalScheme::catalogue().size()) + 1);
        for (int i = 0; i < view.schemeBox()->count(); ++i)
            QVERIFY(!view.schemeBox()->itemIcon(i).isNull());

        for (SessionExitPolicy policy :
             {SessionExitPolicy::alwaysKeep, SessionExitPolicy::alwaysClose, SessionExitPolicy::closeIfClean}) {
            view.exitPolicyButton(policy)->click();
            QCOMPARE(settings.exitPolicy(), policy);
            QVERIFY(!view.exitPolicyButton(policy)->text().contains(exitPolicyName(policy)));
        }

        // Every listed face is one fontconfig calls monospaced; choosing one
        // reaches the terminal.
        QVERIFY(view.fontBox()->count() > 0);
        int other = -1;
        for (int i = 0; i < view.fontBox()->count(); ++i) {
            if (view.fontBox()->itemData(i).toString() != settings.fontName() &&
                fontForPostScriptName(view.fontBox()->itemData(i).toString(), 13)) {
                other = i;
                break;
            }
        }
        if (other >= 0) {
            const QString name = view.fontBox()->itemData(other).toString();
            view.fontBox()->setCurrentIndex(other);
            emit view.fontBox()->activated(other);
            QCOMPARE(settings.fontName(), name);
            QCOMPARE(host->view()->fontSet().family(), TerminalFont::font(name, 13).family());
            QVERIFY(view.fontInUseLabel()->text().contains(QFontInfo(TerminalFont::font(name, 13)).family()));
        }

        view.nerdOnlyBox()->setChecked(true);
        QVERIFY(settings.fontNerdOnly());
        int nerdFaces = 0;
        for (const MonospaceFace& face : monospaceFaces())
            nerdFaces += face.nerd;
        // Only Nerd faces, plus the chosen one kept at the top when it is not one.
        QVERIFY(view.fontBox()->count() <= nerdFaces + 1);
        for (int i = 0; i < view.fontBox()->count(); ++i) {
            const QString name = view.fontBox()->itemData(i).toString();
            if (name == settings.fontName())
                continue;
            const auto it = std::find_if(monospaceFaces().begin(), monospaceFaces().end(),
                                         [&](const MonospaceFace& f) { return f.postScriptName == name; });
            QVERIFY(it != monospaceFaces().end() && it->nerd);
        }
        view.nerdOnlyBox()->setChecked(false);
        QVERIFY(!settings.fontNerdOnly());
        QCOMPARE(view.fontBox()->count() >= int(monospaceFaces().size()), true);

        // Written to the file, not only held in memory.
        settings.sync();
        QSettings stored(settings.filePath(), QSettings::IniFormat);
        QCOMPARE(stored.value(QStringLiteral("terminal.scheme")).toString(), QStringLiteral("nord"));
        QCOMPARE(stored.value(QStringLiteral("terminal.fontSize")).toDouble(), 22.0);
        QCOMPARE(stored.value(QStringLiteral("session.exitPolicy")).toString(), QStringLiteral("closeIfClean"));
        QCOMPARE(stored.value(QStringLiteral("terminal.fontNerdOnly")).toBool(), false);
    }

    void matchAppearanceFollowsTheTheme()
    {
        auto w = openWindow();
        QVERIFY(w && w->view);
        SettingsView& view = *w->view;
        TerminalHost* host = hosts(*w)[0];
        choose(view.schemeBox(), QStringLiteral("match-appearance"));
        QCOMPARE(w->settings->schemeID(), QStringLiteral("match-appearance"));
        struct Case {
            AppAppearance appearance;
            const char* scheme;
        };
        for (const Case& c : {Case{AppAppearance::matrix, "dot-matrix"}, Case{AppAppearance::light, "metro-light"},
                              Case{AppAppearance::dark, "metro-dark"}}) {
            view.themeButton(c.appearance)->click();
            QCOMPARE(host->scheme().id, QString::fromLatin1(c.scheme));
            // The picker still shows match-appearance, named after what it resolves to.
            QCOMPARE(view.schemeBox()->currentData().toString(), QStringLiteral("match-appearance"));
            QVERIFY(
                view.schemeBox()->currentText().contains(TerminalScheme::named(QString::fromLatin1(c.scheme)).name));
        }
    }

    // A stored face that is not installed falls back, and the pane says to what.
    void missingFontShowsTheFaceInUse()
    {
        auto w = openWindow();
        QVERIFY(w && w->view);
        SettingsView& view = *w->view;
        w->settings->setFontName(QStringLiteral("NoSuchFontMono-Regular"));
        const QString used = QFontInfo(TerminalFont::font(QStringLiteral("NoSuchFontMono-Regular"), 13)).family();
        QVERIFY(view.fontInUseLabel()->text().contains(QStringLiteral("isn't installed")));
        QVERIFY(view.fontInUseLabel()->text().contains(used));
        QCOMPARE(view.fontBox()->currentData().toString(), QStringLiteral("NoSuchFontMono-Regular"));
        QVERIFY(view.fontBox()->currentText().contains(QStringLiteral("not installed")));
        QCOMPARE(hosts(*w)[0]->view()->fontSet().family(),
                 TerminalFont::font(QStringLiteral("NoSuchFontMono-Regular"), 13).family());
    }

    // A fresh install: the default Nerd Font stands in quietly for whatever
    // face draws it; the pane names that face and warns of nothing.
    void defaultFontNamesTheDrawnFace()
    {
        auto w = openWindow();
        QVERIFY(w && w->view);
        SettingsView& view = *w->view;
        QCOMPARE(w->settings->fontName(), QString::fromLatin1(TerminalFont::nerdFontName));
        const QString drawn = QFontInfo(TerminalFont::font(w->settings->fontName(), 13)).family();
        QVERIFY2(view.fontInUseLabel()->text().startsWith(QStringLiteral("Drawn with ") + drawn),
                 qPrintable(view.fontInUseLabel()->text()));
        QVERIFY(!view.fontInUseLabel()->text().contains(QStringLiteral("installed")));
        QCOMPARE(view.fontBox()->currentText(), drawn);
        // Narrowed to Nerd faces the drawn one may be gone from the list; still no warning.
        view.nerdOnlyBox()->setChecked(true);
        QCOMPARE(view.fontBox()->currentText(), drawn);
        view.nerdOnlyBox()->setChecked(false);
        // The setting itself is left as it was.
        QCOMPARE(w->settings->fontName(), QString::fromLatin1(TerminalFont::nerdFontName));
    }

    // The build pill opens Settings at About; Ctrl+, clears the target and
    // opens it at the top.
    void scrollsToTheNamedSection()
    {
        auto w = openWindow();
        QVERIFY(w && w->view);
        SettingsView& view = *w->view;
        Workspace& ws = w->window->workspace();
        QTRY_VERIFY(inView(view, QStringLiteral("appearance")));
        QVERIFY(!inView(view, QStringLiteral("about")));

        ws.activate(ws.sessions()[0]->id);
        w->window->tabStrip()->buildButton()->click();
        QCOMPARE(ws.activeID(), std::optional<TabID>(ToolTab::settings));
        QTRY_VERIFY(inView(view, QStringLiteral("about")));
        QVERIFY(view.verticalScrollBar()->value() > 0);
        QCOMPARE(view.findChild<BrandMark*>(QStringLiteral("aboutMark"))->markSize(), 72.0);
        QCOMPARE(view.findChild<QLabel*>(QStringLiteral("aboutVersion"))->text(), versionLine());
        QCOMPARE(view.findChild<QLabel*>(QStringLiteral("aboutCopyright"))->text(), copyrightLine());

        // The shortcut while Settings is showing About.
        QVERIFY(w->window->keys().handle(KeyStroke{KeyStroke::Kind::keyDown, Qt::Key_Comma, Qt::ControlModifier}));
        QCOMPARE(ws.settingsScrollTarget(), std::optional<QString>());
        QTRY_COMPARE(view.verticalScrollBar()->value(), 0);

        // From another tab: the pill again, then the shortcut again.
        ws.activate(ws.sessions()[0]->id);
        w->window->tabStrip()->buildButton()->click();
        QTRY_VERIFY(inView(view, QStringLiteral("about")));
        ws.activate(ws.sessions()[0]->id);
        QVERIFY(w->window->keys().handle(KeyStroke{KeyStroke::Kind::keyDown, Qt::Key_Comma, Qt::ControlModifier}));
        QCOMPARE(ws.activeID(), std::optional<TabID>(ToolTab::settings));
        QTRY_COMPARE(view.verticalScrollBar()->value(), 0);
    }

    // Whatever the list offers is drawn, whatever its regular face's style is
    // called (DejaVu Sans Mono's is "Book"), with no word of a stand-in.
    void everyListedFamilyCanBeChosen()
    {
        auto w = openWindow();
        QVERIFY(w && w->view);
        SettingsView& view = *w->view;
        QVERIFY2(monospaceFaces().size() >= 2,
                 "needs two monospaced families (fonts-dejavu-core, fonts-jetbrains-mono)");
        QCOMPARE(view.fontBox()->count(), int(monospaceFaces().size()));
        // Qt names a family found from two foundries "Family [foundry]".
        const auto drawn = [](const QFont& font) {
            return QFontInfo(font).family().section(QStringLiteral(" ["), 0, 0);
        };
        for (const MonospaceFace& face : monospaceFaces()) {
            const int index = view.fontBox()->findText(face.family);
            QVERIFY2(index >= 0, qPrintable(face.family));
            view.fontBox()->setCurrentIndex(index);
            emit view.fontBox()->activated(index);
            QCOMPARE(w->settings->fontName(), face.postScriptName);
            QVERIFY2(view.fontInUseLabel()->text().startsWith(QStringLiteral("Drawn with ") + face.family),
                     qPrintable(face.family + QStringLiteral(": ") + view.fontInUseLabel()->text()));
            QTRY_COMPARE(drawn(hosts(*w)[0]->view()->fontSet().normal()), face.family);
            QCOMPARE(view.fontBox()->currentText(), face.family);
            // By family name too, as a hand-edited setting might say.
            QCOMPARE(drawn(TerminalFont::font(face.family, 13)), face.family);
        }
    }

    // The list holds text faces with one cell width, each family once, in order.
    void fontListIsMonospacedText()
    {
        const auto& faces = monospaceFaces();
        QStringList families;
        for (const MonospaceFace& face : faces) {
            QVERIFY2(QFontDatabase::isFixedPitch(face.family), qPrintable(face.family));
            QVERIFY2(!face.family.contains(QStringLiteral("Emoji")), qPrintable(face.family));
            QVERIFY(!face.postScriptName.isEmpty());
            families << face.family;
        }
        QStringList sorted = families;
        sorted.sort(Qt::CaseInsensitive);
        QCOMPARE(families, sorted);
        sorted.removeDuplicates();
        QCOMPARE(sorted.size(), families.size());
    }

    // A file in the backups folder may be named anything.
    void backupNamesAreSpeltOut_data() { apptests::hiddenCharacterRows(); }
    void backupNamesAreSpeltOut()
    {
        QFETCH(QString, hidden);
        QFETCH(QString, spelt);
        auto w = openWindow();
        QVERIFY(w && w->view);
        const QString folder = home_.filePath(QStringLiteral(".ssh/quillmar-backups"));
        const auto cleanup = qScopeGuard([&] { QDir(folder).removeRecursively(); });
        apptests::writeFile(folder + QStringLiteral("/config.") + hidden + QStringLiteral("z"), "x");
        SettingsView view(w->window->workspace(), *w->settings, SSHPaths(home_.path().toStdString()),
                          {{}, [](const QUrl&) { return true; }});
        QCOMPARE(view.backupsList()->count(), 1);
        QVERIFY2(
            view.backupsList()->item(0)->text().startsWith(QStringLiteral("config.") + spelt + QStringLiteral("z  ")),
            qPrintable(view.backupsList()->item(0)->text()));
    }

    // The stored face's name is the settings file's text; it is kept as written.
    void fontNamesAreSpeltOut_data() { apptests::hiddenCharacterRows(); }
    void fontNamesAreSpeltOut()
    {
        QFETCH(QString, hidden);
        QFETCH(QString, spelt);
        auto w = openWindow();
        QVERIFY(w && w->view);
        SettingsView& view = *w->view;
        const QString name = QStringLiteral("NoSuch") + hidden + QStringLiteral("onoM");
        w->settings->setFontName(name);
        const QString shown = QStringLiteral("NoSuch") + spelt + QStringLiteral("onoM");
        QCOMPARE(view.fontBox()->currentText(), shown + QStringLiteral(" (not installed)"));
        QCOMPARE(view.fontBox()->currentData().toString(), name);
        QVERIFY2(view.fontInUseLabel()->text().startsWith(shown + QStringLiteral(" isn't installed")),
                 qPrintable(view.fontInUseLabel()->text()));
        QCOMPARE(w->settings->fontName(), name);
    }

    void backupsNewestFirst()
    {
        auto w = openWindow();
        QVERIFY(w && w->view);
        const QString folder = home_.filePath(QStringLiteral(".ssh/quillmar-backups"));
        QVERIFY(QDir().mkpath(folder));
        const QDateTime base = QDateTime::currentDateTime().addDays(-3);
        struct File {
            const char* name;
            int minutes;
        };
        // Names that sort the other way from their dates.
        for (const File& f :
             {File{"config.a", 30}, File{"config.b", 10}, File{"quillmar_config.c", 20}, File{"config.z", 5}}) {
            QFile file(folder + QLatin1Char('/') + QLatin1String(f.name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("x");
            file.flush();  // else closing writes, and dates the file now
            QVERIFY(file.setFileTime(base.addSecs(f.minutes * 60), QFileDevice::FileModificationTime));
        }
        const auto list = SettingsView::backupsNewestFirst(folder);
        QStringList names;
        for (const auto& b : list)
            names << QFileInfo(b.path).fileName();
        QCOMPARE(names, (QStringList{"config.a", "quillmar_config.c", "config.b", "config.z"}));

        std::vector<QUrl> opened;
        SettingsView view(w->window->workspace(), *w->settings, SSHPaths(home_.path().toStdString()),
                          {{}, [&](const QUrl& url) {
                               opened.push_back(url);
                               return true;
                           }});
        QCOMPARE(view.backupsList()->count(), 4);
        // Which SSH files are there: only the backups folder in this home.
        QLabel* present = nullptr;
        int absent = 0;
        for (QLabel* label : view.findChildren<QLabel*>()) {
            if (label->text().startsWith(QStringLiteral("~/.ssh/quillmar-backups")))
                present = label;
            else if (label->text().startsWith(QStringLiteral("~/.ssh/")) &&
                     label->text().contains(QStringLiteral(" — "))) {
                QVERIFY2(label->text().endsWith(QStringLiteral("not there yet")), qPrintable(label->text()));
                ++absent;
            }
        }
        QCOMPARE(absent, 2);
        QVERIFY(present && present->text().endsWith(QStringLiteral("present")));
        for (int i = 0; i < 4; ++i) {
            QVERIFY(view.backupsList()->item(i)->text().startsWith(names[i]));
            QVERIFY(view.backupsList()->item(i)->text().contains(
                QLocale().toString(list[std::size_t(i)].modified, QLocale::ShortFormat)));
        }
        emit view.backupsList()->itemActivated(view.backupsList()->item(0));
        QCOMPARE(opened.size(), std::size_t(1));
        QCOMPARE(opened[0], QUrl::fromLocalFile(folder));
        QDir(folder).removeRecursively();
    }

    // One conflict resolved each way: the files end as the golden ones, and
    // OpenSSH resolves every alias as before (the conflict as the kept copy did).
    void mergeResolvesEachWay_data()
    {
        QTest::addColumn<bool>("keepConfig");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("moved");
        QTest::newRow("keep config") << true << QStringLiteral("config.after-keep-config")
                                     << QStringLiteral("Moved 1 host into");
        QTest::newRow("keep quillmar") << false << QStringLiteral("config.after-keep-quillmar")
                                       << QStringLiteral("Moved 2 hosts into");
    }
    void mergeResolvesEachWay()
    {
        QFETCH(bool, keepConfig);
        QFETCH(QString, expected);
        QFETCH(QString, moved);
        test::TestHome h;
        h.writeSsh("config", golden(QStringLiteral("config.before")));
        h.writeSsh("quillmar_config", golden(QStringLiteral("quillmar_config.before")));
        std::map<std::string, std::multimap<std::string, std::string>> before;
        for (const char* alias : {"lab", "other"})
            before[alias] = h.sshG(alias);
        for (const auto& [alias, values] : before)
            QVERIFY2(!values.count("error") && values.count("hostname"), alias.c_str());
        // Before, the included copy came first and won; keeping the config's
        // copy gives what the config says without the Include.
        auto keptWork = h.sshG("work");
        if (keepConfig) {
            std::string text = readFile(h.ssh("config"));
            text.erase(text.find("Include quillmar_config"), std::string("Include quillmar_config").size());
            h.writeSsh("only-config", text);
            keptWork = h.sshG("work", "only-config");
        }
        QVERIFY(!keptWork.count("error"));

        SSHMergeSection merge{SSHConfigWriter(h.paths())};
        merge.startMerge();
        QVERIFY(merge.plan());
        QCOMPARE(merge.plan()->conflicts, std::vector<std::string>{"work"});
        QVERIFY(!merge.applyMerge());  // not before the conflict has a choice
        QVERIFY(!merge.saving());
        QCOMPARE(readFile(h.ssh("config")), golden(QStringLiteral("config.before")));
        merge.choose("work", keepConfig ? SSHConfigMerge::Keep::config : SSHConfigMerge::Keep::quillmar);
        QVERIFY(merge.configDiff()->toPlainText().contains(QStringLiteral("- Include quillmar_config")));
        QVERIFY(merge.ownDiff()->toPlainText().contains(QStringLiteral("- Host lab")));
        QVERIFY(mergeAndWait(merge));

        QCOMPARE(readFile(h.ssh("config")), golden(expected));
        QVERIFY(!exists(h.ssh("quillmar_config")));
        for (const auto& [alias, values] : before)
            QCOMPARE(h.sshG(alias), values);
        QCOMPARE(h.sshG("work"), keptWork);
        // Both files backed up, byte for byte.
        int backups = 0;
        for (const auto& b : SettingsView::backupsNewestFirst(QString::fromStdString(h.ssh("quillmar-backups")))) {
            const std::string text = readFile(b.path.toStdString());
            QVERIFY(text == golden(QStringLiteral("config.before")) ||
                    text == golden(QStringLiteral("quillmar_config.before")));
            ++backups;
        }
        QCOMPARE(backups, 2);
        QVERIFY2(merge.statusLabel()->text().startsWith(moved), qPrintable(merge.statusLabel()->text()));
    }

    // A file changed between the preview and the click otherwise than by
    // hosts appended to the own file is not written: the merge is planned
    // again from the new text.
    void changedFileIsNotWritten_data()
    {
        QTest::addColumn<QString>("changed");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::newRow("config") << QStringLiteral("config") << QStringLiteral("ServerAliveInterval 30")
                                << QStringLiteral(
                                       "ServerAliveInterval 30\n\nHost added-meanwhile\n    HostName new.example");
        QTest::newRow("quillmar_config") << QStringLiteral("quillmar_config") << QStringLiteral("Host lab\n")
                                         << QStringLiteral(
                                                "Host added-meanwhile\n    HostName new.example\n\nHost lab\n");
    }
    void changedFileIsNotWritten()
    {
        QFETCH(QString, changed);
        QFETCH(QString, from);
        QFETCH(QString, to);
        test::TestHome h;
        h.writeSsh("config", golden(QStringLiteral("config.before")));
        h.writeSsh("quillmar_config", golden(QStringLiteral("quillmar_config.before")));
        SSHMergeSection merge{SSHConfigWriter(h.paths())};
        merge.startMerge();
        merge.choose("work", SSHConfigMerge::Keep::quillmar);
        QVERIFY(merge.applyButton()->isVisibleTo(&merge));

        const std::string file = h.ssh(changed.toStdString());
        std::string edited = readFile(file);
        const auto at = edited.find(from.toStdString());
        QVERIFY(at != std::string::npos);
        edited.replace(at, std::size_t(from.size()), to.toStdString());
        h.writeSsh(changed.toStdString(), edited);
        const std::string configNow = readFile(h.ssh("config"));
        const std::string ownNow = readFile(h.ssh("quillmar_config"));
        QVERIFY(!mergeAndWait(merge));
        QCOMPARE(readFile(h.ssh("config")), configNow);
        QCOMPARE(readFile(h.ssh("quillmar_config")), ownNow);
        QVERIFY(!exists(h.ssh("quillmar-backups")) ||
                SettingsView::backupsNewestFirst(QString::fromStdString(h.ssh("quillmar-backups"))).empty());
        QVERIFY(merge.statusLabel()->text().contains(QStringLiteral("changed since this preview")));
        QVERIFY(merge.statusLabel()->text().contains(QStringLiteral("Nothing was changed.")));
        QVERIFY(merge.statusLabel()->text().contains(QStringLiteral("planned again")));
        // Planned again, with the choice kept: the new preview shows the new text.
        QVERIFY(merge.plan());
        QCOMPARE(merge.choices().count("work"), std::size_t(1));
        if (changed == QStringLiteral("quillmar_config"))
            QVERIFY(merge.ownDiff()->toPlainText().contains(QStringLiteral("added-meanwhile")));
        QVERIFY(mergeAndWait(merge));
        QVERIFY(readFile(h.ssh("config")).find("Host added-meanwhile") != std::string::npos);
    }

    // Another window appends a host to the own file after the preview: the
    // merge takes it along, and the window answers while the merge waits for
    // that window's lock.
    void hostAppendedToTheOwnFileMovesAlong()
    {
        test::TestHome h;
        h.writeSsh("config", golden(QStringLiteral("config.before")));
        h.writeSsh("quillmar_config", golden(QStringLiteral("quillmar_config.before")));
        SSHMergeSection merge{SSHConfigWriter(h.paths())};
        merge.startMerge();
        merge.choose("work", SSHConfigMerge::Keep::quillmar);
        const std::string own =
            readFile(h.ssh("quillmar_config")) + "\nHost added-meanwhile\n    HostName new.example\n";

        auto held = platform::WriterLock::acquire(h.ssh("quillmar_config"));
        QVERIFY(held);
        h.writeSsh("quillmar_config", own);
        QSignalSpy finished(&merge, &SSHMergeSection::mergeFinished);
        QVERIFY(merge.applyMerge());
        QVERIFY(!merge.applyButton()->isEnabled());
        QVERIFY(!merge.startButton()->isEnabled());
        bool answered = false;
        QTimer::singleShot(0, &merge, [&] { answered = true; });
        QTRY_VERIFY_WITH_TIMEOUT(answered, 1000);
        QVERIFY(finished.isEmpty());
        held.reset();
        QVERIFY(finished.wait(15000));
        QVERIFY2(finished.front().front().toBool(), qPrintable(merge.statusLabel()->text()));
        QVERIFY2(merge.statusLabel()->text().startsWith(QStringLiteral("Moved 3 hosts into")),
                 qPrintable(merge.statusLabel()->text()));
        QVERIFY(!exists(h.ssh("quillmar_config")));
        QCOMPARE(h.sshG("added-meanwhile").find("hostname")->second, std::string("new.example"));
        bool ownBackedUp = false;
        for (const auto& b : SettingsView::backupsNewestFirst(QString::fromStdString(h.ssh("quillmar-backups"))))
            ownBackedUp = ownBackedUp || readFile(b.path.toStdString()) == own;
        QVERIFY(ownBackedUp);
        QVERIFY(merge.startButton()->isEnabled());
    }

    // The merge names a conflicting host, and previews its lines, as the
    // sidebar shows the name.
    void mergeShowsHiddenCharactersSpeltOut()
    {
        test::TestHome h;
        const std::string rlo = "zz\xE2\x80\xAEgnp.exe";
        h.writeSsh("config", "Include quillmar_config\n\nHost " + rlo + "\n    HostName a.example\n");
        h.writeSsh("quillmar_config", "Host " + rlo + "\n    HostName b.example\n");
        SSHMergeSection merge{SSHConfigWriter(h.paths())};
        merge.startMerge();
        QVERIFY(merge.plan());
        const QString spelt = QStringLiteral("zz<U+202E>gnp.exe");
        QStringList names;
        for (const QLabel* label : merge.findChildren<QLabel*>())
            names << label->text();
        QVERIFY2(names.contains(spelt), qPrintable(names.join(QLatin1Char('|'))));
        merge.choose(rlo, SSHConfigMerge::Keep::quillmar);
        const QString preview = merge.configDiff()->toPlainText() + merge.ownDiff()->toPlainText();
        QVERIFY2(preview.contains(QStringLiteral("Host ") + spelt) && !preview.contains(QChar(0x202E)),
                 qPrintable(preview));
    }

    void nothingToMergeSaysSo()
    {
        test::TestHome h;
        h.writeSsh("config", "Host a\n    HostName a.example\n");
        SSHMergeSection merge{SSHConfigWriter(h.paths())};
        merge.startMerge();
        QVERIFY(!merge.plan());
        QVERIFY(merge.statusLabel()->text().endsWith(QStringLiteral("Nothing was changed.")));
        QCOMPARE(readFile(h.ssh("config")), std::string("Host a\n    HostName a.example\n"));
    }

    // The note follows the files: it goes once quillmar_config appears, seen
    // by the pane's poll, and stays while there is still nothing to merge.
    void nothingToMergeFollowsTheFiles()
    {
        test::TestHome h;
        h.writeSsh("config", "Include quillmar_config\n\nHost a\n    HostName a.example\n");
        Workspace workspace(ravelgrid::QtScheduler::system());
        QTemporaryDir config;
        UserSettings settings(config.filePath(QStringLiteral("quillmar.conf")));
        SettingsView view(workspace, settings, h.paths(), {});
        view.resize(800, 600);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        SSHMergeSection& merge = *view.mergeSection();
        merge.startMerge();
        QVERIFY(!merge.plan());
        QVERIFY(!merge.statusLabel()->isHidden());
        // A file that changes without making a merge possible keeps the note.
        h.writeSsh("config", "Include quillmar_config\n\nHost b\n    HostName b.example\n");
        merge.filesChanged();
        QVERIFY(!merge.statusLabel()->isHidden());
        h.writeSsh("quillmar_config", "Host web\n    HostName 192.0.2.7\n");
        QTRY_VERIFY_WITH_TIMEOUT(merge.statusLabel()->isHidden(), 3 * SSHHostStore::kPollIntervalMs);
        QVERIFY(merge.statusLabel()->text().isEmpty());
        // The files row followed on the same poll.
        merge.startMerge();
        QVERIFY(merge.plan());
    }
};

QTEST_MAIN(SettingsTests)
#include "SettingsTests.moc"
