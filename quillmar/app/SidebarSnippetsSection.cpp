#include "quillmar/app/SidebarSnippetsSection.h"

#include "quillmar/app/Metro.h"
#include "quillmar/app/SnippetDeleteSheet.h"
#include "quillmar/app/SnippetEditSheet.h"
#include "quillmar/app/SnippetInsertion.h"
#include "quillmar/app/ToolTab.h"
#include "quillmar/app/UserSettings.h"
#include "quillmar/app/Workspace.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace quillmar {

namespace {

constexpr int idRole = Qt::UserRole + 1;
constexpr int maxTreeHeight = 360;


}  // namespace

QString snippetRowText(const Snippet& snippet) {
    QString text = QString::fromStdString(snippet.title);
    const auto has = [&](const char* tag) {
        return std::find(snippet.tags.begin(), snippet.tags.end(), tag) != snippet.tags.end();
    };
    if (has("linux"))
        text.append(QStringLiteral("  \u00B7 linux"));
    else if (has("macos"))
        text.append(QStringLiteral("  \u00B7 macOS"));
    return text;
}

QString snippetQuery(const QString& filterText) {
    qsizetype begin = 0, end = filterText.size();
    const auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (begin < end && blank(filterText[begin]))
        ++begin;
    while (end > begin && blank(filterText[end - 1]))
        --end;
    return filterText.mid(begin, end - begin);
}

SidebarSnippetsSection::SidebarSnippetsSection(SnippetStore& store, SnippetInsertion& insertion,
                                               Workspace& workspace, UserSettings& settings, QLineEdit* filter,
                                               QWidget* parent)
    : QWidget(parent), store_(store), insertion_(insertion), workspace_(workspace), settings_(settings),
      filter_(filter) {
    setObjectName(QStringLiteral("snippetsSectionBody"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 4, 0, 2);
    layout->setSpacing(0);

    auto* headerRow = new QWidget(this);
    auto* headerLayout = new QHBoxLayout(headerRow);
    headerLayout->setContentsMargins(8, 0, 8, 0);
    headerLayout->setSpacing(2);
    disclosure_ = new QToolButton(headerRow);
    disclosure_->setObjectName(QStringLiteral("disclosure"));
    disclosure_->setAutoRaise(true);
    disclosure_->setCheckable(true);
    disclosure_->setFixedSize(16, 18);
    header_ = new QToolButton(headerRow);
    header_->setObjectName(QStringLiteral("snippetsHeader"));
    // The look of the other sections' headers.
    header_->setText(QStringLiteral("SNIPPETS"));
    header_->setToolTip(QStringLiteral("Open Snippets"));
    header_->setAutoRaise(true);
    header_->setCursor(Qt::PointingHandCursor);
    QFont headerFont = metroMonoFont(10);
    headerFont.setLetterSpacing(QFont::AbsoluteSpacing, 0.9);
    header_->setFont(headerFont);
    connect(header_, &QToolButton::clicked, this, [this] { workspace_.openTool(ToolTab::snippets); });
    headerLayout->addWidget(disclosure_);
    headerLayout->addWidget(header_);
    headerLayout->addStretch(1);
    layout->addWidget(headerRow);

    body_ = new QWidget(this);
    auto* bodyLayout = new QVBoxLayout(body_);
    bodyLayout->setContentsMargins(0, 0, 0, 0);
    bodyLayout->setSpacing(2);
    error_ = new QLabel(body_);
    error_->setObjectName(QStringLiteral("snippetsError"));
    error_->setWordWrap(true);
    error_->setFont(metroFont(12));
    error_->setContentsMargins(14, 4, 14, 4);
    notice_ = new QLabel(body_);
    notice_->setObjectName(QStringLiteral("snippetNotice"));
    notice_->setWordWrap(true);
    notice_->setFont(metroFont(11));
    notice_->setContentsMargins(14, 2, 14, 2);
    tree_ = new QTreeWidget(body_);
    tree_->setObjectName(QStringLiteral("snippetTree"));
    tree_->setHeaderHidden(true);
    tree_->setColumnCount(1);
    tree_->setFrameShape(QFrame::NoFrame);
    tree_->setIndentation(14);
    tree_->setUniformRowHeights(true);
    tree_->setExpandsOnDoubleClick(true);
    tree_->setTextElideMode(Qt::ElideRight);
    tree_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    tree_->setContextMenuPolicy(Qt::CustomContextMenu);
    bodyLayout->addWidget(error_);
    bodyLayout->addWidget(notice_);
    bodyLayout->addWidget(tree_);
    layout->addWidget(body_);

    const auto showBody = [this](bool on) {
        disclosure_->setArrowType(on ? Qt::DownArrow : Qt::RightArrow);
        disclosure_->setToolTip(on ? QStringLiteral("Collapse") : QStringLiteral("Expand"));
        body_->setVisible(on);
    };
    disclosure_->setChecked(settings_.snippetsExpanded());
    showBody(settings_.snippetsExpanded());
    connect(disclosure_, &QToolButton::toggled, this, [this, showBody](bool on) {
        showBody(on);
        if (settings_.snippetsExpanded() != on)
            settings_.setSnippetsExpanded(on);
    });
    connect(&settings_, &UserSettings::snippetsExpandedChanged, this,
            [this] { disclosure_->setChecked(settings_.snippetsExpanded()); });

    connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        if (auto s = snippetOf(item))
            insertion_.insert(*s);
    });
    connect(tree_, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
        if (!syncing_ && !item->parent())
            openCategories_.insert(item->text(0));
        fitHeight();
    });
    connect(tree_, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* item) {
        if (!syncing_ && !item->parent())
            openCategories_.remove(item->text(0));
        fitHeight();
    });
    connect(tree_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        QTreeWidgetItem* item = tree_->itemAt(pos);
        if (!item || !item->parent())
            return;
        QMenu* menu = menuFor(item->data(0, idRole).toString(), this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(tree_->viewport()->mapToGlobal(pos));
    });

    connect(&store_, &SnippetStore::snippetsChanged, this, &SidebarSnippetsSection::rebuild);
    connect(&store_, &SnippetStore::categoriesChanged, this, &SidebarSnippetsSection::rebuild);
    connect(&store_, &SnippetStore::loadErrorChanged, this, &SidebarSnippetsSection::rebuild);
    connect(&insertion_, &SnippetInsertion::noticeChanged, this, &SidebarSnippetsSection::refreshNotice);
    if (filter_)
        connect(filter_, &QLineEdit::textChanged, this, &SidebarSnippetsSection::applyFilter);
    rebuild();
}

SidebarSnippetsSection::~SidebarSnippetsSection() = default;

void SidebarSnippetsSection::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        recolour();
}

void SidebarSnippetsSection::recolour() {
    setTextColour(error_, Metro::danger());
    setTextColour(notice_, Metro::warning());
    for (auto& [group, rows] : groups_) {
        group->setForeground(0, Metro::secondaryText());
        for (const Row& row : rows)
            row.item->setForeground(0, Metro::text());
    }
}

void SidebarSnippetsSection::rebuild() {
    const QSignalBlocker block(tree_);
    tree_->clear();
    groups_.clear();
    const bool failed = store_.hasLoadError();
    error_->setVisible(failed);
    error_->setText(store_.loadError());
    setTextColour(error_, Metro::danger());
    if (!failed) {
        QFont groupFont = metroFont(12, QFont::Medium);
        QFont rowFont = metroMonoFont(12);
        for (const QString& category : store_.categories()) {
            auto* group = new QTreeWidgetItem(tree_, QStringList(category));
            group->setFont(0, groupFont);
            group->setForeground(0, Metro::secondaryText());
            group->setFlags(Qt::ItemIsEnabled);
            std::vector<Row> rows;
            for (const Snippet& s : store_.snippets(category)) {
                auto* item = new QTreeWidgetItem(group, QStringList(snippetRowText(s)));
                item->setData(0, idRole, QString::fromStdString(s.id));
                item->setToolTip(0, QString::fromStdString(s.command));
                item->setFont(0, rowFont);
                item->setForeground(0, Metro::text());
                Row row {item, QString::fromStdString(s.title).toLower(), QString::fromStdString(s.command).toLower(),
                         category.toLower(), {}};
                for (const std::string& tag : s.tags)
                    row.tags << QString::fromStdString(tag).toLower();
                rows.push_back(std::move(row));
            }
            groups_.emplace_back(group, std::move(rows));
        }
    }
    tree_->setVisible(!failed);
    refreshNotice();
    applyFilter();
}

void SidebarSnippetsSection::applyFilter() {
    const QString query = snippetQuery(filter_ ? filter_->text() : QString()).toLower();
    syncing_ = true;
    tree_->setUpdatesEnabled(false);
    for (auto& [group, rows] : groups_) {
        int shown = 0;
        for (const Row& row : rows) {
            const bool match = query.isEmpty() || row.title.contains(query) || row.command.contains(query) ||
                               row.category.contains(query) ||
                               std::any_of(row.tags.begin(), row.tags.end(),
                                           [&](const QString& tag) { return tag.contains(query); });
            row.item->setHidden(!match);
            shown += match ? 1 : 0;
        }
        group->setHidden(shown == 0);
        const bool open = !query.isEmpty() || openCategories_.contains(group->text(0));
        if (group->isExpanded() != open)
            group->setExpanded(open);
    }
    tree_->setUpdatesEnabled(true);
    syncing_ = false;
    fitHeight();
}

void SidebarSnippetsSection::refreshNotice() {
    const auto text = insertion_.notice();
    notice_->setVisible(text && !store_.hasLoadError());
    notice_->setText(text.value_or(QString()));
    setTextColour(notice_, Metro::warning());
}

void SidebarSnippetsSection::fitHeight() {
    int rows = 0;
    for (const auto& [group, items] : groups_) {
        if (group->isHidden())
            continue;
        ++rows;
        if (group->isExpanded())
            rows += int(std::count_if(items.begin(), items.end(), [](const Row& r) { return !r.item->isHidden(); }));
    }
    // Rows are uniform: the first one's height holds for all.
    const int rowHeight = tree_->topLevelItemCount() ? std::max(16, tree_->sizeHintForRow(0)) : 0;
    tree_->setFixedHeight(std::min(maxTreeHeight, rows * rowHeight + 4));
}

QTreeWidgetItem* SidebarSnippetsSection::groupItem(const QString& category) const {
    for (const auto& [group, rows] : groups_) {
        if (group->text(0) == category)
            return group->isHidden() ? nullptr : group;
    }
    return nullptr;
}

QTreeWidgetItem* SidebarSnippetsSection::snippetItem(const QString& id) const {
    for (const auto& [group, rows] : groups_) {
        for (const Row& row : rows) {
            if (row.item->data(0, idRole).toString() == id)
                return row.item;
        }
    }
    return nullptr;
}

std::optional<Snippet> SidebarSnippetsSection::snippetOf(const QTreeWidgetItem* item) const {
    if (!item || !item->parent())
        return std::nullopt;
    return store_.snippet(item->data(0, idRole).toString());
}

QMenu* SidebarSnippetsSection::menuFor(const QString& id, QWidget* parent) {
    auto* menu = new QMenu(parent);
    menu->addAction(QStringLiteral("Insert"), this, [this, id] {
        if (auto s = store_.snippet(id))
            insertion_.insert(*s);
    });
    menu->addAction(QStringLiteral("Copy"), this, [this, id] {
        if (auto s = store_.snippet(id))
            insertion_.copy(*s);
    });
    menu->addSeparator();
    menu->addAction(QStringLiteral("Edit\u2026"), this, [this, id] { requestEdit(id); });
    menu->addAction(QStringLiteral("Delete\u2026"), this, [this, id] { requestDelete(id); });
    return menu;
}

void SidebarSnippetsSection::requestEdit(const QString& id) {
    const auto s = store_.snippet(id);
    if (!s || store_.hasLoadError() || editSheet_ || deleteSheet_)
        return;
    editSheet_ = new SnippetEditSheet(store_, SnippetEditRequest {*s, false}, window());
    editSheet_->open();
}

void SidebarSnippetsSection::requestDelete(const QString& id) {
    const auto s = store_.snippet(id);
    if (!s || store_.hasLoadError() || editSheet_ || deleteSheet_)
        return;
    deleteSheet_ = new SnippetDeleteSheet(store_, *s, window());
    deleteSheet_->open();
}

}  // namespace quillmar
