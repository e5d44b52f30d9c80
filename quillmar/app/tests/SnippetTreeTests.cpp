// The snippet tree the sidebar and the Snippets pane share: grouping, the
// sidebar's filter rule, a snippet without a category, and how often a store
// at its bounds is grouped and its entries tested (bench/SnippetSectionBench
// times the same).
#include "AppTestSupport.h"

#include "platform/FakeScheduler.h"
#include "quillmar/app/UserSettings.h"
#include "quillmar/app/panes/SnippetInsertion.h"
#include "quillmar/app/panes/SnippetRowsModel.h"
#include "quillmar/app/panes/SnippetRowsView.h"
#include "quillmar/app/panes/SnippetsView.h"
#include "quillmar/app/sheets/SnippetEditSheet.h"
#include "quillmar/app/shell/Workspace.h"
#include "quillmar/app/sidebar/SidebarSnippetsSection.h"
#include "quillmar/snippets/SnippetImport.h"

#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QSignalSpy>
#include <QTimer>

using namespace quillmar;

namespace {

Snippet snippet(std::string title, std::string command, std::string category, std::vector<std::string> tags = {},
                std::string note = {})
{
    return Snippet{newSnippetId(),      std::move(title), std::move(command),
                   std::move(category), std::move(tags),  std::move(note)};
}

// Stores `list` after the factory set in one save, as an import does.
bool storeAll(SnippetStore& store, std::vector<Snippet> list)
{
    const auto plan = SnippetImport::plan(store.allSnippets(), std::move(list));
    return store.applyImport(plan, SnippetImportChoice::keepExisting).ok();
}

// The titles a proxy or model shows under a group, in order.
QStringList titlesUnder(const QAbstractItemModel& model, const QModelIndex& group)
{
    QStringList titles;
    for (int r = 0; r < model.rowCount(group); ++r)
        titles << model.index(r, 0, group).data().toString();
    return titles;
}

QStringList groupNames(const QAbstractItemModel& model)
{
    QStringList names;
    for (int g = 0; g < model.rowCount(); ++g)
        names << model.index(g, 0).data().toString();
    return names;
}

}  // namespace

class SnippetTreeTests : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    int stores_ = 0;

    std::unique_ptr<SnippetStore> loadedStore()
    {
        auto store = apptests::memorySnippetStore(dir_, QStringLiteral("store%1").arg(++stores_));
        store->setLoaded(true);
        store->load();
        // The factory set is there once the key was fetched.
        [&] { QTRY_VERIFY_WITH_TIMEOUT(!store->allSnippets().empty() || store->hasLoadError(), 10000); }();
        return store;
    }

    struct Section {
        platform::FakeScheduler clock;
        Workspace workspace{clock};
        SnippetInsertion insertion{workspace, nullptr, clock};
        QTemporaryDir config;
        UserSettings settings{config.filePath(QStringLiteral("quillmar.conf"))};
        QLineEdit filter;
        std::unique_ptr<SidebarSnippetsSection> section;

        explicit Section(SnippetStore& store)
        {
            settings.setSnippetsExpanded(true);
            section = std::make_unique<SidebarSnippetsSection>(store, insertion, workspace, settings, &filter);
        }
    };

private slots:
    void groupsInFirstSeenOrderByTitle()
    {
        auto store = loadedStore();
        QVERIFY(storeAll(*store, {snippet("item 10", "a", "Numbers"), snippet("Beta", "b", "Letters"),
                                  snippet("Item 2", "c", "Numbers"), snippet("alpha", "d", "Letters")}));
        SnippetTreeModel* model = SnippetTreeModel::of(*store);
        QCOMPARE(SnippetTreeModel::of(*store), model);  // one per store
        QStringList expected = store->categories();
        QCOMPARE(groupNames(*model), expected);
        QCOMPARE(titlesUnder(*model, model->groupIndex(QStringLiteral("Numbers"))),
                 (QStringList{QStringLiteral("Item 2"), QStringLiteral("item 10")}));
        QCOMPARE(titlesUnder(*model, model->groupIndex(QStringLiteral("Letters"))),
                 (QStringList{QStringLiteral("alpha"), QStringLiteral("Beta")}));

        // A change regroups: the renamed category moves, the emptied one goes.
        Snippet moved = *model->snippetAt(model->index(0, 0, model->groupIndex(QStringLiteral("Letters"))));
        moved.category = "Numbers";
        QVERIFY(!store->edit(moved));
        QCOMPARE(model->rowCount(model->groupIndex(QStringLiteral("Numbers"))), 3);
        moved = *model->snippetAt(model->index(0, 0, model->groupIndex(QStringLiteral("Letters"))));
        QVERIFY(!store->remove(QString::fromStdString(moved.id)));
        QVERIFY(!model->groupIndex(QStringLiteral("Letters")).isValid());
        QVERIFY(!model->snippetIndex(QString::fromStdString(moved.id)).isValid());
    }

    // A snippet always shows under a named group, however it was saved.
    void aSnippetWithoutCategoryShowsUnderANamedGroup()
    {
        auto store = loadedStore();
        // Through the store as an older file holds it: an empty category.
        QVERIFY(!store->add(snippet("Bare", "uptime", "")));
        QVERIFY(!store->add(snippet("Named", "whoami", "Uncategorized")));
        SnippetTreeModel* model = SnippetTreeModel::of(*store);
        QVERIFY(!groupNames(*model).contains(QString()));
        QCOMPARE(groupNames(*model).count(QStringLiteral("Uncategorized")), 1);
        QCOMPARE(titlesUnder(*model, model->groupIndex(QStringLiteral("Uncategorized"))),
                 (QStringList{QStringLiteral("Bare"), QStringLiteral("Named")}));
        Section s(*store);
        s.filter.setText(QStringLiteral("uncategorized"));
        QCOMPARE(s.section->tree()->model()->rowCount(), 3);  // the group and both rows
        QCOMPARE(s.section->groupIndex(QStringLiteral("Uncategorized")).row(), 0);

        // Through the editor: a blank category is saved under the name.
        QWidget window;
        SnippetEditRequest request;
        request.isNew = true;
        request.snippet.id = newSnippetId();
        auto* sheet = new SnippetEditSheet(*store, request, &window);
        sheet->titleField()->setText(QStringLiteral("From the sheet"));
        sheet->commandField()->setPlainText(QStringLiteral("id"));
        sheet->categoryField()->setEditText(QStringLiteral("   "));
        QVERIFY(sheet->save());
        QCOMPARE(store->snippet(QString::fromStdString(request.snippet.id))->category, std::string("Uncategorized"));
    }

    // Trimmed of spaces and tabs, lower-cased, title, command, category and
    // tags but not the note; typing on and deleting back give the same rows.
    void theSidebarFilterRule()
    {
        auto store = loadedStore();
        QVERIFY(storeAll(*store,
                         {snippet("Deploy", "kubectl apply", "Kube", {"Cluster"}),
                          snippet("Pods", "kubectl get pods", "Kube"), snippet("Docker ps", "docker ps", "Containers"),
                          snippet("Noted", "true", "Notes", {}, "docker in the note only"),
                          snippet("\u00c4pfel", "echo \u00dcBER", "Obst")}));
        Section s(*store);
        const QAbstractItemModel& list = *s.section->tree()->model();
        // "Group/row" for every row of the list, "Group" for a closed group.
        const auto shown = [&] {
            QStringList all;
            QString group;
            for (int r = 0; r < list.rowCount(); ++r) {
                const QModelIndex row = list.index(r, 0);
                if (row.data(SnippetRowsModel::headerRole).toBool()) {
                    group = row.data().toString();
                    if (!row.data(SnippetRowsModel::openRole).toBool())
                        all << group;
                } else {
                    all << group + QLatin1Char('/') + row.data().toString();
                }
            }
            return all;
        };
        const std::vector<std::pair<QString, QStringList>> cases = {
            {QStringLiteral(" \tDOCKER\t "), {QStringLiteral("Containers/Docker ps")}},
            {QStringLiteral("cluster"), {QStringLiteral("Kube/Deploy")}},
            {QStringLiteral("kube"), {QStringLiteral("Kube/Deploy"), QStringLiteral("Kube/Pods")}},
            {QStringLiteral("kubectl g"), {QStringLiteral("Kube/Pods")}},
            {QStringLiteral("kubectl"), {QStringLiteral("Kube/Deploy"), QStringLiteral("Kube/Pods")}},
            {QStringLiteral("in the note"), {}},
            {QStringLiteral("pods"), {QStringLiteral("Kube/Pods")}},
            {QStringLiteral("\u00fcber"), {QStringLiteral("Obst/\u00c4pfel")}},
            {QStringLiteral("\u00c4PF"), {QStringLiteral("Obst/\u00c4pfel")}},
        };
        for (const auto& [text, expected] : cases) {
            s.filter.setText(text);
            QCOMPARE(shown(), expected);
        }
        // Rows read with their platform mark, also when the store changes under a query.
        s.filter.setText(QStringLiteral("deploy"));
        QVERIFY(!store->add(snippet("Deploy linux", "make", "Kube", {"macos", "linux"})));
        QCOMPARE(shown(),
                 (QStringList{QStringLiteral("Kube/Deploy"), QStringLiteral("Kube/Deploy linux  \u00B7 linux")}));
        // A space-only filter is none: every group, each as the user left it.
        s.filter.setText(QStringLiteral("  "));
        QCOMPARE(list.rowCount(), store->categories().size());
        QVERIFY(!s.section->isOpen(QStringLiteral("Kube")));
        // Opened by the user, it stays so through a filter that keeps it;
        // closed while filtering, it reads open until the query goes.
        s.section->setOpen(QStringLiteral("Kube"), true);
        QCOMPARE(list.rowCount(), store->categories().size() + 3);
        QVERIFY(shown().contains(QStringLiteral("Kube/Pods")));
        s.filter.setText(QStringLiteral("pods"));
        s.section->setOpen(QStringLiteral("Kube"), false);
        QCOMPARE(shown(), QStringList{QStringLiteral("Kube/Pods")});
        s.filter.clear();
        QVERIFY(!s.section->isOpen(QStringLiteral("Kube")));
        QCOMPARE(list.rowCount(), store->categories().size());
        QVERIFY(s.section->openCategories().isEmpty());
    }

    // As a tree: the arrow or a double-click on a category, or Left and
    // Right on it, open and close it; a double-click on a snippet inserts.
    void categoriesOpenFromTheList()
    {
        auto store = loadedStore();
        QVERIFY(storeAll(*store, {snippet("One", "true", "Mine"), snippet("Two", "false", "Mine")}));
        Section s(*store);
        s.section->resize(230, 600);
        s.section->show();
        QVERIFY(QTest::qWaitForWindowExposed(s.section.get()));
        SnippetRowsView* list = s.section->tree();
        const auto header = [&] { return s.section->groupIndex(QStringLiteral("Mine")); };
        const QRect row = list->visualRect(header());
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(row.left() + 4, row.center().y()));
        QVERIFY(s.section->isOpen(QStringLiteral("Mine")));
        QVERIFY(s.section->openCategories().contains(QStringLiteral("Mine")));
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, QPoint(row.right() - 4, row.center().y()));
        QVERIFY(!s.section->isOpen(QStringLiteral("Mine")));
        list->setCurrentIndex(header());
        QTest::keyClick(list, Qt::Key_Right);
        QVERIFY(s.section->isOpen(QStringLiteral("Mine")));
        QSignalSpy activated(list, &SnippetRowsView::snippetActivated);
        const QRect first = list->visualRect(list->model()->index(header().row() + 1, 0));
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, first.center());
        QCOMPARE(activated.count(), 1);
        QCOMPARE(s.insertion.notice(), std::optional<QString>(SnippetInsertion::noTerminalNotice));
        QTest::keyClick(list, Qt::Key_Up);
        QTest::keyClick(list, Qt::Key_Left);
        QVERIFY(!s.section->isOpen(QStringLiteral("Mine")));
        QCOMPARE(list->model()->rowCount(), store->categories().size());
    }

    // A title too long for the sidebar is cut, not its platform mark, and
    // the tooltip holds the whole title (then the command), as plain text.
    void longTitlesKeepTheirPlatformMark()
    {
        auto store = loadedStore();
        const std::string title = "Listening ports and the <b>processes</b> that own each of them";
        QVERIFY(storeAll(*store, {snippet(title, "ss -tlnp", "Net", {"linux"}),
                                  snippet(title + " too", "lsof -iTCP -sTCP:LISTEN", "Net", {"macos"})}));
        Section s(*store);
        s.section->resize(220, 600);
        s.section->setOpen(QStringLiteral("Net"), true);
        s.section->show();
        QVERIFY(QTest::qWaitForWindowExposed(s.section.get()));
        SnippetRowsView* list = s.section->tree();

        // What the delegate hands the style to draw, row by row.
        struct Recorder final : QProxyStyle {
            QStringList texts;
            void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                             const QWidget* widget) const override
            {
                if (element == CE_ItemViewItem)
                    const_cast<Recorder*>(this)->texts << static_cast<const QStyleOptionViewItem*>(option)->text;
                QProxyStyle::drawControl(element, option, painter, widget);
            }
        };
        auto* recorder = new Recorder;
        list->setStyle(recorder);
        list->viewport()->grab();
        QStringList marks;
        for (const QString& text : recorder->texts) {
            if (!text.startsWith(QStringLiteral("Listening")))
                continue;
            QVERIFY2(text.contains(QChar(0x2026)), qPrintable(text));
            QVERIFY2(text.endsWith(QStringLiteral("  \u00B7 linux")) || text.endsWith(QStringLiteral("  \u00B7 macOS")),
                     qPrintable(text));
            marks << text.right(5);
        }
        marks.sort();
        QCOMPARE(marks, (QStringList{QStringLiteral("linux"), QStringLiteral("macOS")}));
        // Short text is left alone; a mark that is not the text's end is not taken for one.
        const QFontMetrics metrics(list->font());
        QCOMPARE(fitSnippetRowText(QStringLiteral("ls  \u00B7 linux"), QStringLiteral("  \u00B7 linux"), metrics, 400),
                 QStringLiteral("ls  \u00B7 linux"));
        QCOMPARE(fitSnippetRowText(QString(60, QLatin1Char('x')), QStringLiteral("  \u00B7 linux"), metrics, 40),
                 QString(60, QLatin1Char('x')));

        const QModelIndex row = s.section->snippetIndex(QString::fromStdString(store->allSnippets().back().id));
        const QString tip = row.data(Qt::ToolTipRole).toString();
        QVERIFY2(tip.contains(QStringLiteral("&lt;b&gt;processes&lt;/b&gt; that own each of them too")),
                 qPrintable(tip));
        QVERIFY2(tip.contains(QStringLiteral("lsof -iTCP")), qPrintable(tip));
        list->setStyle(nullptr);
        delete recorder;
    }

    // The Menu key and Shift+F10 open the menu of the highlighted snippet,
    // at its row, wherever the pointer is.
    void menuKeysActOnTheHighlightedSnippet()
    {
        auto store = loadedStore();
        QVERIFY(storeAll(*store, {snippet("Alpha", "true", "Keys"), snippet("Beta", "false", "Keys")}));
        Section s(*store);
        s.section->resize(230, 600);
        s.section->setOpen(QStringLiteral("Keys"), true);
        s.section->show();
        QVERIFY(QTest::qWaitForWindowExposed(s.section.get()));
        SnippetRowsView* list = s.section->tree();
        const auto idOf = [&](const char* title) {
            for (const Snippet& sn : store->allSnippets())
                if (sn.title == title)
                    return QString::fromStdString(sn.id);
            return QString();
        };
        const QModelIndex alpha = s.section->snippetIndex(idOf("Alpha"));
        const QModelIndex beta = s.section->snippetIndex(idOf("Beta"));
        list->setFocus();
        list->setCurrentIndex(beta);
        for (int way = 0; way < 2; ++way) {
            QPoint at;
            QTimer::singleShot(50, [&] {
                if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                    at = menu->pos();
                    menu->actions().at(3)->trigger();  // Edit…
                    menu->close();
                }
            });
            if (way == 0) {
                // As the X server reports the Menu key: at the pointer, here over Alpha.
                const QPoint pointer = list->visualRect(alpha).center();
                QContextMenuEvent event(QContextMenuEvent::Keyboard, pointer, list->viewport()->mapToGlobal(pointer));
                QApplication::sendEvent(list, &event);
            } else {
                QTest::keyClick(list, Qt::Key_F10, Qt::ShiftModifier);
            }
            QTRY_VERIFY(s.section->editSheet());
            const QRect row = list->visualRect(beta);
            QVERIFY(QRect(list->viewport()->mapToGlobal(row.topLeft()), row.size()).contains(at));
            QCOMPARE(QString::fromStdString(s.section->editSheet()->request().snippet.id), idOf("Beta"));
            s.section->editSheet()->reject();
            QTRY_VERIFY(!s.section->editSheet());
        }
    }

    // A store at its bounds: every snippet in a category of its own. Both
    // views share one grouping, made again once per change; each keystroke
    // tests every entry once, or only what a shorter query kept.
    void theLargestStoreIsGroupedOnceAndFilteredIncrementally()
    {
        auto store = loadedStore();
        std::vector<Snippet> many;
        many.reserve(SnippetLimits::maxSnippets - store->allSnippets().size());
        for (std::size_t i = 0; many.size() < many.capacity(); ++i)
            many.push_back(snippet("Deploy service " + std::to_string(i),
                                   "kubectl rollout restart api-" + std::to_string(i), "Category " + std::to_string(i),
                                   {"linux"}));
        QVERIFY(storeAll(*store, std::move(many)));
        QCOMPARE(store->allSnippets().size(), SnippetLimits::maxSnippets);
        const int entries = int(SnippetLimits::maxSnippets);

        Section s(*store);
        s.section->resize(230, 800);
        s.section->show();
        s.section->grab();
        SnippetTreeModel* tree = SnippetTreeModel::of(*store);
        const std::uint64_t grouped = tree->revision();
        platform::FakeScheduler paneClock;
        SnippetsView pane(*store, paneClock);
        pane.resize(900, 700);
        pane.show();
        pane.grab();
        SnippetRowsModel* rows = s.section->tree()->rows();
        QCOMPARE(rows->tree(), tree);
        QCOMPARE(pane.list()->rows()->tree(), tree);
        QCOMPARE(tree->revision(), grouped);  // the second view groups nothing
        QCOMPARE(tree->entryCount(), entries);

        // A change regroups once for both views.
        emit store->snippetsChanged();
        s.section->grab();
        pane.grab();
        QCOMPARE(tree->revision(), grouped + 1);

        // What a query keeps: the snippets' rows (every category reads open).
        const auto kept = [rows] {
            int count = 0;
            for (int r = 0; r < rows->rowCount(); ++r)
                count += rows->isHeader(rows->index(r, 0)) ? 0 : 1;
            return count;
        };
        int shown = entries;
        for (const auto& [text, narrows] :
             std::vector<std::pair<QString, bool>>{{QStringLiteral("d"), false},
                                                   {QStringLiteral("de"), true},
                                                   {QStringLiteral("dep"), true},
                                                   {QStringLiteral("deploy service 9999"), true},
                                                   {QStringLiteral("de"), false},
                                                   {QString(), false}}) {
            const std::uint64_t before = rows->entriesTested();
            s.filter.setText(text);
            s.section->grab();
            const std::uint64_t tested = rows->entriesTested() - before;
            qInfo("filter \"%s\": %llu entries tested", qPrintable(text), static_cast<unsigned long long>(tested));
            const std::uint64_t expected = text.isEmpty() ? 0 : narrows ? std::uint64_t(shown) : std::uint64_t(entries);
            QVERIFY2(tested == expected,
                     qPrintable(QStringLiteral("\"%1\": %2 tested, not %3").arg(text).arg(tested).arg(expected)));
            shown = kept();
            QCOMPARE(tree->revision(), grouped + 1);  // no regrouping per keystroke
        }
        s.filter.setText(QStringLiteral("deploy service 12345"));
        QCOMPARE(s.section->tree()->model()->rowCount(), 2);
        QCOMPARE(s.section->groupIndex(QStringLiteral("Category 12345")).row(), 0);
    }
};

QTEST_MAIN(SnippetTreeTests)
#include "SnippetTreeTests.moc"
