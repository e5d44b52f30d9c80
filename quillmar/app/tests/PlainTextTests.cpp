// Text that came from the user or a file is shown as written in labels and
// tooltips: markup in a snippet or a tab name is neither rendered nor able
// to pull in a local image.
#include "platform/FakeScheduler.h"
#include "quillmar/app/UserSettings.h"
#include "quillmar/app/panes/SnippetInsertion.h"
#include "quillmar/app/panes/SnippetsView.h"
#include "quillmar/app/sheets/SnippetDeleteSheet.h"
#include "quillmar/app/shell/TabChip.h"
#include "quillmar/app/shell/TerminalSession.h"
#include "quillmar/app/shell/Workspace.h"
#include "quillmar/app/sidebar/SidebarSnippetsSection.h"
#include "quillmar/snippets/SnippetStore.h"
#include "ravelgrid/view/PlainText.h"

#include <QApplication>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QToolTip>
#include <QTreeView>

using namespace quillmar;

namespace {

const QString markupTitle = QStringLiteral("<h1>Big</h1><img src=\"/tmp/x.png\">");
const QString markupCommand = QStringLiteral("<b>rm</b> &lt;x&gt;\n  <img src='/tmp/x.png'>");

class FixedKey final : public SnippetKeySource {
public:
    Lookup find() override { return Lookup{key_, std::nullopt}; }
    SnippetResult<platform::SymmetricKey> create() override { return key_; }

private:
    platform::SymmetricKey key_ = *platform::SymmetricKey::random();
};

// What a label shows: its text read the way its format tells Qt to.
QString rendered(const QLabel& label)
{
    const bool rich =
        label.textFormat() == Qt::RichText || (label.textFormat() == Qt::AutoText && Qt::mightBeRichText(label.text()));
    QTextDocument doc;
    if (rich)
        doc.setHtml(label.text());
    else
        doc.setPlainText(label.text());
    return doc.toPlainText();
}

// The tooltip Qt pops up for a point of a widget, as the user reads it.
QString shownToolTip(QWidget* widget, QPoint at)
{
    QToolTip::hideText();
    QHelpEvent event(QEvent::ToolTip, at, widget->mapToGlobal(at));
    QApplication::sendEvent(widget, &event);
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top->inherits("QTipLabel") && top->isVisible())
            return rendered(*qobject_cast<QLabel*>(top));
    return {};
}

// The tooltip of the row whose text starts with `text`, in a list of the widget.
QString rowToolTip(QWidget* root, const char* listName, const QString& text, int column)
{
    auto* view = root->findChild<QTreeView*>(QString::fromLatin1(listName));
    if (!view)
        return QStringLiteral("no list");
    const auto found = view->model()->match(view->model()->index(0, 0), Qt::DisplayRole, text, 1,
                                            Qt::MatchStartsWith | Qt::MatchRecursive);
    if (found.isEmpty())
        return QStringLiteral("no row");
    const QModelIndex index = found.front().siblingAtColumn(column);
    view->expand(index.parent());
    view->scrollTo(index);
    return shownToolTip(view->viewport(), view->visualRect(index).center());
}

}  // namespace

class PlainTextTests : public QObject {
    Q_OBJECT

private slots:
    void snippetMarkupIsShownAsWritten()
    {
        QTemporaryDir dir;
        SnippetStore store(SnippetPaths(dir.filePath(QStringLiteral("snippets")).toStdString()),
                           std::make_unique<FixedKey>());
        store.setLoaded(true);
        store.load();
        QTRY_VERIFY(!store.allSnippets().empty() || store.hasLoadError());
        QVERIFY(!store.hasLoadError());
        Snippet s{newSnippetId(), markupTitle.toStdString(), markupCommand.toStdString(), "Markup", {}, {}};
        QVERIFY(!store.add(s));

        SnippetDeleteSheet sheet(store, s);
        QLabel* question = nullptr;
        for (QLabel* label : sheet.findChildren<QLabel*>())
            if (label->text().startsWith(QStringLiteral("Delete")))
                question = label;
        QVERIFY(question);
        QCOMPARE(question->textFormat(), Qt::PlainText);
        QCOMPARE(rendered(*question), QStringLiteral("Delete \u201C%1\u201D?").arg(markupTitle));
        QCOMPARE(sheet.errorText()->textFormat(), Qt::PlainText);

        platform::FakeScheduler clock;
        SnippetsView pane(store, clock);
        pane.resize(700, 500);
        pane.show();
        QVERIFY(QTest::qWaitForWindowExposed(&pane));
        QCOMPARE(rowToolTip(&pane, "snippetList", markupTitle, 1), markupCommand);

        Workspace workspace(clock);
        SnippetInsertion insertion(
            workspace, [](const QUuid&) { return nullptr; }, clock);
        UserSettings settings(dir.filePath(QStringLiteral("quillmar.conf")));
        QLineEdit filter;
        SidebarSnippetsSection section(store, insertion, workspace, settings, &filter);
        section.resize(260, 500);
        section.show();
        QVERIFY(QTest::qWaitForWindowExposed(&section));
        section.setOpen(QStringLiteral("Markup"), true);
        // The sidebar cuts long titles, so its tooltip has the whole title too.
        QCOMPARE(rowToolTip(&section, "snippetTree", markupTitle, 0), markupTitle + QLatin1Char('\n') + markupCommand);
    }

    void tabNameAndSummaryAreShownAsWritten()
    {
        auto session = std::make_shared<TerminalSession>(
            SessionTarget::tool(QStringLiteral("t"), QStringLiteral("/bin/echo"), {QStringLiteral("<i>x</i> &amp;")}),
            1, 0);
        session->setCustomName(markupTitle);
        TabChip chip(session, {}, {});
        chip.show();
        QVERIFY(QTest::qWaitForWindowExposed(&chip));
        QLabel* title = nullptr;
        for (QLabel* label : chip.findChildren<QLabel*>())
            if (label->text() == markupTitle)
                title = label;
        QVERIFY(title);
        QCOMPARE(title->textFormat(), Qt::PlainText);
        QCOMPARE(shownToolTip(&chip, QPoint(2, 2)), QStringLiteral("/bin/echo <i>x</i> &amp; \u2014 running"));
    }

    // Text Qt would not take for markup is left alone; long text is cut.
    void toolTipsStayLiteral()
    {
        QCOMPARE(ravelgrid::plainToolTip(QStringLiteral("echo hello\n")), QStringLiteral("echo hello\n"));
        QLabel tip(ravelgrid::plainToolTip(markupCommand));
        QCOMPARE(rendered(tip), markupCommand);
        const QString tall(100000, QLatin1Char('x'));
        QVERIFY(ravelgrid::plainToolTip(QStringLiteral("<b>") + tall).size() < 10000);
    }
};

QTEST_MAIN(PlainTextTests)
#include "PlainTextTests.moc"
