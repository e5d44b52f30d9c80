#include "quillmar/app/UserSettings.h"
#include "quillmar/app/Version.h"
#include "quillmar/app/sheets/RemoveHostSheet.h"
#include "quillmar/app/shell/KeyToolCommands.h"
#include "quillmar/app/shell/MainWindow.h"
#include "quillmar/app/shell/TabStrip.h"
#include "quillmar/app/shell/ToolChip.h"
#include "quillmar/app/sidebar/Sidebar.h"
#include "quillmar/app/sidebar/SidebarSection.h"
#include "quillmar/app/tests/AppTestSupport.h"

#include "ravelgrid/view/QtDeliveryQueue.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTranslator>
#include <QtTest>

#include <memory>

using namespace quillmar;
using namespace quillmar::apptests;

namespace {

QString marked(const char* context, const QString& source)
{
    return QStringLiteral("{") + QString::fromUtf8(context) + QStringLiteral(": ") + source + QLatin1Char('}');
}

// Answers every lookup with its context and source text, so a test sees
// which texts went through translation and under which context.
class MarkingTranslator final : public QTranslator {
public:
    bool isEmpty() const override { return false; }
    QString translate(const char* context, const char* sourceText, const char*, int) const override
    {
        return marked(context, QString::fromUtf8(sourceText));
    }
};

}  // namespace

class TranslationTests : public QObject {
    Q_OBJECT

    apptests::WindowTestEnvironment environment_;
    QTemporaryDir& home_ = environment_.home;
    MarkingTranslator translator_;

private slots:
    void initTestCase()
    {
        QVERIFY(environment_.start());
        QVERIFY(QCoreApplication::installTranslator(&translator_));
    }

    void cleanupTestCase() { QCoreApplication::removeTranslator(&translator_); }

    // The window's own texts: its title, the sidebar's section titles (shown
    // upper-cased), the filter's placeholder and the tab strip's button.
    void theWindowShowsTranslatedTexts()
    {
        QTemporaryDir config;
        UserSettings settings(config.filePath(QStringLiteral("quillmar.conf")));
        MainWindow window(settings);
        QCOMPARE(window.windowTitle(), marked("quillmar::MainWindow", QStringLiteral("quillmar")));
        Sidebar* sidebar = window.sidebar();
        QVERIFY(sidebar);
        const std::pair<const char*, const char*> sections[] = {
            {"localSection", "Local"}, {"hostsSection", "SSH Hosts"}, {"keysSection", "Keys"}};
        for (const auto& [name, title] : sections) {
            auto* section = sidebar->findChild<SidebarSection*>(QLatin1String(name));
            QVERIFY2(section, name);
            QCOMPARE(section->titleButton()->text(), marked("quillmar::Sidebar", QLatin1String(title)).toUpper());
        }
        auto* filter = sidebar->findChild<QLineEdit*>(QStringLiteral("filter"));
        QVERIFY(filter);
        QCOMPARE(filter->placeholderText(), marked("quillmar::Sidebar", QStringLiteral("Filter hosts and snippets")));
        auto* settingsButton = sidebar->findChild<QPushButton*>(QStringLiteral("settingsButton"));
        QVERIFY(settingsButton);
        QCOMPARE(settingsButton->accessibleName(), marked("quillmar::Sidebar", QStringLiteral("Settings")));
        const auto buttons = window.findChildren<QPushButton*>();
        const QString local = marked("quillmar::TabStrip", QStringLiteral("Local"));
        QVERIFY(std::any_of(buttons.begin(), buttons.end(), [&](QPushButton* b) { return b->text() == local; }));
    }

    // A sentence is translated whole, with its values put in afterwards; a
    // free function and its class share one context.
    void sentencesAreTranslatedWhole()
    {
        const ToolChip chip(ToolTab::keys, {}, {});
        QCOMPARE(chip.closeButton()->toolTip(), marked("quillmar::ToolChip", QStringLiteral("Close %1"))
                                                    .arg(marked("quillmar::ToolChip", QStringLiteral("Keys"))));

        QCOMPARE(TabStrip::pillText(), marked("quillmar::TabStrip", QStringLiteral("Version: %1")).arg(buildText()));

        SSHHostStore hosts(SSHPaths(home_.path().toStdString()));
        const RemoveHostSheet sheet(QStringLiteral("web1"), hosts);
        QCOMPARE(sheet.noteText(),
                 marked("quillmar::RemoveHostSheet",
                        QStringLiteral("No Host line in ~/.ssh/config or the files it includes names %1."))
                     .arg(QStringLiteral("web1")));

        QCOMPARE(
            KeyToolCommands::keyNameProblem(QString(), home_.filePath(QStringLiteral(".ssh"))),
            std::optional<QString>(marked("quillmar::KeyToolCommands", QStringLiteral("Enter a name for the key."))));
    }

    // A name from the config that looks like a placeholder stays as written.
    void valuesAreNotReadAsPlaceholders()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath(QStringLiteral(".ssh/config")), "Include quillmar_config\nHost web%1\n  Port 2200\n");
        writeFile(dir.filePath(QStringLiteral(".ssh/quillmar_config")), "Host web%1\n  User a\n");
        SSHHostStore hosts(SSHPaths(dir.path().toStdString()));
        const RemoveHostSheet sheet(QStringLiteral("web%1"), hosts);
        QCOMPARE(sheet.locations().size(), std::size_t(2));
        const QString note = sheet.noteText();
        QVERIFY2(note.contains(QStringLiteral(" web%1 is defined in 2 files;")), qPrintable(note));
    }
};

QTEST_MAIN(TranslationTests)
#include "TranslationTests.moc"
