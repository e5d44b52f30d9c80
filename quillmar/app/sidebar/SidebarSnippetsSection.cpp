#include "quillmar/app/sidebar/SidebarSnippetsSection.h"

#include "quillmar/app/UserSettings.h"
#include "quillmar/app/panes/KeyringWaitLabel.h"
#include "quillmar/app/panes/SnippetInsertion.h"
#include "quillmar/app/sheets/SnippetDeleteSheet.h"
#include "quillmar/app/sheets/SnippetEditSheet.h"
#include "quillmar/app/shell/ToolTab.h"
#include "quillmar/app/shell/Workspace.h"
#include "quillmar/app/sidebar/RowMenuKeys.h"
#include "quillmar/app/style/Metro.h"
#include "ravelgrid/view/PlainText.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

namespace quillmar {

namespace {

constexpr int maxTreeHeight = 360;

}  // namespace

SidebarSnippetsSection::SidebarSnippetsSection(SnippetStore& store, SnippetInsertion& insertion, Workspace& workspace,
                                               UserSettings& settings, QLineEdit* filter, QWidget* parent)
    : SidebarSection(tr("Snippets"), QStringLiteral("qm-scroll-text"), parent), store_(store), insertion_(insertion),
      workspace_(workspace), settings_(settings), filter_(filter)
{
    setObjectName(QStringLiteral("snippetsSectionBody"));
    QToolButton* header = titleButton();
    header->setObjectName(QStringLiteral("snippetsHeader"));
    header->setToolTip(tr("Open Snippets"));
    connect(header, &QToolButton::clicked, this, [this] { workspace_.openTool(ToolTab::snippets); });
    for (QToolButton* button : {disclosure(), header})
        setTextRole(button, Metro::Role::mutedText);

    bodyLayout()->setSpacing(2);
    error_ = ravelgrid::plainLabel(QString(), body());
    error_->setObjectName(QStringLiteral("snippetsError"));
    error_->setWordWrap(true);
    error_->setFont(metroFont(12));
    error_->setContentsMargins(14, 4, 14, 4);
    notice_ = ravelgrid::plainLabel(QString(), body());
    notice_->setObjectName(QStringLiteral("snippetNotice"));
    notice_->setWordWrap(true);
    notice_->setFont(metroFont(11));
    notice_->setContentsMargins(14, 2, 14, 2);
    setTextRole(error_, Metro::Role::danger);
    setTextRole(notice_, Metro::Role::warning);
    model_ = SnippetTreeModel::of(store_);
    rows_ = new SnippetRowsModel(model_, SnippetRowsModel::Look::sidebar, this);
    tree_ = new SnippetRowsView(body());
    tree_->setObjectName(QStringLiteral("snippetTree"));
    tree_->setRows(rows_);
    tree_->setHeaderHidden(true);
    tree_->setColumnHidden(SnippetTreeModel::commandColumn, true);
    tree_->setFrameShape(QFrame::NoFrame);
    tree_->setIndentation(14);
    tree_->setTextElideMode(Qt::ElideRight);
    tree_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    tree_->setContextMenuPolicy(Qt::CustomContextMenu);
    QLabel* waiting = makeKeyringWaitLabel(store_, body());
    waiting->setFont(metroFont(12));
    waiting->setContentsMargins(14, 4, 14, 4);
    bodyLayout()->addWidget(waiting);
    bodyLayout()->addWidget(error_);
    auto* unlockRow = new QWidget(body());
    auto* unlockLayout = new QHBoxLayout(unlockRow);
    unlockLayout->setContentsMargins(14, 0, 14, 4);
    unlockLayout->addWidget(makeKeyringUnlockButton(store_, unlockRow));
    unlockLayout->addStretch(1);
    // Shown with its button only.
    unlockRow->setVisible(store_.keyringLocked());
    connect(&store_, &SnippetStore::waitingForKeyringChanged, unlockRow,
            [this, unlockRow] { unlockRow->setVisible(store_.keyringLocked()); });
    bodyLayout()->addWidget(unlockRow);
    bodyLayout()->addWidget(notice_);
    bodyLayout()->addWidget(tree_);
    followSetting(settings_, &UserSettings::snippetsExpanded, &UserSettings::setSnippetsExpanded,
                  &UserSettings::snippetsExpandedChanged);

    connect(tree_, &SnippetRowsView::snippetActivated, this, [this](const QModelIndex& row) {
        if (auto s = snippetOf(row))
            insertion_.insert(*s);
    });
    connect(tree_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        const QModelIndex index = tree_->indexAt(pos);
        if (!index.isValid() || rows_->isHeader(index))
            return;
        QMenu* menu = menuFor(index.data(SnippetTreeModel::idRole).toString(), this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(tree_->viewport()->mapToGlobal(pos));
    });
    openRowMenusFromKeyboard(tree_);

    // The list as context: the models outlive it while the section goes.
    const auto fit = [this] { fitHeight(); };
    connect(rows_, &QAbstractItemModel::modelReset, tree_, fit);
    connect(rows_, &QAbstractItemModel::rowsInserted, tree_, fit);
    connect(rows_, &QAbstractItemModel::rowsRemoved, tree_, fit);
    connect(&store_, &SnippetStore::loadErrorChanged, this, &SidebarSnippetsSection::showStore);
    connect(&insertion_, &SnippetInsertion::noticeChanged, this, &SidebarSnippetsSection::refreshNotice);
    if (filter_)
        connect(filter_, &QLineEdit::textChanged, this, &SidebarSnippetsSection::applyFilter);
    showStore();
    applyFilter();
    fitHeight();
}

SidebarSnippetsSection::~SidebarSnippetsSection() = default;

void SidebarSnippetsSection::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        recolour();
}

void SidebarSnippetsSection::recolour()
{
    tree_->viewport()->update();
}

void SidebarSnippetsSection::showStore()
{
    const bool failed = store_.hasLoadError();
    error_->setVisible(failed);
    error_->setText(ravelgrid::revealHiddenCharacters(store_.loadError()));
    tree_->setVisible(!failed);
    refreshNotice();
}

void SidebarSnippetsSection::applyFilter()
{
    rows_->setFilterText(filter_ ? filter_->text() : QString());
}

void SidebarSnippetsSection::refreshNotice()
{
    const auto text = insertion_.notice();
    notice_->setVisible(text && !store_.hasLoadError());
    notice_->setText(text.value_or(QString()));
}

void SidebarSnippetsSection::fitHeight()
{
    // Rows are uniform: the first one's height holds for all.
    const int rows = rows_->rowCount();
    const int rowHeight = rows ? std::max(16, tree_->sizeHintForRow(0)) : 0;
    tree_->setFixedHeight(std::min(maxTreeHeight, rows * rowHeight + 4));
}

QModelIndex SidebarSnippetsSection::groupIndex(const QString& category) const
{
    return rows_->rowOf(model_->groupIndex(category));
}

QModelIndex SidebarSnippetsSection::snippetIndex(const QString& id) const
{
    return rows_->rowOf(model_->snippetIndex(id));
}

bool SidebarSnippetsSection::isOpen(const QString& category) const
{
    return rows_->isOpen(category);
}

void SidebarSnippetsSection::setOpen(const QString& category, bool open)
{
    rows_->setOpen(category, open);
}

std::optional<Snippet> SidebarSnippetsSection::snippetOf(const QModelIndex& row) const
{
    const Snippet* s = model_->snippetAt(rows_->treeIndex(row));
    return s ? std::optional<Snippet>(*s) : std::nullopt;
}

QMenu* SidebarSnippetsSection::menuFor(const QString& id, QWidget* parent)
{
    auto* menu = new QMenu(parent);
    menu->addAction(tr("Insert"), this, [this, id] {
        if (auto s = store_.snippet(id))
            insertion_.insert(*s);
    });
    menu->addAction(tr("Copy"), this, [this, id] {
        if (auto s = store_.snippet(id))
            insertion_.copy(*s);
    });
    menu->addSeparator();
    menu->addAction(tr("Edit\u2026"), this, [this, id] { requestEdit(id); });
    menu->addAction(tr("Delete\u2026"), this, [this, id] { requestDelete(id); });
    return menu;
}

void SidebarSnippetsSection::requestEdit(const QString& id)
{
    const auto s = store_.snippet(id);
    if (!s || store_.hasLoadError() || editSheet_ || deleteSheet_)
        return;
    editSheet_ = new SnippetEditSheet(store_, SnippetEditRequest{*s, false}, window());
    editSheet_->open();
}

void SidebarSnippetsSection::requestDelete(const QString& id)
{
    const auto s = store_.snippet(id);
    if (!s || store_.hasLoadError() || editSheet_ || deleteSheet_)
        return;
    deleteSheet_ = new SnippetDeleteSheet(store_, *s, window());
    deleteSheet_->open();
}

}  // namespace quillmar
